// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>

#include "reader/output_guard.hpp"

namespace vellicor {

namespace {

// A library reaches our output two ways, and both are redirected: through
// the C runtime's descriptors, which a library sharing our msvcrt.dll writes
// through, and through the process's standard handles, which a library
// writes to directly or its own C runtime takes up when it is loaded.
struct standard_stream {
    int fd;
    DWORD handle_id;
};
constexpr std::array<standard_stream, 2> standard = {
    {{1, STD_OUTPUT_HANDLE}, {2, STD_ERROR_HANDLE}}};

HANDLE handle_of(int fd) {
    // The C runtime hands out its handles as integers.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

}  // namespace

output_guard::output_guard() noexcept {
    // Ours goes out now, while stdout still leads where it should.
    std::fflush(stdout);
    const auto give_up = [this] {
        for (saved_stream& saved : saved_) {
            if (saved.copy >= 0) _close(saved.copy);
            saved.copy = -1;
        }
    };
    for (std::size_t i = 0; i < saved_.size(); ++i) {
        saved_stream& saved = saved_[i];
        saved.handle = GetStdHandle(standard[i].handle_id);
        saved.handle_was_descriptors = saved.handle == handle_of(standard[i].fd);
        saved.copy = _dup(standard[i].fd);
        // EBADF: the stream has no handle (a process started without one),
        // so nothing written to it arrives anywhere; it is left alone.
        // Anything else: no guard.
        if (saved.copy < 0 && errno != EBADF) {
            give_up();
            return;
        }
    }
    const int null_fd = _open("NUL", _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (null_fd < 0) {
        give_up();
        return;
    }
    for (std::size_t i = 0; i < saved_.size(); ++i) {
        if (saved_[i].copy < 0) continue;
        _dup2(null_fd, standard[i].fd);
        SetStdHandle(standard[i].handle_id, handle_of(standard[i].fd));
    }
    _close(null_fd);
    redirected_ = true;
}

output_guard::~output_guard() {
    if (!redirected_) return;
    // What the library left in the C runtime's buffers goes to the null device.
    std::fflush(stdout);
    std::fflush(stderr);
    for (std::size_t i = 0; i < saved_.size(); ++i) {
        const saved_stream& saved = saved_[i];
        if (saved.copy < 0) continue;
        _dup2(saved.copy, standard[i].fd);
        _close(saved.copy);
        // Redirecting the descriptor closed its handle: a standard handle that
        // was that handle now follows the descriptor to its copy.
        SetStdHandle(standard[i].handle_id, saved.handle_was_descriptors
                                                ? handle_of(standard[i].fd)
                                                : static_cast<HANDLE>(saved.handle));
    }
}

}  // namespace vellicor
