// What a wait reports as new: which changes of the readers count, and which
// are a presentation.
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "drivers/pcsc/wait_state.hpp"

namespace {

using vellicor::wait_changed;
using vellicor::wait_presented;
using vellicor::wait_unchanged;
using vellicor::pcsc::compare_seen;
using vellicor::pcsc::counted_state;
using vellicor::pcsc::reader_name_hash;
using vellicor::pcsc::seen_readers;

constexpr DWORD empty = SCARD_STATE_EMPTY;
constexpr DWORD card = SCARD_STATE_PRESENT;

DWORD events(DWORD count) { return count << 16U; }

// Readers by name, each in the state SCardGetStatusChange gave.
seen_readers seen(std::initializer_list<std::pair<const char*, DWORD>> readers) {
    seen_readers record;
    record.filled = vellicor::pcsc::seen_filled;
    for (const auto& [name, state] : readers) {
        record.name_hash[record.count] = reader_name_hash(name);
        record.state[record.count] = counted_state(state);
        ++record.count;
    }
    return record;
}

TEST(CompareSeen, TheFirstRecordIsAChangeNeverAPresentation) {
    EXPECT_EQ(compare_seen(seen_readers{}, seen({{"A", card | events(1)}})), wait_changed);
}

TEST(CompareSeen, ACardPutOnIsAPresentationAndTakingItOffAChange) {
    const seen_readers before = seen({{"A", empty | events(2)}, {"B", empty}});
    EXPECT_EQ(compare_seen(before, seen({{"A", empty | events(2)}, {"B", empty}})), wait_unchanged);
    EXPECT_EQ(compare_seen(before, seen({{"A", card | events(3)}, {"B", empty}})), wait_presented);
    EXPECT_EQ(compare_seen(seen({{"A", card | events(3)}}), seen({{"A", empty | events(4)}})),
              wait_changed);
}

TEST(CompareSeen, TheSameCardTakenAwayAndShownAgainBetweenTwoLooksIsNew) {
    // Present both times; only the count of cards on and off tells.
    EXPECT_EQ(compare_seen(seen({{"A", card | events(3)}}), seen({{"A", card | events(5)}})),
              wait_presented);
    // A service that keeps no count cannot tell: nothing changed.
    EXPECT_EQ(compare_seen(seen({{"A", card}}), seen({{"A", card}})), wait_unchanged);
}

TEST(CompareSeen, ProgramsConnectingToTheCardChangeNothing) {
    // Our own read connects to the card: the wait must not wake for it.
    EXPECT_EQ(
        compare_seen(seen({{"A", card | events(1)}}),
                     seen({{"A", card | SCARD_STATE_INUSE | SCARD_STATE_CHANGED | events(1)}})),
        wait_unchanged);
    // Held exclusively, a read gets no UID: that counts.
    EXPECT_EQ(compare_seen(seen({{"A", card | events(1)}}),
                           seen({{"A", card | SCARD_STATE_EXCLUSIVE | events(1)}})),
              wait_changed);
}

TEST(CompareSeen, OnlyTheReaderAReadTakesItsCardFromCanHaveAPresentation) {
    // A card put on the second reader while the first keeps one: the read
    // still answers the first's, which was heard already.
    const seen_readers both_before = seen({{"A", card | events(1)}, {"B", empty | events(2)}});
    EXPECT_EQ(compare_seen(both_before, seen({{"A", card | events(1)}, {"B", card | events(3)}})),
              wait_changed);
    // Once the first is taken away, the second's card is the one read.
    EXPECT_EQ(compare_seen(seen({{"A", empty | events(2)}, {"B", card | events(3)}}),
                           seen({{"A", empty | events(2)}, {"B", card | events(5)}})),
              wait_presented);
    // A mute card is passed over as a read passes it over.
    EXPECT_EQ(compare_seen(seen({{"A", card | SCARD_STATE_MUTE}, {"B", empty}}),
                           seen({{"A", card | SCARD_STATE_MUTE}, {"B", card | events(1)}})),
              wait_presented);
}

TEST(CompareSeen, ReadersComingAndGoing) {
    const seen_readers one = seen({{"A", empty}});
    EXPECT_EQ(compare_seen(one, seen({{"A", empty}, {"B", empty}})), wait_changed);
    EXPECT_EQ(compare_seen(one, seen({{"A", empty}, {"B", card}})), wait_presented);
    EXPECT_EQ(compare_seen(seen({{"A", empty}, {"B", card}}), one), wait_changed);
    // Another reader in the first one's place, or the same readers in
    // another order.
    EXPECT_EQ(compare_seen(one, seen({{"C", empty}})), wait_changed);
    EXPECT_EQ(compare_seen(seen({{"A", empty}, {"B", card | events(1)}}),
                           seen({{"B", card | events(1)}, {"A", empty}})),
              wait_unchanged);
}

}  // namespace
