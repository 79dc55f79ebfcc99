#include <windows.h>

#include "reader/reader_lock.hpp"

namespace vellicor {

reader_lock::reader_lock(unsigned wait_ms) noexcept {
    // Per logon session: the browser, its host and the check tool of one user
    // share it.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\vellicor-reader");
    if (mutex == nullptr) return;
    switch (WaitForSingleObject(mutex, wait_ms)) {
        case WAIT_OBJECT_0:
        // Its last holder ended without letting go: crashed, or killed by
        // the browser. The lock is ours now.
        case WAIT_ABANDONED:
            state_ = lock_state::held;
            handle_ = reinterpret_cast<std::intptr_t>(mutex);
            return;
        case WAIT_TIMEOUT:
            state_ = lock_state::busy;
            break;
        default:
            break;
    }
    CloseHandle(mutex);
}

reader_lock::~reader_lock() {
    if (state_ != lock_state::held) return;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle, kept as an integer
    auto* mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

}  // namespace vellicor
