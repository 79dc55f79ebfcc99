#include <windows.h>

#include "reader/library.hpp"

// In call_entry_x86_win32.S.
extern "C" int vellicor_call_entry_x86(vellicor::reader_entry entry, unsigned char* idserial);

namespace vellicor {

library library::load(const native_string& path) noexcept {
    // No message box for a library that is corrupt, foreign or missing a
    // dependency: the program sets the error mode for its whole run.
    return library(LoadLibraryW(path.c_str()));
}

reader_entry library::find_entry(const char* name) const noexcept {
    if (handle_ == nullptr) return nullptr;
    const auto entry = GetProcAddress(static_cast<HMODULE>(handle_), name);
    // Through the generic function pointer type, which converts to any other.
    return reinterpret_cast<reader_entry>(reinterpret_cast<void (*)()>(entry));
}

void library::unload() noexcept {
    if (handle_ != nullptr) {
        FreeLibrary(static_cast<HMODULE>(handle_));
        handle_ = nullptr;
    }
}

int call_reader_entry(reader_entry entry, unsigned char* idserial) noexcept {
    return vellicor_call_entry_x86(entry, idserial);
}

}  // namespace vellicor
