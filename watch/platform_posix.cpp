#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "watch/platform.hpp"

namespace vellicor::watch {

namespace {

// Numbered above the standard three, as the output guard's copies are.
int input_fd = -1;
int output_fd = -1;

int private_copy(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); }

}  // namespace

void take_standard_streams() noexcept {
    // A browser that stops reading must not kill us: the write fails, and we
    // end as it has gone.
    std::signal(SIGPIPE, SIG_IGN);
    input_fd = private_copy(STDIN_FILENO);
    output_fd = private_copy(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_fd, fd);
    if (null_fd > STDERR_FILENO) close(null_fd);
}

std::size_t read_input(char* into, std::size_t size) noexcept {
    for (;;) {
        const ssize_t got = read(input_fd, into, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return 0;
    }
}

bool write_output(const char* bytes, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = write(output_fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void end_process() noexcept { _exit(0); }

}  // namespace vellicor::watch
