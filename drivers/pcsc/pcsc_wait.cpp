// vellicor_wait_change (reader/wait_entry.hpp): waits in PC/SC until a card
// is put on or taken off a reader that a read would ask, or a reader comes
// or goes, so that a watching program reads once per change instead of at
// every turn. Like a read it runs on a thread of its own and returns within
// its bound, whatever the service does.
#include <winscard.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/pcsc/bounded_thread.hpp"
#include "drivers/pcsc/reader_walk.hpp"
#include "drivers/pcsc/settings_file.hpp"
#include "drivers/pcsc/wait_state.hpp"

namespace {

namespace pcsc = vellicor::pcsc;

// The name through which PC/SC reports readers plugged in or out.
constexpr char pnp_notification[] = R"(\\?PnP?\Notification)";

// How much longer than its timeout a wait may take before it is given up: a
// service that has stopped answering.
constexpr unsigned wait_grace_ms = 1000;

// Wakes that change nothing that counts, or lists of readers that keep
// changing, before the wait gives up on the service and lets its caller read
// instead: a service that keeps answering at once must not keep us busy.
constexpr int most_idle_wakes = 16;

// Waits of this process still inside PC/SC: at most one. A wait given up at
// its bound stays counted until its thread ends, and until then no other is
// started, so that a hung service holds one thread of ours, not one per wait.
// The library stays mapped once a thread has been given up (bounded_thread.hpp),
// so this outlives any unload.
std::atomic<int> waits_running{0};

// Shared by the caller and the thread like a read's job (pcsc_reader.cpp).
struct wait_job : pcsc::task {
    std::atomic<int> holders{2};
    pcsc::settings chosen;
    unsigned timeout_ms = 0;
    pcsc::seen_readers before;
    // Written by the thread, read by the caller only once it has ended.
    pcsc::seen_readers now;
    vellicor::wait_result result = vellicor::wait_unavailable;

    static wait_job* create(void (*run)(pcsc::task*) noexcept) noexcept {
        void* memory = std::malloc(sizeof(wait_job));
        if (memory == nullptr) return nullptr;
        auto* job = new (memory) wait_job;
        job->run = run;
        return job;
    }

    static void release(wait_job* job) noexcept {
        if (job->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) discard(job);
    }

    static void discard(wait_job* job) noexcept {
        job->~wait_job();
        std::free(job);
    }
};

void record(const SCARD_READERSTATE* states, std::size_t count, pcsc::seen_readers& into) noexcept {
    into = pcsc::seen_readers{};
    into.filled = pcsc::seen_filled;
    into.count = static_cast<std::uint32_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        into.name_hash[i] = pcsc::reader_name_hash(states[i].szReader);
        into.state[i] = pcsc::counted_state(states[i].dwEventState);
    }
}

bool any_changed(const SCARD_READERSTATE* states, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if ((states[i].dwEventState & SCARD_STATE_CHANGED) != 0) return true;
    }
    return false;
}

// Waits from what the readers were last seen as (`states`, the readers a
// read would ask and then the notification's entry) until something that
// counts changes, the deadline, or the list of readers changes (`relist`).
vellicor::wait_result wait_on(wait_job& job, SCARDCONTEXT context, SCARD_READERSTATE* states,
                              std::size_t asked, unsigned long long deadline, int& idle_wakes,
                              bool& relist) noexcept {
    const auto entries = static_cast<DWORD>(asked + 1);
    for (;;) {
        const unsigned long long at = pcsc::monotonic_ms();
        if (at >= deadline) return vellicor::wait_unchanged;
        // Each entry waits from what it was last seen as; the notification's,
        // in its upper half, counts the readers.
        for (std::size_t i = 0; i <= asked; ++i) {
            states[i].dwCurrentState = states[i].dwEventState & ~DWORD{SCARD_STATE_CHANGED};
        }
        const LONG rv =
            SCardGetStatusChange(context, static_cast<DWORD>(deadline - at), states, entries);
        if (rv == static_cast<LONG>(SCARD_E_TIMEOUT)) return vellicor::wait_unchanged;
        if (rv != SCARD_S_SUCCESS) return vellicor::wait_unavailable;
        if (!any_changed(states, entries) && ++idle_wakes > most_idle_wakes) {
            return vellicor::wait_unavailable;
        }
        if ((states[asked].dwEventState & SCARD_STATE_CHANGED) != 0) {
            relist = true;
            return vellicor::wait_unchanged;
        }
        record(states, asked, job.now);
        const vellicor::wait_result result = pcsc::compare_seen(job.before, job.now);
        if (result != vellicor::wait_unchanged) return result;
        // Only what does not count changed, a program connecting to a card
        // say: wait on.
    }
}

// Lists the readers, looks at them at once, and waits (wait_on).
vellicor::wait_result look_and_wait(wait_job& job, unsigned long long deadline, int& idle_wakes,
                                    bool& relist) noexcept {
    pcsc::reader_survey survey;
    pcsc::step failed = pcsc::step::establish_context;
    LONG rv = survey.list(failed);
    // No reader at all still leaves the notification of a new one.
    if (rv != SCARD_S_SUCCESS && !(failed == pcsc::step::list_readers &&
                                   rv == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE))) {
        return vellicor::wait_unavailable;
    }
    std::size_t order[pcsc::max_readers];
    const std::size_t asked =
        pcsc::order_readers(job.chosen, survey.names(), survey.count(), order);
    SCARD_READERSTATE states[pcsc::max_readers + 1] = {};
    for (std::size_t i = 0; i < asked; ++i) states[i].szReader = survey.names()[order[i]];
    states[asked].szReader = pnp_notification;

    // What they hold now, answered at once.
    rv = SCardGetStatusChange(survey.context(), 0, states, static_cast<DWORD>(asked + 1));
    if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) {
        return vellicor::wait_unavailable;
    }
    record(states, asked, job.now);
    const vellicor::wait_result result = pcsc::compare_seen(job.before, job.now);
    if (result != vellicor::wait_unchanged) return result;
    return wait_on(job, survey.context(), states, asked, deadline, idle_wakes, relist);
}

vellicor::wait_result wait_for_change(wait_job& job) noexcept {
    const unsigned long long deadline = pcsc::monotonic_ms() + job.timeout_ms;
    int idle_wakes = 0;
    // A reader plugged in or out means listing them again.
    for (;;) {
        bool relist = false;
        const vellicor::wait_result result = look_and_wait(job, deadline, idle_wakes, relist);
        if (!relist) return result;
        if (++idle_wakes > most_idle_wakes) return vellicor::wait_unavailable;
    }
}

void run_wait(pcsc::task* work) noexcept {
    auto* job = static_cast<wait_job*>(work);
    job->result = wait_for_change(*job);
    waits_running.fetch_sub(1, std::memory_order_acq_rel);
    wait_job::release(job);
}

}  // namespace

extern "C" READER_EXPORT int READER_CALL vellicor_wait_change(unsigned char* request) {
    vellicor::wait_request asked;
    if (request == nullptr) return vellicor::wait_refused;
    std::memcpy(&asked.size, request, sizeof asked.size);
    if (asked.size != sizeof asked) return vellicor::wait_refused;
    std::memcpy(&asked, request, sizeof asked);

    pcsc::settings_lookup site;
    pcsc::own_settings(site);
    // The read fails on such a file; the caller learns that by reading.
    if (site.error.problem != pcsc::settings_problem::none) return vellicor::wait_unavailable;
    int idle = 0;
    if (!waits_running.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
        return vellicor::wait_unavailable;
    }
    wait_job* job = wait_job::create(run_wait);
    if (job == nullptr) {
        waits_running.fetch_sub(1, std::memory_order_acq_rel);
        return vellicor::wait_unavailable;
    }
    job->chosen = site.values;
    job->timeout_ms =
        asked.timeout_ms < vellicor::longest_wait_ms ? asked.timeout_ms : vellicor::longest_wait_ms;
    static_assert(sizeof job->before <= sizeof asked.seen, "the record must fit the request");
    std::memcpy(&job->before, asked.seen, sizeof job->before);

    switch (pcsc::run_bounded(*job, job->timeout_ms + wait_grace_ms)) {
        case pcsc::run_result::not_started:
            waits_running.fetch_sub(1, std::memory_order_acq_rel);
            wait_job::discard(job);
            return vellicor::wait_unavailable;
        case pcsc::run_result::timed_out:
            pcsc::outlive_abandoned_thread();
            wait_job::release(job);
            return vellicor::wait_unavailable;
        case pcsc::run_result::finished:
            break;
    }
    const vellicor::wait_result result = job->result;
    if (result == vellicor::wait_changed || result == vellicor::wait_presented) {
        std::memcpy(request + offsetof(vellicor::wait_request, seen), &job->now, sizeof job->now);
    }
    wait_job::release(job);
    return result;
}
