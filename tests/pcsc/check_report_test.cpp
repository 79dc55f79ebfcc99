// How vellicor-check's reports show the text the system hands them: UTF-8 as
// it is, anything else escaped, so that the JSON is always UTF-8.
#include <gtest/gtest.h>

#include "check/report.hpp"

namespace vellicor::check {
namespace {

TEST(CheckReadable, KeepsWellFormedUtf8) {
    // 1 to 4 bytes, up to U+10FFFF; backslashes are the JSON's to escape.
    const std::string text =
        "Lecteur \xC3\xA9tage, \xE8\xAF\xBB\xE5\x8D\xA1, \xF0\x9F\x92\xB3, \xF4\x8F\xBF\xBF, C:\\x";
    EXPECT_EQ(readable(text), text);
}

TEST(CheckReadable, EscapesEachByteThatIsNot) {
    EXPECT_EQ(readable("Lecteur \xE9tage 2"), "Lecteur \\xE9tage 2");
    EXPECT_EQ(readable("\xC0\xAF \xE0\x80\xAF"), "\\xC0\\xAF \\xE0\\x80\\xAF");  // overlong
    EXPECT_EQ(readable("\xED\xA0\x80"), "\\xED\\xA0\\x80");                      // a surrogate
    EXPECT_EQ(readable("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");             // past U+10FFFF
    EXPECT_EQ(readable("\xE8\xAF"), "\\xE8\\xAF");                               // cut short
    EXPECT_EQ(readable("\xE8\xAF"
                       "a\xE8"),
              "\\xE8\\xAFa\\xE8");
    EXPECT_EQ(readable("tab\tthen\x1B[2J\x7F"), "tab\\x09then\\x1B[2J\\x7F");
    EXPECT_EQ(readable(readable("caf\xE9")), "caf\\xE9");
}

}  // namespace
}  // namespace vellicor::check
