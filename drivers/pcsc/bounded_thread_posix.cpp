#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "drivers/pcsc/bounded_thread.hpp"

namespace vellicor::pcsc {

namespace {

void* thread_main(void* work) {
    auto* self = static_cast<task*>(work);
    self->run(self);
    return nullptr;
}

class thread_attributes {
  public:
    thread_attributes() noexcept { ready_ = pthread_attr_init(&attributes_) == 0; }
    thread_attributes(const thread_attributes&) = delete;
    thread_attributes& operator=(const thread_attributes&) = delete;
    ~thread_attributes() {
        if (ready_) pthread_attr_destroy(&attributes_);
    }

    // Null, for the defaults, if they could not be set up.
    const pthread_attr_t* with_stack(std::size_t size) noexcept {
        if (!ready_ || pthread_attr_setstacksize(&attributes_, size) != 0) return nullptr;
        return &attributes_;
    }

  private:
    pthread_attr_t attributes_{};
    bool ready_ = false;
};

// Set once a read has been abandoned: the status the process is exiting with,
// recorded by an exit handler of ours.
std::atomic<bool> exit_recorded{false};
std::atomic<int> recorded_status{0};

void record_exit_status(int status, void* /*unused*/) {
    recorded_status.store(status);
    exit_recorded.store(true);
}

// exit() runs the program's exit handlers, ours among them, then the
// libraries' destructors: this library's before pcsc-lite's, since it depends
// on pcsc-lite. pcsc-lite's destructor frees its list of contexts without
// taking the lock that guards it, while a read we abandoned may still be
// inside pcsc-lite, using that list as soon as the service answers. So once a
// read has been abandoned the process ends here, after its exit handlers, with
// their status and with what it wrote flushed, as exit() itself would.
__attribute__((destructor)) void end_before_pcsc_lite_cleanup() {
    if (!exit_recorded.load()) return;
    std::fflush(nullptr);
    _exit(recorded_status.load());
}

}  // namespace

run_result run_bounded(task& work, unsigned timeout_ms) noexcept {
    constexpr long nanoseconds_per_second = 1000000000L;
    // The monotonic clock: setting the wall clock must not stretch the wait.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= nanoseconds_per_second) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= nanoseconds_per_second;
    }

    // The thread takes no signal: the program's handlers are for its own
    // threads, and a signal it directs at the process must not land on ours.
    sigset_t all{};
    sigset_t before{};
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    thread_attributes attributes;
    pthread_t thread{};
    const int started =
        pthread_create(&thread, attributes.with_stack(thread_stack_size), thread_main, &work);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started != 0) return run_result::not_started;

    if (pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline) == 0) {
        return run_result::finished;
    }
    pthread_detach(thread);
    return run_result::timed_out;
}

unsigned long long monotonic_ms() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000U +
           static_cast<unsigned long long>(now.tv_nsec) / 1000000U;
}

void outlive_abandoned_thread() noexcept {
    // The library is linked with -z nodelete, so no dlclose ever unmaps it
    // and the thread never runs into unmapped code. What is left is the exit.
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) on_exit(record_exit_status, nullptr);
}

}  // namespace vellicor::pcsc
