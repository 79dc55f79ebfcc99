// The platform's part of a read bounded in time: work run on a thread of its
// own and waited for only until a deadline, and the process's exit kept safe
// from such a thread left running. One implementation per platform, chosen by
// the build.
#pragma once

#include <cstddef>

namespace vellicor::pcsc {

// Work for a thread of its own, which calls run(this).
struct task {
    void (*run)(task* self) noexcept = nullptr;
};

enum class run_result {
    // The thread has ended: nothing of the work runs any more.
    finished,
    // The thread runs on, detached; the work must stay valid for it.
    timed_out,
    // No thread could be started; the work has not run, and must not run
    // unbounded on the caller's thread either.
    not_started,
};

// The thread's stack, set rather than left to the default: on POSIX threads
// take their default size from the stack limit, and a huge limit would keep
// any thread from starting. A read needs a few kilobytes.
inline constexpr std::size_t thread_stack_size = std::size_t{1} << 20U;

// Runs `work` on a new thread and waits until that thread has ended, but no
// longer than `timeout_ms` milliseconds from the call.
run_result run_bounded(task& work, unsigned timeout_ms) noexcept;

// Milliseconds on a clock that setting the wall clock does not move.
unsigned long long monotonic_ms() noexcept;

// For a thread left running: keeps this library mapped until the process
// ends, however often its loader unloads it (on POSIX the link already sees
// to that), and ends the process, once it exits, before the PC/SC library's
// own clean-up can wait for locks the thread holds or free what it still
// uses. The process keeps the exit status it was given.
void outlive_abandoned_thread() noexcept;

}  // namespace vellicor::pcsc
