#include <sys/stat.h>
#include <unistd.h>

#include "app/exe_dir.hpp"

namespace vellicor {

native_string exe_dir() {
    // readlink does not say when it truncated, so grow until it leaves room.
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    const std::size_t slash = target.rfind('/');
    if (slash == std::string::npos) return {};
    target.resize(slash + 1);
    return target;
}

bool entry_exists(const native_string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// File names on POSIX are bytes already; they are reported as the file system
// holds them.
std::string narrow_for_report(const native_string& path) { return path; }

}  // namespace vellicor
