// What a wait for a change of the readers decides (reader/wait_entry.hpp):
// which part of a reader's state counts, and whether what the readers hold
// now differs from what the caller saw, or is a new presentation. Pure logic,
// kept apart from the PC/SC calls so that it can be checked without a daemon.
#pragma once

#include <winscard.h>

#include <cstddef>
#include <cstdint>

#include "drivers/pcsc/outcome.hpp"
#include "reader/wait_entry.hpp"

namespace vellicor::pcsc {

// The library's record in wait_request::seen. All zero: nothing seen yet.
struct seen_readers {
    std::uint32_t filled = 0;  // seen_filled once written
    std::uint32_t count = 0;   // readers watched, at most max_readers
    std::uint32_t name_hash[max_readers] = {};
    // Each reader's state as SCardGetStatusChange gave it, only the parts
    // that count (counted_state).
    std::uint32_t state[max_readers] = {};
};
static_assert(sizeof(seen_readers) <= wait_memory_size, "the record must fit the caller's room");

inline constexpr std::uint32_t seen_filled = 0x5EE4D001;

// A reader's name as a number, to tell readers apart without keeping names.
std::uint32_t reader_name_hash(const char* name) noexcept;

// Of an event state, what a read depends on: whether a card is there, mute,
// held exclusively, the reader gone, and in the upper 16 bits the count of
// cards put on and taken off the reader. Left out: whether some program is
// connected to the card (SCARD_STATE_INUSE), which our own read changes.
std::uint32_t counted_state(DWORD event_state) noexcept;

// Whether `now` differs from `before` (both in the order a read asks the
// readers), and if so whether it is a presentation: a card put on the reader
// a read now takes its card from, the first whose card a shared connection
// can reach. That reader holds no such card in `before`, was not there, or
// its count of cards on and off has moved. A card put on a later reader
// while an earlier one keeps its card is no presentation: the read still
// answers the earlier one's, which was heard already. The first record
// (`before` not filled) is a change, never a presentation.
wait_result compare_seen(const seen_readers& before, const seen_readers& now) noexcept;

}  // namespace vellicor::pcsc
