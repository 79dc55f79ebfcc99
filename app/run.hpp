// The whole run: find the reader library beside the executable, read one card
// and write one result.
#pragma once

#include <cstdio>

namespace vellicor {

// The reader library's file name, the same on every platform.
inline constexpr char reader_library_name[] = "OUR_IDR.dll";

// Writes either the framed result message or, when there is no reader library
// beside the executable, the unframed not-found report. Returns the exit
// status, which is always 0: every outcome is reported on `out`.
int run(std::FILE* out);

}  // namespace vellicor
