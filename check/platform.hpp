// The check tool's dealings with the platform: paths and the system's text
// as UTF-8, telling our reader library from another, the report reaching a
// person's console, and the process's end. One implementation per platform,
// chosen by the build.
#pragma once

#include <string>

#include "check/findings.hpp"
#include "reader/library.hpp"

namespace vellicor::check {

// The path as UTF-8: on POSIX its bytes as they are.
std::string utf8_path(const native_string& path);

// Text of the settings file or of the PC/SC service (a reader's name) as
// UTF-8: on Windows taken in the ANSI code page, as SCardListReadersA gives
// names and as the library compares them; on POSIX its bytes as they are.
std::string utf8_text(const std::string& text);

// Whether the reader library at `path` (which exists) is ours: on Windows its
// version resource names the product Vellicor; elsewhere it exports
// vellicor_reader_marker.
library_kind identify_library(const native_string& path);

// Where a person finds the guide `file` (migrating.md, say) as this
// platform's packages ship it, for the report's pointers.
std::string guide_path(const char* file);

// Writes the UTF-8 report to standard output so that a person can read it,
// flushed.
void write_report(const std::string& utf8);

// Ends the process at once with `status`, without exit handlers or any
// library's clean-up: a question given up inside the PC/SC library still
// holds its locks and uses its memory, which that clean-up would wait for
// (Windows) or free under it (Linux).
[[noreturn]] void end_process(int status) noexcept;

}  // namespace vellicor::check
