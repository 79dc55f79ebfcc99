// The check tool's findings as UTF-8 text for a person, or as one JSON
// document for support scripts. Pure formatting, no I/O.
#pragma once

#include <string>
#include <string_view>

#include "check/findings.hpp"

namespace vellicor::check {

std::string text_report(const findings& found);
std::string json_report(const findings& found);

// What a settings fault means, in words.
const char* problem_text(pcsc::settings_problem problem) noexcept;

// Text as both reports show it: well-formed UTF-8 as it is, but each byte
// that is not part of it, and each control character, as \xHH. Always
// well-formed UTF-8 itself.
std::string readable(std::string_view text);

}  // namespace vellicor::check
