#include <unistd.h>

#include <cstdio>

#include "check/platform.hpp"
#include "reader/output_guard.hpp"

namespace vellicor::check {

std::string utf8_path(const native_string& path) { return path; }

std::string utf8_text(const std::string& text) { return text; }

library_kind identify_library(const native_string& path) {
    // Whatever a vendor's library prints as it loads stays out of the report.
    const output_guard quiet;
    const library loaded = library::load(path);
    if (!loaded) return library_kind::unloadable;
    return loaded.find_entry("vellicor_reader_marker") != nullptr ? library_kind::ours
                                                                  : library_kind::other;
}

std::string guide_path(const char* file) { return std::string("/usr/share/doc/vellicor/") + file; }

void write_report(const std::string& utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

void end_process(int status) noexcept {
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace vellicor::check
