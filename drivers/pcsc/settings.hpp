// A site's settings for the PC/SC reader library (OUR_IDR.ini): how a UID
// becomes the card number, which readers are asked and in which order, and the
// read's bound. Pure logic over text and bytes, shared by the library and the
// check tool; the file itself is found and read by settings_file.hpp.
//
// The library is built without the C++ runtime, so nothing here allocates.
#pragma once

#include <cstddef>

namespace vellicor::pcsc {

inline constexpr char settings_file_name[] = "OUR_IDR.ini";

// Bounds on the file, so that a stray large or binary file is refused rather
// than read at length.
inline constexpr std::size_t max_settings_line = 1024;
inline constexpr std::size_t max_settings_file = std::size_t{64} * 1024;

// The read's bound: its default, and what a site may choose.
inline constexpr unsigned default_deadline_ms = 3000;
inline constexpr unsigned min_deadline_ms = 500;
inline constexpr unsigned max_deadline_ms = 10000;

// Which four bytes of a 7- or 10-byte UID make the card number.
enum class uid_bytes { last4, first4 };
// as_read: the first of the four bytes is the most significant; reversed: the least.
enum class byte_order { as_read, reversed };

// The most name parts `readers` may list.
inline constexpr std::size_t max_reader_parts = 16;

struct settings {
    byte_order order = byte_order::as_read;
    uid_bytes bytes = uid_bytes::last4;
    unsigned deadline_ms = default_deadline_ms;
    // `readers`: the name parts in priority order, each ending in NUL. No
    // parts: every reader, in PC/SC's order.
    std::size_t reader_parts = 0;
    char parts[max_settings_line + 1] = {};

    // The part at `index`, from 0 to reader_parts - 1.
    [[nodiscard]] const char* part(std::size_t index) const noexcept;
};

// Why a file cannot be taken as settings.
enum class settings_problem {
    none,
    unreadable,      // exists but cannot be read (a folder, no rights, a device)
    file_too_large,  // over max_settings_file bytes
    utf16,           // saved as UTF-16, which this reader of bytes cannot take
    not_text,        // NUL or control bytes: binary junk
    line_too_long,   // over max_settings_line bytes
    not_key_value,   // neither a comment, nor blank, nor key = value
    unknown_key,
    bad_value,
    duplicate_key,
};

struct settings_error {
    settings_problem problem = settings_problem::none;
    // The line at fault, from 1; 0 for the file as a whole.
    std::size_t line = 0;
};

// Reads the file's text into `into`, which keeps its defaults for keys the
// text leaves out. Returns the first fault; on a fault `into` is unusable.
settings_error parse_settings(const char* text, std::size_t size, settings& into) noexcept;

// The card number's four bytes, most significant first, from a UID of 4 to 10
// bytes as the settings say.
void card_number_bytes(const unsigned char* uid, std::size_t uid_size, uid_bytes bytes,
                       byte_order order, unsigned char* four) noexcept;

// The order in which readers are asked: indexes into `names` (count of them),
// written to `order`, which has room for `count`. Without parts every reader
// in PC/SC's order; with parts those whose name contains the first part
// (ignoring ASCII case), then those containing the next, each in PC/SC's order,
// each reader once. Returns how many were written.
std::size_t order_readers(const settings& chosen, const char* const* names, std::size_t count,
                          std::size_t* order) noexcept;

}  // namespace vellicor::pcsc
