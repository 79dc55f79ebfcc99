#include <dlfcn.h>

#include "reader/library.hpp"

namespace vellicor {

library library::load(const native_string& path) noexcept {
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
