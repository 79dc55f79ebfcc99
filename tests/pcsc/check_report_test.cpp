// How vellicor-check's reports show the text the system hands them: UTF-8 as
// it is, anything else escaped, so that the JSON is always UTF-8; and where
// the text report sends a person for what needs fixing.
#include <gtest/gtest.h>

#include "check/platform.hpp"
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

TEST(CheckReport, PointsToTheGuideForWhatNeedsFixing) {
    findings faulty;
    faulty.library = {"/opt/v/OUR_IDR.dll", library_kind::ours};
    faulty.settings.looked_at = {"/opt/v/OUR_IDR.ini"};
    faulty.settings.path = "/opt/v/OUR_IDR.ini";
    faulty.settings.lookup.error = {pcsc::settings_problem::bad_value, 2};
    faulty.settings.use = settings_use::faulty;
    faulty.service = {service_state::timed_out, "while listing the readers", 500};
    faulty.answer = {answer_kind::empty, "", true, 2};
    EXPECT_EQ(text_report(faulty),
              "Reader library  /opt/v/OUR_IDR.dll\n"
              "                Vellicor's PC/SC reader library\n"
              "Settings        /opt/v/OUR_IDR.ini\n"
              "  fault         line 2: bad value\n"
              "                every read fails (empty cardno) until this is fixed\n"
              "                how to write them: " +
                  guide_path("migrating.md") +
                  "\n"
                  "PC/SC service   no answer within 500 ms (while listing the readers)\n"
                  "                readers and the service: " +
                  guide_path("pcsc.md") +
                  "\n"
                  "Program answers {\"cardno\":\"\"} (status 2)\n");

    findings absent;
    absent.library = {"/opt/v/OUR_IDR.dll", library_kind::absent};
    absent.settings.looked_at = {"/opt/v/OUR_IDR.ini"};
    absent.settings.use = settings_use::not_read;
    absent.service = {service_state::answers, "", 3000};
    EXPECT_EQ(text_report(absent),
              "Reader library  /opt/v/OUR_IDR.dll\n"
              "                none there: the program reports it missing\n"
              "                how to install it: " +
                  guide_path("install.md") +
                  "\n"
                  "Settings        none, so the defaults (looked for /opt/v/OUR_IDR.ini)\n"
                  "                byte_order = as_read, uid_bytes = last4\n"
                  "                readers = (every reader)\n"
                  "                deadline_ms = 3000\n"
                  "                not in force: only Vellicor's PC/SC reader library reads them\n"
                  "PC/SC service   answers, 0 readers\n"
                  "Program answers the not-found report (no OUR_IDR.dll beside it)\n");
}

}  // namespace
}  // namespace vellicor::check
