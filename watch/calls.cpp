#include "watch/calls.hpp"

#include "reader/output_guard.hpp"
#include "reader/reader.hpp"
#include "reader/reader_lock.hpp"

namespace vellicor::watch {

read_result read_once(const native_string& library_path, unsigned lock_wait_ms) {
    const reader_lock lock(lock_wait_ms);
    if (lock.state() == lock_state::busy) return {{event_kind::timeout, {}}, false};
    // Made before the library and so ended after it, as in the program.
    const output_guard quiet;
    library reader = library::load(library_path);
    const reader_entry entry = reader.find_entry(reader_entry_name);
    read_result read;
    read.can_wait = reader.find_entry(wait_entry_name) != nullptr;
    if (entry == nullptr) return read;
    // Zeroed, as in the program: a library that reports success without
    // filling the buffer reads as 0.
    serial_buffer idserial{};
    const unsigned char status = status_from_return(call_reader_entry(entry, idserial.data()));
    reader.unload();
    read.result = outcome_of_read(status, idserial);
    return read;
}

wait_answer wait_once(const native_string& library_path, wait_request& request) {
    // Only our own library has the wait, and it prints nothing; the standard
    // streams lead to the null device for the host's whole run anyway
    // (platform.hpp). No guard here: it could run beside a read's, and two
    // guards from two threads would put the streams back in either order.
    library reader = library::load(library_path);
    const reader_entry wait = reader.find_entry(wait_entry_name);
    if (wait == nullptr) return {};
    // One pointer argument, so that the program's convention-proof call
    // serves the wait too.
    const int returned = call_reader_entry(wait, reinterpret_cast<unsigned char*>(&request));
    reader.unload();
    switch (returned) {
        case wait_unchanged:
        case wait_changed:
        case wait_presented:
        case wait_unavailable:
            return {static_cast<wait_result>(returned), true};
        default:
            // Refused, or an answer we do not know: this library cannot wait
            // for us.
            return {};
    }
}

}  // namespace vellicor::watch
