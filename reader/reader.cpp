#include "reader/reader.hpp"

#include "reader/output_guard.hpp"
#include "reader/status.hpp"

namespace vellicor {

namespace {

reader_answer answer_from(reader_entry entry) {
    // Zeroed, so that a library which reports success without filling the
    // buffer yields "0" rather than whatever was on the stack.
    serial_buffer idserial{};
    const unsigned char status = status_from_return(call_reader_entry(entry, idserial.data()));
    return {true, status, result_for_status(status, idserial)};
}

}  // namespace

std::string read_card_with(reader_entry entry) { return answer_from(entry).result; }

reader_answer read_card_answer(const native_string& FileName) {
    // Made before the library and so ended after it: nothing the library
    // prints while it is loaded, called or unloaded reaches our output.
    const output_guard quiet;
    library reader = library::load(FileName);
    const reader_entry entry = reader.find_entry(reader_entry_name);
    if (entry == nullptr) return {};
    reader_answer answer = answer_from(entry);
    reader.unload();
    return answer;
}

std::string read_card(const native_string& FileName) { return read_card_answer(FileName).result; }

}  // namespace vellicor
