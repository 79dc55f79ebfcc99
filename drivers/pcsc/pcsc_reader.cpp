// OUR_IDR.dll over PC/SC: reads the UID of the card on the first reader, in
// PC/SC's order or the site's (settings.hpp), whose card gives one. pcsc-lite
// and winscard share this API, so one file serves both.
//
// A read never waits for a card: it looks at the readers as they are, asks
// once, and releases everything it opened. Nor does it wait for a service,
// reader or card that stops answering: the read runs on a thread of its own
// and idr_read returns at the deadline whatever that thread is doing.
#include <winscard.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "drivers/pcsc/bounded_thread.hpp"
#include "drivers/pcsc/outcome.hpp"
#include "drivers/pcsc/reader_walk.hpp"
#include "drivers/pcsc/settings_file.hpp"

namespace {

namespace pcsc = vellicor::pcsc;
using pcsc::step;

// One read, shared by the caller of idr_read and the thread doing it, and
// freed by whichever lets go last: a caller that stopped waiting must not
// free it under a thread still running. The thread fills a serial of its
// own; the caller's buffer may be gone by the time an abandoned thread wakes.
struct read_job : pcsc::task {
    std::atomic<int> holders{2};
    std::atomic<pcsc::progress> reached{pcsc::progress::asking_service};
    // Written before `reached` becomes decided, read only after.
    pcsc::read_status status = pcsc::status_no_card;
    unsigned char serial[5] = {};
    pcsc::settings chosen;

    // Called at every return of the read, before its handles are released:
    // releasing may hang too, and the decision must not wait for it.
    pcsc::read_status decide(pcsc::read_status decided) noexcept {
        status = decided;
        reached.store(pcsc::progress::decided, std::memory_order_release);
        return decided;
    }

    static read_job* create(void (*run)(pcsc::task*) noexcept) noexcept {
        void* memory = std::malloc(sizeof(read_job));
        if (memory == nullptr) return nullptr;
        auto* job = new (memory) read_job;
        job->run = run;
        return job;
    }

    static void release(read_job* job) noexcept {
        if (job->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) discard(job);
    }

    // For a job that no thread ever took up: the caller is its only holder.
    static void discard(read_job* job) noexcept {
        job->~read_job();
        std::free(job);
    }
};

pcsc::read_status read_uid(read_job& job) noexcept {
    pcsc::reader_survey readers;
    step failed = step::establish_context;
    LONG rv = readers.list(failed);
    if (rv != SCARD_S_SUCCESS) return job.decide(pcsc::status_after_failure(failed, rv));
    job.reached.store(pcsc::progress::asking_readers, std::memory_order_release);

    if (readers.count() == 0) return job.decide(pcsc::status_no_reader);
    rv = readers.ask_states();
    if (rv != SCARD_S_SUCCESS)
        return job.decide(pcsc::status_after_failure(step::reader_states, rv));

    // A reader whose card does not give its UID (a security token, a contact
    // card in a keyboard) must not hide the card on the next one.
    std::size_t order[pcsc::max_readers];
    const std::size_t asked =
        pcsc::order_readers(job.chosen, readers.names(), readers.count(), order);
    // The site named its readers and none of them is connected.
    if (asked == 0) return job.decide(pcsc::status_no_reader);
    pcsc::passed_over_readers passed_over;
    for (std::size_t i = 0; i < asked && !passed_over.service_lost(); ++i) {
        const SCARD_READERSTATE& reader = readers.state(order[i]);
        if (!pcsc::holds_usable_card(reader.dwEventState)) continue;
        pcsc::card uid_card;
        rv = uid_card.connect(readers.context(), reader.szReader);
        if (rv != SCARD_S_SUCCESS) {
            passed_over.add(step::connect, rv);
            continue;
        }
        unsigned char response[pcsc::max_response_size];
        std::size_t response_size = sizeof response;
        rv = uid_card.transmit(pcsc::get_uid_command, sizeof pcsc::get_uid_command, response,
                               &response_size);
        if (rv == SCARD_S_SUCCESS &&
            pcsc::fill_serial(response, response_size, job.chosen, job.serial)) {
            return job.decide(pcsc::status_card_read);
        }
        passed_over.add(step::transmit, rv);
    }
    return job.decide(passed_over.status());
}

// The thread's part: the read, then letting go of the job.
void run_read(pcsc::task* work) noexcept {
    auto* job = static_cast<read_job*>(work);
    read_uid(*job);
    read_job::release(job);
}

}  // namespace

// Fills bytes 0 to 4 of idserial (the UID's length, then its last four bytes)
// and returns 0; or returns 8 when no reader's card gave a UID, 23 when there
// is no PC/SC service or no reader, or every reader holding a card refused us
// for lack of rights; 1 when the read could not be started at all (no thread,
// no memory); 2 when the site's settings file cannot be taken as settings.
// The buffer is untouched unless 0 is returned.
//
// Returns within the settings' deadline_ms: if the read has not decided by
// then, 23 while the service had not answered, 8 once it had.
extern "C" READER_EXPORT int READER_CALL idr_read(unsigned char* idserial) {
    if (idserial == nullptr) return pcsc::status_no_card;
    pcsc::settings_lookup site;
    pcsc::own_settings(site);
    // A file that cannot be taken as settings passes neither for a card nor
    // for the defaults: the site's numbers would silently change.
    if (site.error.problem != pcsc::settings_problem::none) return pcsc::status_bad_settings;
    read_job* job = read_job::create(run_read);
    // Without the few bytes a job needs, nothing else would work either.
    if (job == nullptr) return pcsc::status_not_started;
    job->chosen = site.values;
    const pcsc::run_result run = pcsc::run_bounded(*job, site.values.deadline_ms);
    if (run == pcsc::run_result::not_started) {
        // Read here instead, and nothing would bound the read: a service that
        // never answers would hold the caller for good. So no read at all.
        read_job::discard(job);
        return pcsc::status_not_started;
    }
    if (run == pcsc::run_result::timed_out) pcsc::outlive_abandoned_thread();

    const pcsc::progress reached = job->reached.load(std::memory_order_acquire);
    const pcsc::read_status status =
        reached == pcsc::progress::decided ? job->status : pcsc::status_at_deadline(reached);
    if (status == pcsc::status_card_read) std::memcpy(idserial, job->serial, sizeof job->serial);
    read_job::release(job);
    return status;
}
