// A stand-in for the vendor's reader library: answers one read the way a
// reader would, chosen by environment variables so that every outcome can be
// produced without hardware.
//
//   VELLICOR_SIM_STATUS  the value idr_read returns, a decimal int (default 0;
//                        256 and 264 are allowed, only their low byte counts)
//   VELLICOR_SIM_SERIAL  the five buffer bytes as 10 hex digits (default
//                        0000003039, serial 12345), or "none" to leave the
//                        buffer untouched
//
// A malformed value in either makes the read fail as no real reader answers:
// -1 is returned (status 255, which has no meaning) and the buffer is left
// alone, so a mistyped setting can never pass for a card.
//
// Uses nothing from the C++ library, so loading it costs no more than the
// vendor's library would.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int malformed_setting = -1;
constexpr std::size_t serial_bytes = 5;

bool parse_status(const char* text, int* status) {
    if (text == nullptr) {
        *status = 0;
        return true;
    }
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
    *status = static_cast<int>(value);
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Fills `bytes` from exactly 2 * serial_bytes hex digits.
bool parse_serial(const char* text, unsigned char* bytes) {
    if (std::strlen(text) != 2 * serial_bytes) return false;
    for (std::size_t i = 0; i < serial_bytes; ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

}  // namespace

extern "C" READER_EXPORT int READER_CALL idr_read(unsigned char* idserial) {
    int status = 0;
    if (!parse_status(std::getenv("VELLICOR_SIM_STATUS"), &status)) return malformed_setting;

    const char* serial = std::getenv("VELLICOR_SIM_SERIAL");
    if (serial == nullptr) serial = "0000003039";
    if (std::strcmp(serial, "none") == 0) return status;

    unsigned char bytes[serial_bytes];
    if (!parse_serial(serial, bytes)) return malformed_setting;
    std::memcpy(idserial, bytes, serial_bytes);
    return status;
}
