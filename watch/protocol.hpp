// vellicor-watch: a native messaging host that stays running for as long as
// a browser watches for cards, and tells it of each change of what lies on
// the reader. It reads through the OUR_IDR.dll beside it exactly as the
// one-shot program does (load, one call of idr_read, unload), one read at a
// time, each within a bound.
//
// Frames, both ways: a 4-byte length in the machine's byte order, then that
// many bytes of UTF-8 JSON, as browsers' native messaging has them.
//
// The host writes, one frame each:
//
//   {"event":"card","cardno":"-559038737"}   a card is presented: once per
//                                             presentation; another card at once
//   {"event":"no_card"}      the card was taken away; no card on the reader
//   {"event":"no_reader"}    no reader connected, or no service or driver for it
//   {"event":"failed"}       the library answered a status we do not know, or
//                            cannot be loaded, or has no idr_read
//   {"event":"not_found"}    no OUR_IDR.dll beside the host
//   {"event":"timeout"}      a read has not returned within its bound
//
// Each of these is sent when it begins, never again while it lasts; the
// first tells the state at start. A card is sent again when it is presented
// again, even if it is the same card: taken away and shown again between two
// reads (heard only with a library that can wait, reader/wait_entry.hpp), or
// after another event.
//
// The browser may send, one frame each:
//
//   {"read":7}   a read of its own: N is an integer from 0 to 2^53 - 1. The
//                host reads afresh, after the read in progress if any, and
//                answers {"read":7,"event":"card","cardno":"12345"} (or any
//                event above but timeout's rule: while a read is stuck it
//                answers {"read":7,"event":"timeout"} at once). Requests
//                that arrive together share one read. With more than
//                max_pending_reads waiting it answers {"read":7,"error":"busy"}.
//
// Any other frame (not JSON, not an object, other members, a frame over
// longest_request bytes, which is read and dropped) is answered with
// {"error":"bad_request"}, and the host goes on. When its input ends (the
// browser closed the port or ended) the host ends at once, exit status 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "reader/status.hpp"

namespace vellicor::watch {

// The longest frame the host takes from the browser; any request fits many
// times over.
inline constexpr std::size_t longest_request = 4096;
// The longest frame a browser takes from a host.
inline constexpr std::size_t longest_message = std::size_t{1} << 20U;
// Read requests waiting for one read at most.
inline constexpr std::size_t max_pending_reads = 256;
// The largest read number, JavaScript's largest safe integer.
inline constexpr std::uint64_t largest_read_id = (std::uint64_t{1} << 53U) - 1;

enum class event_kind { card, no_card, no_reader, failed, not_found, timeout };

struct outcome {
    event_kind kind = event_kind::failed;
    std::string cardno;  // only for a card: signed decimal

    bool operator==(const outcome& other) const {
        return kind == other.kind && cardno == other.cardno;
    }
    bool operator!=(const outcome& other) const { return !(*this == other); }
};

// What the library's status and buffer come to.
outcome outcome_of_read(unsigned char status, const serial_buffer& idserial);

// The event's JSON text, and the same as the answer to a read request.
std::string event_message(const outcome& event);
std::string read_answer(std::uint64_t id, const outcome& event);
std::string busy_answer(std::uint64_t id);
std::string bad_request_answer();

// The frame for a message: its length, in the machine's byte order, then it.
std::string frame(const std::string& json);

// The number of a read request ({"read":N}); nothing for any other text.
std::optional<std::uint64_t> read_request(const std::string& json);

// Decides which outcomes of the watch's own reads become events.
class event_filter {
  public:
    // The event to send for `now`, if any. `presented`: a card was put on a
    // reader since the read before, so a card is news even if it is the same.
    std::optional<outcome> next(const outcome& now, bool presented);

  private:
    std::optional<outcome> last_;
};

}  // namespace vellicor::watch
