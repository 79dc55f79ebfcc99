// The check tool's dealings with the platform: paths as text, telling our
// reader library from another, and the report reaching a person's console.
// One implementation per platform, chosen by the build.
#pragma once

#include <string>

#include "check/findings.hpp"
#include "reader/library.hpp"

namespace vellicor::check {

// The path as UTF-8.
std::string utf8_path(const native_string& path);

// Whether the reader library at `path` (which exists) is ours: on Windows its
// version resource names the product Vellicor; elsewhere it exports
// vellicor_reader_marker.
library_kind identify_library(const native_string& path);

// Writes the UTF-8 report to standard output so that a person can read it.
void write_report(const std::string& utf8);

}  // namespace vellicor::check
