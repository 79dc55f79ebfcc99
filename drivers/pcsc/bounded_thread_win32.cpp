#include <windows.h>

#include <atomic>
#include <cstddef>

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

bool ended_normally(HANDLE thread) noexcept {
    DWORD exit_code = 0;
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0 &&
           GetExitCodeThread(thread, &exit_code) != 0 && exit_code == ran_to_its_end;
}

// Every thread left running, kept for DllMain at process exit: whichever of
// them ExitProcess kills may hold a lock. A slot is taken before its thread
// is started, so that no thread ever runs untracked; as many as DllMain can
// wait for at once.
class abandoned_threads {
  public:
    static constexpr std::size_t capacity = MAXIMUM_WAIT_OBJECTS;

    // A slot for one more thread, or capacity when every slot holds a thread
    // that has not run to its end.
    std::size_t take() noexcept {
        for (std::size_t i = 0; i < capacity; ++i) {
            if (!slots_[i].taken.exchange(true)) return i;
        }
        // Full: reuse the slot of a thread that has ended since.
        for (std::size_t i = 0; i < capacity; ++i) {
            HANDLE thread = slots_[i].thread.load();
            if (thread != nullptr && ended_normally(thread) &&
                slots_[i].thread.compare_exchange_strong(thread, nullptr)) {
                CloseHandle(thread);
                return i;
            }
        }
        return capacity;
    }

    void give_back(std::size_t slot) noexcept { slots_[slot].taken.store(false); }

    void keep(std::size_t slot, HANDLE thread) noexcept { slots_[slot].thread.store(thread); }

    // At process exit, with every other thread killed or ended: the exit
    // code of one that was killed before it ran to its end, if any was.
    bool killed_one(DWORD* exit_code) noexcept {
        HANDLE threads[capacity];
        DWORD count = 0;
        for (entry& one : slots_) {
            HANDLE thread = one.thread.load();
            if (thread != nullptr) threads[count++] = thread;
        }
        if (count == 0) return false;
        // Wine has ended them by now. Windows may still be ending them, and a
        // thread takes on its exit code only once it has ended: wait for
        // that, a moment at most, rather than take it for one still running.
        WaitForMultipleObjects(count, threads, TRUE, 1000);
        for (DWORD i = 0; i < count; ++i) {
            if (GetExitCodeThread(threads[i], exit_code) != 0 && *exit_code != ran_to_its_end &&
                *exit_code != STILL_ACTIVE) {
                return true;
            }
        }
        return false;
    }

  private:
    struct entry {
        std::atomic<bool> taken;
        std::atomic<HANDLE> thread;
    };
    entry slots_[capacity];
};

abandoned_threads abandoned;

}  // namespace

run_result run_bounded(task& work, unsigned timeout_ms) noexcept {
    const std::size_t slot = abandoned.take();
    // More reads left hanging than we can keep track of: another would only
    // hang too, and its thread could keep the process from ending.
    if (slot == abandoned_threads::capacity) return run_result::not_started;
    HANDLE thread = CreateThread(nullptr, thread_stack_size, thread_main, &work,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        abandoned.give_back(slot);
        return run_result::not_started;
    }
    if (WaitForSingleObject(thread, timeout_ms) == WAIT_OBJECT_0) {
        CloseHandle(thread);
        abandoned.give_back(slot);
        return run_result::finished;
    }
    abandoned.keep(slot, thread);
    return run_result::timed_out;
}

unsigned long long monotonic_ms() noexcept { return GetTickCount64(); }

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
    DWORD exit_code = 0;
    if (vellicor::pcsc::abandoned.killed_one(&exit_code)) {
        TerminateProcess(GetCurrentProcess(), exit_code);
    }
    return TRUE;
}
