// The platform's part of a read bounded in time: work run on a thread of its
// own and waited for only until a deadline, and this library kept loaded once
// such a thread has been left running. One implementation per platform,
// chosen by the build.
#pragma once

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
    // No thread could be started; the work has not run.
    not_started,
};

// Runs `work` on a new thread and waits until that thread has ended, but no
// longer than `timeout_ms` milliseconds from the call.
run_result run_bounded(task& work, unsigned timeout_ms) noexcept;

// For a thread left running: keeps this library mapped until the process
// ends, however often its loader unloads it (on POSIX the link already sees
// to that), so that the thread never runs into unmapped code; and keeps the
// process's exit from waiting for locks the thread may hold when it is
// killed there.
void outlive_abandoned_thread() noexcept;

}  // namespace vellicor::pcsc
