// One card read through the reader library: load, one call, unload.
#pragma once

#include <string>

#include "reader/library.hpp"

namespace vellicor {

// The exported name of the reader library's entry point.
inline constexpr char reader_entry_name[] = "idr_read";

// What one read through the library came to.
struct reader_answer {
    // False when the library could not be loaded or has no entry point.
    bool called = false;
    unsigned char status = 0;
    std::string result;
};

// Loads the library at FileName, reads once and unloads it before returning.
// Whatever the library writes to stdout or stderr meanwhile is discarded.
// A library that cannot be loaded or has no entry point gives an empty result,
// just like a status we do not know.
std::string read_card(const native_string& FileName);

// The same read, with the status the library returned.
reader_answer read_card_answer(const native_string& FileName);

// The call and the status mapping on their own, for an entry point already
// found.
std::string read_card_with(reader_entry entry);

}  // namespace vellicor
