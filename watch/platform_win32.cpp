#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "app/exe_dir.hpp"
#include "watch/platform.hpp"

namespace vellicor::watch {

namespace {

HANDLE input_handle = INVALID_HANDLE_VALUE;
HANDLE output_handle = INVALID_HANDLE_VALUE;

HANDLE private_copy(DWORD which) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    HANDLE self = GetCurrentProcess();
    HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE ||
        DuplicateHandle(self, original, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

}  // namespace

void take_standard_streams() noexcept {
    // As for the one-shot program (app/main_win32.cpp): no dialog waits for a
    // click, and no DLL from the current directory stands in for the reader's.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    if (SetDllDirectoryW(exe_dir().c_str()) == FALSE) SetDllDirectoryW(L"");

    input_handle = private_copy(STD_INPUT_HANDLE);
    output_handle = private_copy(STD_OUTPUT_HANDLE);
    // Both ways a library reaches the standard streams lead to the null
    // device: the C runtime's descriptors and the process's standard handles.
    const int null_fd = _open("NUL", _O_RDWR | _O_BINARY | _O_NOINHERIT);
    if (null_fd < 0) return;
    const DWORD handles[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; ++fd) {
        _dup2(null_fd, fd);
        // The C runtime hands out its handles as integers.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        SetStdHandle(handles[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    }
    _close(null_fd);
}

std::size_t read_input(char* into, std::size_t size) noexcept {
    DWORD got = 0;
    // A broken pipe (the browser closed it) reads as its end.
    if (ReadFile(input_handle, into, static_cast<DWORD>(size), &got, nullptr) == 0) return 0;
    return got;
}

bool write_output(const char* bytes, std::size_t size) noexcept {
    while (size > 0) {
        DWORD written = 0;
        if (WriteFile(output_handle, bytes, static_cast<DWORD>(size), &written, nullptr) == 0 ||
            written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// ExitProcess would end a thread stuck in a reader library wherever it is,
// then wait in the library's detach (or winscard's) for a lock that thread
// holds, for ever.
void end_process() noexcept {
    TerminateProcess(GetCurrentProcess(), 0);
    for (;;) Sleep(INFINITE);
}

}  // namespace vellicor::watch
