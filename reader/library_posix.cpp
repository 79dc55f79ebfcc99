#include <dlfcn.h>
#include <sys/stat.h>

#include "reader/library.hpp"

namespace vellicor {

library library::load(const native_string& path) noexcept {
    // Only a regular file, links followed: dlopen opens and reads whatever it
    // is given, and a FIFO or a terminal would block it until someone writes.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    // RTLD_LOCAL keeps the reader's symbols out of the global namespace: we
    // look up exactly one of them ourselves.
    return library(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

reader_entry library::find_entry(const char* name) const noexcept {
    if (handle_ == nullptr) return nullptr;
    // POSIX guarantees that dlsym's object pointer converts to a function pointer.
    return reinterpret_cast<reader_entry>(dlsym(handle_, name));
}

void library::unload() noexcept {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

int call_reader_entry(reader_entry entry, unsigned char* idserial) noexcept {
    return entry(idserial);
}

}  // namespace vellicor
