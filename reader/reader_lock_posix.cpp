#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "reader/reader_lock.hpp"

namespace vellicor {

namespace {

// A folder only this user may enter, as freedesktop.org's base directory
// rules require of XDG_RUNTIME_DIR; anything else is not trusted with the lock.
bool private_folder(const char* path) {
    struct stat info {};
    return path != nullptr && path[0] == '/' && lstat(path, &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

std::string lock_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (private_folder(runtime)) return std::string(runtime) + "/vellicor-reader.lock";
    return "/tmp/vellicor-reader-" + std::to_string(geteuid()) + ".lock";
}

// The lock file, or -1. In /tmp anyone may have made the name first: a link
// is never followed, and a file that is not a regular one of ours, or that
// has another name too, is not used.
int open_lock_file() {
    const int fd = open(lock_path().c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

reader_lock::reader_lock(unsigned wait_ms) noexcept {
    const int fd = open_lock_file();
    if (fd < 0) return;
    // flock cannot wait with a bound of its own: it is tried again, often
    // enough to catch the pause the watch leaves between its reads.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            state_ = lock_state::held;
            handle_ = fd;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= give_up) {
            state_ = lock_state::busy;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(5));
    }
    close(fd);
}

reader_lock::~reader_lock() {
    // Closing the only descriptor of the file releases its lock.
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

}  // namespace vellicor
