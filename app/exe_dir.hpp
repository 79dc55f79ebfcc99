// Where the running executable lies, and the few file-system questions asked
// about the reader library beside it. One implementation per platform.
#pragma once

#include <string>

#include "reader/library.hpp"

namespace vellicor {

// The directory of the running executable, read in full however long it is,
// with its trailing separator. Empty when the platform cannot tell.
native_string exe_dir();

// True when anything at all exists at path: a file, a directory, a device.
bool entry_exists(const native_string& path);

// The path as narrow text for the not-found report.
std::string narrow_for_report(const native_string& path);

}  // namespace vellicor
