#include <gtest/gtest.h>

#include <string>

#include "reader/status.hpp"

namespace {

using vellicor::result_for_status;
using vellicor::serial_buffer;

const std::string no_card = "\xC7\xEB\xBD\xAB\xBF\xA8\xB7\xC5\xD4\xDA\xB8\xD0\xD3\xA6\xC7\xF8";
const std::string no_reader =
    "\xBB\xFA\xC6\xF7\xC3\xBB\xC1\xAC\xC9\xCF\xA3\xAC\xBB\xF2\xC7\xFD"
    "\xB6\xAF\xB3\xCC\xD0\xF2\xCE\xB4\xB0\xB2\xD7\xB0!";

std::string card(unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4) {
    return result_for_status(0, serial_buffer{0, b1, b2, b3, b4});
}

TEST(CardNumber, IsTheSerialAsSignedDecimal) {
    EXPECT_EQ(card(0x00, 0x00, 0x30, 0x39), "12345");
    EXPECT_EQ(card(0x12, 0x34, 0x56, 0x78), "305419896");
    EXPECT_EQ(card(0x00, 0x00, 0x00, 0x00), "0");
    EXPECT_EQ(card(0x7F, 0xFF, 0xFF, 0xFF), "2147483647");
    EXPECT_EQ(card(0xFF, 0xFF, 0xFF, 0xFF), "-1");
    EXPECT_EQ(card(0x80, 0x00, 0x00, 0x00), "-2147483648");
    EXPECT_EQ(card(0x80, 0x00, 0x00, 0x01), "-2147483647");
    EXPECT_EQ(card(0xDE, 0xAD, 0xBE, 0xEF), "-559038737");
}

TEST(CardNumber, IgnoresTheFirstBufferByte) {
    for (const int first : {0x00, 0x01, 0x04, 0x07, 0x80, 0xFF}) {
        EXPECT_EQ(result_for_status(
                      0, serial_buffer{static_cast<unsigned char>(first), 0x00, 0x00, 0x30, 0x39}),
                  "12345")
            << "byte 0 = " << first;
    }
}

TEST(StatusText, MeaningfulStatusesGiveTheirGbkText) {
    const serial_buffer serial{0, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(result_for_status(8, serial), no_card);
    EXPECT_EQ(result_for_status(23, serial), no_reader);
    EXPECT_EQ(no_card.size(), 16U);
    EXPECT_EQ(no_reader.size(), 29U);
}

TEST(StatusText, EveryOtherStatusGivesEmptyText) {
    const serial_buffer serial{0, 0x12, 0x34, 0x56, 0x78};
    for (int status = 1; status <= 255; ++status) {
        if (status == 8 || status == 23) continue;
        EXPECT_EQ(result_for_status(static_cast<unsigned char>(status), serial), "")
            << "status " << status;
    }
}

TEST(StatusText, OnlyTheLowByteOfTheReturnValueCounts) {
    using vellicor::status_from_return;
    EXPECT_EQ(status_from_return(0), 0);
    EXPECT_EQ(status_from_return(256), 0);
    EXPECT_EQ(status_from_return(264), 8);
    EXPECT_EQ(status_from_return(23 + 0x7F00), 23);
    EXPECT_EQ(status_from_return(-1), 255);
    EXPECT_EQ(status_from_return(-256), 0);
    EXPECT_EQ(status_from_return(255), 255);
}

}  // namespace
