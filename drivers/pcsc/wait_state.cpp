#include "drivers/pcsc/wait_state.hpp"

namespace vellicor::pcsc {

namespace {

constexpr std::uint32_t event_count_mask = 0xFFFF0000U;

// The reader named by `hash` as it was in `before`; false when it was not
// there.
bool find_before(const seen_readers& before, std::uint32_t hash, std::uint32_t* state) noexcept {
    for (std::uint32_t i = 0; i < before.count && i < max_readers; ++i) {
        if (before.name_hash[i] == hash) {
            *state = before.state[i];
            return true;
        }
    }
    return false;
}

}  // namespace

std::uint32_t reader_name_hash(const char* name) noexcept {
    // FNV-1a, 32 bits.
    std::uint32_t hash = 2166136261U;
    for (const char* at = name; *at != '\0'; ++at) {
        hash ^= static_cast<unsigned char>(*at);
        hash *= 16777619U;
    }
    return hash;
}

std::uint32_t counted_state(DWORD event_state) noexcept {
    constexpr DWORD counted = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY |
                              SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_MUTE;
    return static_cast<std::uint32_t>(event_state & (counted | event_count_mask));
}

wait_result compare_seen(const seen_readers& before, const seen_readers& now) noexcept {
    if (before.filled != seen_filled) return wait_changed;
    bool changed = before.count != now.count;
    bool first_card = true;
    for (std::uint32_t i = 0; i < now.count && i < max_readers; ++i) {
        std::uint32_t was = 0;
        const bool there = find_before(before, now.name_hash[i], &was);
        const std::uint32_t is = now.state[i];
        const bool differs = !there || was != is;
        changed = changed || differs;
        if (!first_card || !holds_usable_card(is)) continue;
        first_card = false;
        const bool put_on = !there || !holds_usable_card(was) ||
                            (was & event_count_mask) != (is & event_count_mask);
        if (put_on) return wait_presented;
    }
    return changed ? wait_changed : wait_unchanged;
}

}  // namespace vellicor::pcsc
