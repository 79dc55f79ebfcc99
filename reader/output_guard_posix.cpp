#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "reader/output_guard.hpp"

namespace vellicor {

namespace {

constexpr std::array<int, 2> standard_fds = {STDOUT_FILENO, STDERR_FILENO};

// Numbered above the standard three, so that a copy can never be taken for
// one of them while another is closed.
int copy_of(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); }

}  // namespace

output_guard::output_guard() noexcept {
    // Ours goes out now, while stdout still leads where it should.
    std::fflush(stdout);
    const auto give_up = [this] {
        for (saved_stream& saved : saved_) {
            if (saved.copy >= 0) close(saved.copy);
        }
    };
    // Copies first: the null device, opened next, takes the lowest free
    // number, which is a standard stream's when that one is closed.
    for (std::size_t i = 0; i < saved_.size(); ++i) {
        saved_[i].copy = copy_of(standard_fds[i]);
        // EBADF: closed, and put back closed. Anything else: no guard.
        if (saved_[i].copy < 0 && errno != EBADF) {
            give_up();
            return;
        }
    }
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        give_up();
        return;
    }
    for (const int fd : standard_fds) dup2(null_fd, fd);
    // Unless it landed on a closed standard stream, which it now stands in for.
    if (null_fd != STDOUT_FILENO && null_fd != STDERR_FILENO) close(null_fd);
    redirected_ = true;
}

output_guard::~output_guard() {
    if (!redirected_) return;
    // What the library left in the C library's buffers goes to the null device.
    std::fflush(stdout);
    std::fflush(stderr);
    for (std::size_t i = 0; i < saved_.size(); ++i) {
        if (saved_[i].copy < 0) {
            close(standard_fds[i]);
        } else {
            dup2(saved_[i].copy, standard_fds[i]);
            close(saved_[i].copy);
        }
    }
}

}  // namespace vellicor
