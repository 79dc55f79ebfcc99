// The one regular output of a run: a JSON object with the key "cardno",
// preceded by its byte length, so that a parent process can read exactly one
// message from our standard output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vellicor {

// {"cardno":"<result>"} with the result's bytes copied unchanged: the value is
// either decimal digits or one of the GBK status texts, which the consumer
// expects as GBK, so nothing is escaped or re-encoded.
std::string make_message(std::string_view result);

// The 4-byte length of outMsg in native byte order, followed by outMsg.
std::string frame_message(std::string_view outMsg);

// Writes the framed message for `result` and flushes. Write errors are not
// reported: the caller has nowhere else to report them. C stdio rather than
// iostreams: setting up the iostreams costs a fifth of the program's start.
void write_result_message(std::FILE* out, std::string_view result);

}  // namespace vellicor
