#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "drivers/pcsc/settings.hpp"

namespace {

using vellicor::pcsc::byte_order;
using vellicor::pcsc::card_number_bytes;
using vellicor::pcsc::order_readers;
using vellicor::pcsc::parse_settings;
using vellicor::pcsc::settings;
using vellicor::pcsc::settings_error;
using vellicor::pcsc::settings_problem;
using vellicor::pcsc::uid_bytes;

settings_error parse(const std::string& text, settings& into) {
    return parse_settings(text.data(), text.size(), into);
}

std::vector<std::string> parts_of(const settings& chosen) {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < chosen.reader_parts; ++i) parts.emplace_back(chosen.part(i));
    return parts;
}

TEST(Settings, NoKeysKeepTheDefaults) {
    for (const std::string text : {"", "\n\n", "# a comment\n; another\n   \t\n", "\xEF\xBB\xBF"}) {
        settings chosen;
        EXPECT_EQ(parse(text, chosen).problem, settings_problem::none) << text;
        EXPECT_EQ(chosen.order, byte_order::as_read);
        EXPECT_EQ(chosen.bytes, uid_bytes::last4);
        EXPECT_EQ(chosen.deadline_ms, 3000U);
        EXPECT_EQ(chosen.reader_parts, 0U);
    }
}

TEST(Settings, ReadsEveryKeyAsPeopleWriteThem) {
    settings chosen;
    const std::string text =
        "\xEF\xBB\xBF# from the old reader\r\n"
        "Byte_Order = REVERSED ; as it gave them\r\n"
        "uid_bytes=first4\r\n"
        "\treaders =  Desk , Contactless,Counter  \r\n"
        "DEADLINE_MS = 500";
    ASSERT_EQ(parse(text, chosen).problem, settings_problem::none);
    EXPECT_EQ(chosen.order, byte_order::reversed);
    EXPECT_EQ(chosen.bytes, uid_bytes::first4);
    EXPECT_EQ(chosen.deadline_ms, 500U);
    EXPECT_EQ(parts_of(chosen), (std::vector<std::string>{"Desk", "Contactless", "Counter"}));
}

TEST(Settings, NamesTheFaultAndItsLine) {
    const std::string long_line = "readers = " + std::string(1015, 'x');  // 1025 bytes
    const struct {
        std::string text;
        settings_problem problem;
        std::size_t line;
    } cases[] = {
        {"byte_order = as_read\nbyte_ordr = reversed\n", settings_problem::unknown_key, 2},
        {"[reader]\n", settings_problem::not_key_value, 1},
        {"= as_read\n", settings_problem::not_key_value, 1},
        {"byte_order = backwards\n", settings_problem::bad_value, 1},
        {"byte_order =\n", settings_problem::bad_value, 1},
        {"uid_bytes = last 4\n", settings_problem::bad_value, 1},
        {"deadline_ms = 499\n", settings_problem::bad_value, 1},
        {"deadline_ms = 10001\n", settings_problem::bad_value, 1},
        {"deadline_ms = 3000ms\n", settings_problem::bad_value, 1},
        {"deadline_ms = 99999999999999999999\n", settings_problem::bad_value, 1},
        {"readers = a,,b\n", settings_problem::bad_value, 1},
        {"readers = a,\n", settings_problem::bad_value, 1},
        {"readers = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17\n", settings_problem::bad_value, 1},
        {"uid_bytes = last4\n\nUID_BYTES = last4\n", settings_problem::duplicate_key, 3},
        {"# fine\n" + long_line + "\n", settings_problem::line_too_long, 2},
        {"uid_bytes = last4\nELF\x01\x02\x03\n", settings_problem::not_text, 2},
        {std::string("uid_bytes\0= last4\n", 18), settings_problem::not_text, 1},
        {"uid_bytes = last4\rbyte_order = reversed\r", settings_problem::not_text, 1},
        {std::string("\xFF\xFEu\0i\0", 6), settings_problem::utf16, 1},
        {std::string(64 * 1024 + 1, '\n'), settings_problem::file_too_large, 0},
    };
    for (const auto& one : cases) {
        settings chosen;
        const settings_error error = parse(one.text, chosen);
        EXPECT_EQ(error.problem, one.problem) << one.text.substr(0, 60);
        EXPECT_EQ(error.line, one.line) << one.text.substr(0, 60);
    }
    // At the bounds: a line of 1024 bytes and a file of 64 KiB are taken.
    settings chosen;
    EXPECT_EQ(parse(long_line.substr(0, 1024), chosen).problem, settings_problem::none);
    EXPECT_EQ(parse(std::string(64 * 1024, '\n'), chosen).problem, settings_problem::none);
}

std::array<unsigned char, 4> number(const std::vector<unsigned char>& uid, uid_bytes bytes,
                                    byte_order order) {
    std::array<unsigned char, 4> four{};
    card_number_bytes(uid.data(), uid.size(), bytes, order, four.data());
    return four;
}

TEST(Settings, ChoosesAndOrdersTheNumbersBytes) {
    using four = std::array<unsigned char, 4>;
    const std::vector<unsigned char> seven{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(number(seven, uid_bytes::last4, byte_order::as_read), (four{0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(number(seven, uid_bytes::last4, byte_order::reversed),
              (four{0x66, 0x55, 0x44, 0x33}));
    EXPECT_EQ(number(seven, uid_bytes::first4, byte_order::as_read),
              (four{0x04, 0x11, 0x22, 0x33}));
    EXPECT_EQ(number(seven, uid_bytes::first4, byte_order::reversed),
              (four{0x33, 0x22, 0x11, 0x04}));
    // Four bytes are both the first and the last four.
    const std::vector<unsigned char> four_bytes{0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(number(four_bytes, uid_bytes::first4, byte_order::reversed),
              (four{0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(number(four_bytes, uid_bytes::last4, byte_order::reversed),
              (four{0xEF, 0xBE, 0xAD, 0xDE}));
}

std::vector<std::size_t> order_for(const std::string& readers_line,
                                   const std::vector<const char*>& names) {
    settings chosen;
    EXPECT_EQ(parse(readers_line, chosen).problem, settings_problem::none);
    std::vector<std::size_t> order(names.size());
    order.resize(order_readers(chosen, names.data(), names.size(), order.data()));
    return order;
}

TEST(Settings, OrdersReadersByTheSitesParts) {
    const std::vector<const char*> names{"Keyboard Smartcard 00 00", "Desk Contactless 00 00",
                                         "Virtual PCD 00 00", "Desk Contactless 01 00"};
    EXPECT_EQ(order_for("", names), (std::vector<std::size_t>{0, 1, 2, 3}));
    // Each part in turn, PC/SC's order within it, case ignored, each reader once.
    EXPECT_EQ(order_for("readers = virtual, desk contactless, PCD", names),
              (std::vector<std::size_t>{2, 1, 3}));
    EXPECT_EQ(order_for("readers = Counter", names), (std::vector<std::size_t>{}));
}

}  // namespace
