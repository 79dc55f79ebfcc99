#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "message/message.hpp"

namespace {

using namespace std::string_literals;

std::string written_frame(const std::string& result) {
    std::ostringstream out;
    vellicor::write_result_message(out, result);
    return out.str();
}

// Every frame a run can write, byte for byte. The length is little-endian on
// every platform we build for.
TEST(ResultMessage, FramesEveryKindOfResult) {
    EXPECT_EQ(written_frame("12345"), "\x12\0\0\0{\"cardno\":\"12345\"}"s);
    EXPECT_EQ(written_frame(""), "\x0D\0\0\0{\"cardno\":\"\"}"s);
    EXPECT_EQ(written_frame("-1"), "\x0F\0\0\0{\"cardno\":\"-1\"}"s);
    EXPECT_EQ(written_frame("-2147483648"), "\x18\0\0\0{\"cardno\":\"-2147483648\"}"s);
}

// The status texts travel as GBK bytes: neither escaped nor turned into UTF-8.
TEST(ResultMessage, CarriesGbkTextUnchanged) {
    const std::string no_card = "\xC7\xEB\xBD\xAB\xBF\xA8\xB7\xC5\xD4\xDA\xB8\xD0\xD3\xA6\xC7\xF8";
    const std::string no_reader =
        "\xBB\xFA\xC6\xF7\xC3\xBB\xC1\xAC\xC9\xCF\xA3\xAC\xBB\xF2\xC7\xFD"
        "\xB6\xAF\xB3\xCC\xD0\xF2\xCE\xB4\xB0\xB2\xD7\xB0!";
    EXPECT_EQ(written_frame(no_card), "\x1D\0\0\0{\"cardno\":\""s + no_card + "\"}");
    EXPECT_EQ(written_frame(no_reader), "\x2A\0\0\0{\"cardno\":\""s + no_reader + "\"}");
}

TEST(ResultMessage, LengthCountsBytesOfLongMessages) {
    const std::string result(300, '7');
    const std::string frame = written_frame(result);
    ASSERT_EQ(frame.size(), 4U + 313U);
    EXPECT_EQ(frame.substr(0, 4), "\x39\x01\0\0"s);
    EXPECT_EQ(frame.back(), '}');
}

TEST(ResultMessage, FlushesTheStream) {
    std::ostringstream sink;
    std::ostream out(sink.rdbuf());
    vellicor::write_result_message(out, "1");
    EXPECT_TRUE(out.good());
    EXPECT_EQ(sink.str().size(), 4U + 14U);
}

}  // namespace
