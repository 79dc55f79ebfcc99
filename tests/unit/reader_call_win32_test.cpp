// Vendors ship idr_read both as __stdcall, which pops its argument, and as
// __cdecl, which leaves that to the caller. One call must serve both.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "reader/library.hpp"
#include "reader/reader.hpp"
#include "tests/unit/beside_tests.hpp"

namespace {

using vellicor::native_string;
using vellicor::testing::beside_tests;

struct variant {
    const char* convention;
    const char* relative_path;
};

// Where the build puts the two simulated readers, relative to this program.
constexpr variant variants[] = {
    {"__stdcall", "OUR_IDR.dll"},
    {"__cdecl", "../fixtures/cdecl/OUR_IDR.dll"},
};

// A stack pointer left off by the argument's 4 bytes shows within a few calls
// as a crash or as locals that changed under us.
TEST(ReaderCall, BothConventionsReturnToAnIntactStack) {
    for (const variant& v : variants) {
        SCOPED_TRACE(v.convention);
        const vellicor::library reader = vellicor::library::load(beside_tests(v.relative_path));
        ASSERT_TRUE(reader);
        const vellicor::reader_entry entry = reader.find_entry("idr_read");
        ASSERT_NE(entry, nullptr);
        for (unsigned int i = 0; i < 1000; ++i) {
            const unsigned int before = i * 2654435761U;
            std::array<unsigned char, 5> idserial{};
            const int status = vellicor::call_reader_entry(entry, idserial.data());
            ASSERT_EQ(status, 0);
            ASSERT_EQ(idserial, (std::array<unsigned char, 5>{0x00, 0x00, 0x00, 0x30, 0x39}));
            ASSERT_EQ(before, i * 2654435761U);
        }
    }
}

TEST(ReaderCall, ReadsACardThroughEitherConvention) {
    for (const variant& v : variants) {
        EXPECT_EQ(vellicor::read_card(beside_tests(v.relative_path)), "12345") << v.convention;
    }
}

}  // namespace
