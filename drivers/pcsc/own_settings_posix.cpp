#include <dlfcn.h>

#include "drivers/pcsc/settings_file.hpp"

// Tells the check tool that an OUR_IDR.dll is ours rather than a vendor's;
// its address also tells dladdr which file this library was loaded from.
extern "C" READER_EXPORT void vellicor_reader_marker() {}

namespace vellicor::pcsc {

void own_settings(settings_lookup& into) noexcept {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&vellicor_reader_marker), &self) == 0 ||
        self.dli_fname == nullptr) {
        into = settings_lookup{};
        into.source = settings_source::beside_library;
        into.error = {settings_problem::unreadable, 0};
        return;
    }
    find_settings(self.dli_fname, into);
}

}  // namespace vellicor::pcsc
