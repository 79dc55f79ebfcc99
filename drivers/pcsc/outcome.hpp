// What a read over PC/SC decides: which answers are a UID, how a UID fills the
// serial buffer, and which failures mean "no reader" rather than "no card".
// Kept apart from the PC/SC calls so that every decision can be checked
// without a daemon.
#pragma once

#include <winscard.h>

#include <cstddef>

namespace vellicor::pcsc {

// The statuses idr_read returns.
enum read_status : int {
    status_card_read = 0,
    status_no_card = 8,
    status_no_reader = 23,
};

// The PC/SC steps of a read, in order.
enum class step { establish_context, list_readers, connect, transmit };

// Contactless GET DATA, answered by the reader itself with the UID of the card
// in its field.
inline constexpr unsigned char get_uid_command[] = {0xFF, 0xCA, 0x00, 0x00, 0x00};

// Room for the longest answer to a short APDU: 256 data bytes and the status word.
inline constexpr std::size_t max_response_size = 258;

// ISO/IEC 14443 UIDs have 4, 7 or 10 bytes; 15693 and FeliCa identifiers 8.
inline constexpr std::size_t min_uid_size = 4;
inline constexpr std::size_t max_uid_size = 10;

// Fills the 5-byte serial buffer from the answer to get_uid_command: byte 0
// receives the UID's length, bytes 1 to 4 its last four bytes. Only an answer
// ending in 90 00 and holding a UID of min_uid_size to max_uid_size bytes
// counts; for any other the buffer is left alone and false returned.
bool fill_serial(const unsigned char* response, std::size_t response_size,
                 unsigned char* idserial) noexcept;

// The status a read ends with when the PC/SC call of `failed_step` returned
// `error`: no reader (23) when the service cannot be reached or there is no
// reader at all, no card (8) for everything else.
read_status status_after_failure(step failed_step, LONG error) noexcept;

// The length of the reader name at `offset` in a PC/SC multi-string of `size`
// characters (names, each ending in NUL, the list ending in an empty name).
// 0 when no name starts there, and also when the name is not terminated
// within `size`: nothing past `size` is ever read.
std::size_t name_length(const char* names, std::size_t size, std::size_t offset) noexcept;

}  // namespace vellicor::pcsc
