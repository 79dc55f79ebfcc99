#include "reader/status.hpp"

#include <cstdint>

namespace vellicor {

namespace {

// GBK bytes, written out so that no compiler or editor re-encodes them.
// "请将卡放在感应区": please place the card on the sensing area.
constexpr char text_no_card[] = "\xC7\xEB\xBD\xAB\xBF\xA8\xB7\xC5\xD4\xDA\xB8\xD0\xD3\xA6\xC7\xF8";
// "机器没连上，或驱动程序未安装!": device not connected, or driver not installed.
constexpr char text_no_reader[] =
    "\xBB\xFA\xC6\xF7\xC3\xBB\xC1\xAC\xC9\xCF\xA3\xAC\xBB\xF2\xC7\xFD"
    "\xB6\xAF\xB3\xCC\xD0\xF2\xCE\xB4\xB0\xB2\xD7\xB0!";

}  // namespace

std::string card_number_text(const serial_buffer& idserial) {
    const std::uint32_t serial = (std::uint32_t{idserial[1]} << 24U) |
                                 (std::uint32_t{idserial[2]} << 16U) |
                                 (std::uint32_t{idserial[3]} << 8U) | std::uint32_t{idserial[4]};
    // Two's complement wrap, well defined for every serial.
    const auto signed_serial = static_cast<std::int32_t>(
        serial <= INT32_MAX ? static_cast<std::int64_t>(serial)
                            : static_cast<std::int64_t>(serial) - (std::int64_t{1} << 32U));
    return std::to_string(signed_serial);
}

std::string result_for_status(unsigned char status, const serial_buffer& idserial) {
    switch (status) {
        case status_card_read:
            return card_number_text(idserial);
        case status_no_card:
            return text_no_card;
        case status_no_reader:
            return text_no_reader;
        default:
            return {};
    }
}

}  // namespace vellicor
