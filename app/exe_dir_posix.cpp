#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "app/exe_dir.hpp"

namespace vellicor {

namespace {

// The kernel's own link to the running executable. Empty where /proc is not
// mounted, as in some containers and chroots.
std::string proc_self_exe() {
    // readlink does not say when it truncated, so grow until it leaves room.
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// The path the program was started by, as handed to execve, with links and
// dots resolved. A relative one resolves against the current directory, which
// is still the one we started in: the program never changes it.
std::string started_as() {
    // The auxiliary vector holds the string's address as an integer.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (name == nullptr) return {};
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(name, nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

native_string exe_dir() {
    std::string target = proc_self_exe();
    if (target.empty()) target = started_as();
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
