#include <windows.h>

#include <atomic>

#include "drivers/pcsc/bounded_thread.hpp"

namespace vellicor::pcsc {

namespace {

// What a thread that ran to its end returns. ExitProcess kills the others
// with the exit code of the process instead.
constexpr DWORD ran_to_its_end = 0x52554E00;

DWORD WINAPI thread_main(LPVOID work) {
    auto* self = static_cast<task*>(work);
    self->run(self);
    return ran_to_its_end;
}

// Any object of ours tells Windows which module this is.
const char anchor = 0;

// A thread left running, its handle kept open for DllMain at process exit.
std::atomic<HANDLE> abandoned_thread{nullptr};

}  // namespace

run_result run_bounded(task& work, unsigned timeout_ms) noexcept {
    HANDLE thread = CreateThread(nullptr, 0, thread_main, &work, 0, nullptr);
    if (thread == nullptr) return run_result::not_started;
    if (WaitForSingleObject(thread, timeout_ms) == WAIT_OBJECT_0) {
        CloseHandle(thread);
        return run_result::finished;
    }
    // It runs on, detached. One kept handle is enough, as long as its thread
    // may still be running: an earlier one that has not ended stays.
    HANDLE earlier = abandoned_thread.exchange(thread);
    if (earlier != nullptr) {
        if (WaitForSingleObject(earlier, 0) == WAIT_TIMEOUT)
            earlier = abandoned_thread.exchange(earlier);
        CloseHandle(earlier);
    }
    return run_result::timed_out;
}

void outlive_abandoned_thread() noexcept {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&anchor), &self);
}

}  // namespace vellicor::pcsc

// At process exit (`reserved` not null) ExitProcess has already killed every
// other thread wherever it was, and now tells each DLL in turn: us before
// winscard, which we import. If it killed a thread of ours in the middle of a
// read, winscard's detach may wait for a lock that thread held, forever. So
// the process ends here, with the exit code ExitProcess was given, which the
// killed thread took as its own: the process itself still counts as running.
// Everything the program wrote was flushed before ExitProcess.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
    if (reason != DLL_PROCESS_DETACH || reserved == nullptr) return TRUE;
    HANDLE thread = vellicor::pcsc::abandoned_thread.load();
    if (thread == nullptr) return TRUE;
    // Wine has ended the thread by now. Windows may still be ending it, and
    // the thread takes on its exit code only once it has ended: wait for
    // that, a moment at most, rather than let it pass for one still running.
    WaitForSingleObject(thread, 1000);
    DWORD exit_code = 0;
    if (GetExitCodeThread(thread, &exit_code) != 0 && exit_code != vellicor::pcsc::ran_to_its_end &&
        exit_code != STILL_ACTIVE) {
        TerminateProcess(GetCurrentProcess(), exit_code);
    }
    return TRUE;
}
