#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <utility>

#include "reader/library.hpp"
#include "reader/reader.hpp"
#include "tests/unit/beside_tests.hpp"

namespace {

using vellicor::library;
using vellicor::native_string;
using vellicor::testing::beside_tests;

native_string simulated_reader() { return beside_tests("OUR_IDR.dll"); }
native_string reader_without_entry() { return beside_tests("../fixtures/no_entry/OUR_IDR.dll"); }

std::array<unsigned char, 5> seen_on_entry;

int remember_buffer_and_succeed(unsigned char* idserial) {
    for (std::size_t i = 0; i < seen_on_entry.size(); ++i) seen_on_entry[i] = idserial[i];
    return 0;
}

int fill_and_return_264(unsigned char* idserial) {
    idserial[1] = 0x12;
    return 264;
}

TEST(ReadCard, BufferStartsZeroedSoAnUnfilledBufferReadsAsZero) {
    seen_on_entry.fill(0xAA);
    EXPECT_EQ(vellicor::read_card_with(remember_buffer_and_succeed), "0");
    EXPECT_EQ(seen_on_entry, (std::array<unsigned char, 5>{}));
}

TEST(ReadCard, MapsOnlyTheLowByteOfTheReturnValue) {
    EXPECT_EQ(vellicor::read_card_with(fill_and_return_264),
              "\xC7\xEB\xBD\xAB\xBF\xA8\xB7\xC5\xD4\xDA\xB8\xD0\xD3\xA6\xC7\xF8");
}

TEST(ReadCard, ReadsThroughTheSimulatedLibrary) {
    EXPECT_EQ(vellicor::read_card(simulated_reader()), "12345");
}

TEST(ReadCard, UnusableLibrariesGiveEmptyResult) {
    EXPECT_EQ(vellicor::read_card(reader_without_entry()), "");
    EXPECT_EQ(vellicor::read_card(beside_tests("no such library.dll")), "");
    EXPECT_EQ(vellicor::read_card(beside_tests("")), "");  // a directory
}

TEST(Library, MissingFileGivesEmptyHandle) {
    const library missing = library::load(beside_tests("no such library.dll"));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.find_entry("idr_read"), nullptr);
}

TEST(Library, FindsOnlyWhatIsExported) {
    const library reader = library::load(simulated_reader());
    ASSERT_TRUE(reader);
    EXPECT_NE(reader.find_entry("idr_read"), nullptr);
    EXPECT_EQ(reader.find_entry("idr_open"), nullptr);

    const library other = library::load(reader_without_entry());
    ASSERT_TRUE(other);
    EXPECT_EQ(other.find_entry("idr_read"), nullptr);
}

TEST(Library, MovingTransfersTheHandle) {
    library first = library::load(simulated_reader());
    ASSERT_TRUE(first);
    library second = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from state is the point
    ASSERT_TRUE(second);

    library third;
    third = std::move(second);
    EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move)
    const vellicor::reader_entry entry = third.find_entry("idr_read");
    ASSERT_NE(entry, nullptr);
    std::array<unsigned char, 5> idserial{};
    EXPECT_EQ(vellicor::call_reader_entry(entry, idserial.data()), 0);
    EXPECT_EQ(idserial, (std::array<unsigned char, 5>{0x00, 0x00, 0x00, 0x30, 0x39}));

    third.unload();
    EXPECT_FALSE(third);
    third.unload();  // a second unload is harmless
}

}  // namespace
