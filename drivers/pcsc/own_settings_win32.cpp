#include <windows.h>

#include <cstdlib>
#include <memory>

#include "drivers/pcsc/settings_file.hpp"

namespace vellicor::pcsc {

namespace {

struct free_memory {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

// Any object of ours tells Windows which module this is.
const char anchor = 0;

}  // namespace

void own_settings(settings_lookup& into) noexcept {
    into = settings_lookup{};
    HMODULE self = nullptr;
    const bool found = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                          reinterpret_cast<LPCWSTR>(&anchor), &self) != 0;
    // Grown until the whole path fits: a folder may be longer than MAX_PATH.
    std::unique_ptr<wchar_t, free_memory> path;
    for (DWORD capacity = MAX_PATH; found && capacity <= 2 * 32768; capacity *= 2) {
        path.reset(static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t))));
        if (!path) break;
        const DWORD length = GetModuleFileNameW(self, path.get(), capacity);
        if (length == 0) break;
        if (length < capacity) {
            find_settings(path.get(), into);
            return;
        }
    }
    into.source = settings_source::beside_library;
    into.error = {settings_problem::unreadable, 0};
}

}  // namespace vellicor::pcsc
