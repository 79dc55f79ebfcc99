#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "drivers/pcsc/outcome.hpp"

namespace {

using vellicor::pcsc::fill_serial;
using vellicor::pcsc::holds_usable_card;
using vellicor::pcsc::name_length;
using vellicor::pcsc::passed_over_readers;
using vellicor::pcsc::progress;
using vellicor::pcsc::status_after_failure;
using vellicor::pcsc::status_at_deadline;
using vellicor::pcsc::step;

using buffer = std::array<unsigned char, 5>;
using bytes = std::vector<unsigned char>;

// A buffer that shows whether it was written.
constexpr buffer untouched{0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

buffer serial_from(const bytes& response, bool expect_uid = true) {
    buffer idserial = untouched;
    EXPECT_EQ(fill_serial(response.data(), response.size(), idserial.data()), expect_uid);
    return idserial;
}

TEST(FillSerial, FourByteUidFillsTheBufferAsItIs) {
    EXPECT_EQ(serial_from({0x12, 0x34, 0x56, 0x78, 0x90, 0x00}),
              (buffer{4, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(serial_from({0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00}),
              (buffer{4, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(FillSerial, LongerUidGivesItsLastFourBytesAndItsLength) {
    EXPECT_EQ(serial_from({0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x90, 0x00}),
              (buffer{7, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(serial_from({0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78, 0x90, 0x00}),
              (buffer{8, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(serial_from({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x90, 0x00}), (buffer{10, 7, 8, 9, 10}));
}

TEST(FillSerial, RefusesAnythingButSuccess) {
    for (const bytes& response : std::vector<bytes>{
             {0x12, 0x34, 0x56, 0x78, 0x6A, 0x81},  // function not supported
             {0x12, 0x34, 0x56, 0x78, 0x62, 0x82},  // warning
             {0x12, 0x34, 0x56, 0x78, 0x90, 0x01},
             {0x12, 0x34, 0x56, 0x78, 0x00, 0x90},  // status word bytes swapped
             {0x12, 0x34, 0x56, 0x78, 0x91, 0x00},
             {0x6A, 0x81},
         }) {
        EXPECT_EQ(serial_from(response, false), untouched);
    }
}

TEST(FillSerial, RefusesAnswersTooShortOrTooLongForAUid) {
    for (const bytes& response : std::vector<bytes>{
             {},
             {0x90},
             {0x90, 0x00},
             {0x12, 0x90, 0x00},
             {0x12, 0x34, 0x56, 0x90, 0x00},
             {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x90, 0x00},
         }) {
        EXPECT_EQ(serial_from(response, false), untouched) << response.size() << " bytes";
    }
    bytes longest(vellicor::pcsc::max_response_size, 0x11);
    longest[longest.size() - 2] = 0x90;
    longest[longest.size() - 1] = 0x00;
    EXPECT_EQ(serial_from(longest, false), untouched);
}

TEST(StatusAfterFailure, NoContextMeansNoReaderWhateverTheReason) {
    // SCARD_F_INTERNAL_ERROR is what a stub PC/SC layer answers.
    for (const LONG error : {SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED, SCARD_F_INTERNAL_ERROR,
                             SCARD_E_NO_MEMORY, SCARD_E_INVALID_PARAMETER}) {
        EXPECT_EQ(status_after_failure(step::establish_context, error), 23) << error;
    }
}

TEST(StatusAfterFailure, LostServiceOrNoReaderMeansNoReaderAtEveryStep) {
    for (const step failed :
         {step::list_readers, step::reader_states, step::connect, step::transmit}) {
        for (const LONG error :
             {SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED, SCARD_E_NO_READERS_AVAILABLE}) {
            EXPECT_EQ(status_after_failure(failed, error), 23)
                << static_cast<int>(failed) << " " << error;
        }
    }
}

TEST(StatusAfterFailure, EverythingElseMeansNoCard) {
    for (const step failed : {step::list_readers, step::connect, step::transmit}) {
        for (const LONG error :
             {SCARD_E_NO_SMARTCARD, SCARD_W_REMOVED_CARD, SCARD_E_NOT_TRANSACTED,
              SCARD_W_UNRESPONSIVE_CARD, SCARD_E_SHARING_VIOLATION, SCARD_E_UNKNOWN_READER,
              SCARD_E_READER_UNAVAILABLE, SCARD_E_TIMEOUT, SCARD_F_INTERNAL_ERROR}) {
            EXPECT_EQ(status_after_failure(failed, error), 8)
                << static_cast<int>(failed) << " " << error;
        }
    }
}

TEST(HoldsUsableCard, OnlyAPresentCardThatAnsweredAndIsNotHeldExclusively) {
    EXPECT_TRUE(holds_usable_card(SCARD_STATE_CHANGED | SCARD_STATE_PRESENT));
    EXPECT_TRUE(
        holds_usable_card(SCARD_STATE_PRESENT | SCARD_STATE_INUSE));  // shared, not exclusive
    for (const DWORD state : {DWORD{SCARD_STATE_UNAWARE}, DWORD{SCARD_STATE_EMPTY},
                              DWORD{SCARD_STATE_PRESENT | SCARD_STATE_MUTE},
                              DWORD{SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE},
                              DWORD{SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE}}) {
        EXPECT_FALSE(holds_usable_card(state)) << state;
    }
}

// The status after passing over readers that each failed as given.
int status_after(std::initializer_list<std::pair<step, LONG>> readers) {
    passed_over_readers passed_over;
    for (const auto& [failed_step, error] : readers) passed_over.add(failed_step, error);
    return passed_over.status();
}

TEST(PassedOverReaders, NoCardUnlessTheServiceWentOrEveryReaderRefusedUsForLackOfRights) {
    const LONG ok = SCARD_S_SUCCESS;  // an answer without a UID
    const LONG rights = SCARD_W_SECURITY_VIOLATION;
    EXPECT_EQ(status_after({}), 8);
    EXPECT_EQ(status_after({{step::transmit, ok}, {step::connect, SCARD_E_SHARING_VIOLATION}}), 8);
    EXPECT_EQ(status_after({{step::connect, rights}, {step::connect, SCARD_E_NO_ACCESS}}), 23);
    EXPECT_EQ(status_after({{step::connect, rights}, {step::transmit, ok}}), 8);
    // A refused transmit says nothing of our rights to the reader.
    EXPECT_EQ(status_after({{step::transmit, rights}}), 8);
    EXPECT_EQ(status_after({{step::transmit, ok}, {step::connect, SCARD_E_NO_SERVICE}}), 23);

    passed_over_readers passed_over;
    passed_over.add(step::transmit, SCARD_W_REMOVED_CARD);
    EXPECT_FALSE(passed_over.service_lost());
    passed_over.add(step::transmit, SCARD_E_SERVICE_STOPPED);
    EXPECT_TRUE(passed_over.service_lost());
}

TEST(StatusAtDeadline, NoReaderUntilTheServiceAnsweredNoCardAfter) {
    EXPECT_EQ(status_at_deadline(progress::asking_service), 23);
    EXPECT_EQ(status_at_deadline(progress::asking_readers), 8);
}

// The names a walk over the multi-string finds, in order.
std::vector<std::string> names_in(const std::string& list) {
    std::vector<std::string> names;
    for (std::size_t at = 0, length = 0; (length = name_length(list.data(), list.size(), at)) != 0;
         at += length + 1) {
        names.push_back(list.substr(at, length));
    }
    return names;
}

TEST(ReaderNames, WalksEveryNameInOrder) {
    using names = std::vector<std::string>;
    EXPECT_EQ(names_in(std::string("Reader A 00 00\0Reader B 01 00\0\0", 31)),
              (names{"Reader A 00 00", "Reader B 01 00"}));
    EXPECT_EQ(names_in(std::string("only\0\0", 6)), (names{"only"}));
    EXPECT_EQ(names_in(std::string("\0", 1)), names{});
    EXPECT_EQ(names_in(std::string()), names{});
}

TEST(ReaderNames, NeverReadsPastTheListNorTakesAnUnterminatedName) {
    using names = std::vector<std::string>;
    // Without its final empty name the list still ends where its size says.
    EXPECT_EQ(names_in(std::string("A\0B\0", 4)), (names{"A", "B"}));
    // A name cut off by the size is no name: it could not be passed on.
    EXPECT_EQ(names_in(std::string("A\0BC", 4)), (names{"A"}));
    EXPECT_EQ(names_in("unterminated"), names{});
    EXPECT_EQ(name_length("A\0", 2, 5), 0U);
}

}  // namespace
