#include <gtest/gtest.h>

#include <string>

#include "message/message.hpp"

namespace {

using namespace std::string_literals;

std::string framed(const std::string& result) {
    return vellicor::frame_message(vellicor::make_message(result));
}

// Every frame a run can write, byte for byte. The length is little-endian on
// every platform we build for.
TEST(ResultMessage, FramesEveryKindOfResult) {
    EXPECT_EQ(framed("12345"), "\x12\0\0\0{\"cardno\":\"12345\"}"s);
    EXPECT_EQ(framed(""), "\x0D\0\0\0{\"cardno\":\"\"}"s);
    EXPECT_EQ(framed("-1"), "\x0F\0\0\0{\"cardno\":\"-1\"}"s);
    EXPECT_EQ(framed("-2147483648"), "\x18\0\0\0{\"cardno\":\"-2147483648\"}"s);
}

// The status texts travel as GBK bytes: neither escaped nor turned into UTF-8.
TEST(ResultMessage, CarriesGbkTextUnchanged) {
    const std::string no_card = "\xC7\xEB\xBD\xAB\xBF\xA8\xB7\xC5\xD4\xDA\xB8\xD0\xD3\xA6\xC7\xF8";
    const std::string no_reader =
        "\xBB\xFA\xC6\xF7\xC3\xBB\xC1\xAC\xC9\xCF\xA3\xAC\xBB\xF2\xC7\xFD"
        "\xB6\xAF\xB3\xCC\xD0\xF2\xCE\xB4\xB0\xB2\xD7\xB0!";
    EXPECT_EQ(framed(no_card), "\x1D\0\0\0{\"cardno\":\""s + no_card + "\"}");
    EXPECT_EQ(framed(no_reader), "\x2A\0\0\0{\"cardno\":\""s + no_reader + "\"}");
}

TEST(ResultMessage, LengthCountsEveryByteOfLongMessages) {
    const std::string frame = framed(std::string(300, '7'));
    ASSERT_EQ(frame.size(), 4U + 313U);
    EXPECT_EQ(frame.substr(0, 4), "\x39\x01\0\0"s);
    EXPECT_EQ(frame.back(), '}');
}

}  // namespace
