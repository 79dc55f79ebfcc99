// vellicor-watch: a native messaging host that stays running for as long as
// a browser watches for cards, and tells it of each change of what lies on
// the reader. It reads through the OUR_IDR.dll beside it exactly as the
// one-shot program does (load, one call of idr_read, unload), one read at a
// time, each within a bound (host.hpp).
//
// Frames, both ways: a 4-byte length in the machine's byte order, then that
// many bytes of UTF-8 JSON, as browsers' native messaging has them. Every
// frame is written whole, in one write.
//
// The host writes, one frame each, without white space:
//
//   {"event":"card","cardno":"-559038737"}  a card is presented; the number
//                                           in signed decimal, as the
//                                           program writes it
//   {"event":"no_card"}    the card was taken away; none on the reader
//   {"event":"no_reader"}  no reader connected, or no service or driver for
//                          it (the library's status 23)
//   {"event":"failed"}     the library answered a status we do not know, or
//                          cannot be loaded, or has no idr_read
//   {"event":"not_found"}  no OUR_IDR.dll beside the host
//   {"event":"timeout"}    a read has not returned within its bound
//
// The first of these tells the state at start; after that each is sent when
// it begins, never again while it lasts. A card is sent once per
// presentation: not again while it lies there, at once when another card
// takes its place, and again when it is taken away and shown again: seen
// away by a read, or, with a library that can wait (reader/wait_entry.hpp),
// put on again between two looks. After any other message a card is news.
//
// The browser may send, one frame each:
//
//   {"read":N}  N an integer from 0 to 2^53 - 1 (JSON's plain digits). A
//               read of the browser's own, started after the request
//               arrived, answered with the event it came to:
//               {"read":N,"event":"card","cardno":"12345"}, or
//               {"read":N,"event":"no_card"} and so on. Requests that
//               arrive while a read is in progress share the next read. At
//               once: {"read":N,"event":"timeout"} while a read is stuck past
//               its bound, {"read":N,"event":"not_found"} without a library,
//               and {"read":N,"error":"busy"} when max_pending_reads
//               requests are already waiting. These reads and their answers
//               leave the watch's own events alone.
//
// Any other frame (not JSON, not an object, another member or a second one,
// N out of range or not plain digits, names with escapes, a frame longer
// than longest_request bytes, which is read and dropped) is answered with
// {"error":"bad_request"}, and the host goes on. When its input ends (the
// browser closed the port, or ended) the host ends at once with exit status
// 0, whatever a read is doing.
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
