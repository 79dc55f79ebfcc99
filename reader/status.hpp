// What the reader library's answer means to us: the status it returns and the
// serial it leaves in the buffer, turned into the text reported as "cardno".
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace vellicor {

// The buffer handed to the reader library. Byte 0 is the library's own; bytes 1
// to 4 hold the serial, most significant byte first, and are all we read.
// Libraries made for longer UIDs write the whole UID and its length, past the
// 5 bytes a reader needs: the room behind those is theirs to spill into.
inline constexpr std::size_t serial_buffer_size = 256;
using serial_buffer = std::array<unsigned char, serial_buffer_size>;

// The statuses that carry a meaning; any other value is reported as empty text.
enum reader_status : unsigned char {
    status_card_read = 0,
    status_no_card = 8,
    status_no_reader = 23,
};

// The serial as a signed 32-bit number in decimal ("%d"): serials whose first
// byte is 0x80 or above are negative, which is what our consumers expect.
std::string card_number_text(const serial_buffer& idserial);

// The result text for a status: the card number, a GBK status text, or empty.
std::string result_for_status(unsigned char status, const serial_buffer& idserial);

// Only the low 8 bits of the library's return value are its status.
constexpr unsigned char status_from_return(int returned) {
    return static_cast<unsigned char>(static_cast<unsigned int>(returned) & 0xFFU);
}

}  // namespace vellicor
