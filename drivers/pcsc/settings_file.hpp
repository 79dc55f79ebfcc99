// Where a PC/SC reader library's settings come from: OUR_IDR.ini beside the
// library, or on Linux one for the whole machine when there is none beside
// it. Read afresh at each read, so that an edit takes effect without a
// restart. One implementation per platform, chosen by the build.
#pragma once

#include <filesystem>

#include "drivers/pcsc/settings.hpp"

namespace vellicor::pcsc {

// A character of a path as the platform takes it: bytes on POSIX, UTF-16 on
// Windows.
using path_char = std::filesystem::path::value_type;

enum class settings_source { defaults, beside_library, system_wide };

struct settings_lookup {
    settings_source source = settings_source::defaults;
    settings values;
    // A fault in the file that was found; its settings are then unusable.
    settings_error error;
};

// The settings file for every library on this machine, read when there is
// none beside the library; nullptr where the platform has none.
const path_char* system_settings_path() noexcept;

// The settings of the reader library at `library_path` (NUL-terminated).
void find_settings(const path_char* library_path, settings_lookup& into) noexcept;

// The settings of this reader library, found from its own path. Only the
// reader library itself has this.
void own_settings(settings_lookup& into) noexcept;

}  // namespace vellicor::pcsc
