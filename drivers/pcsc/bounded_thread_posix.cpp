#include <pthread.h>

#include <csignal>
#include <ctime>

#include "drivers/pcsc/bounded_thread.hpp"

namespace vellicor::pcsc {

namespace {

void* thread_main(void* work) {
    auto* self = static_cast<task*>(work);
    self->run(self);
    return nullptr;
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
    pthread_t thread{};
    const int started = pthread_create(&thread, nullptr, thread_main, &work);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started != 0) return run_result::not_started;

    if (pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline) == 0) {
        return run_result::finished;
    }
    pthread_detach(thread);
    return run_result::timed_out;
}

void outlive_abandoned_thread() noexcept {
    // Nothing left to do here. The library is linked with -z nodelete, so no
    // dlclose ever unmaps it and a thread left running never runs into
    // unmapped code. Nor does the exit need guarding: exit() does not kill
    // the thread first, so whatever locks it holds in pcsc-lite stay with a
    // live thread, and pcsc-lite's own destructor takes none of those it
    // keeps while waiting for the service.
}

}  // namespace vellicor::pcsc
