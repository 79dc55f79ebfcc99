// Which outcomes of the watch host's reads become events, where the
// end-to-end cases cannot easily tell: a presentation that only the library
// saw, and a card heard again after a timeout.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "watch/protocol.hpp"

namespace {

using vellicor::watch::event_filter;
using vellicor::watch::event_kind;
using vellicor::watch::event_message;
using vellicor::watch::outcome;

// The events sent for a run of outcomes, each with whether a card was put
// on meanwhile.
std::vector<std::string> sent(const std::vector<std::pair<outcome, bool>>& run) {
    event_filter filter;
    std::vector<std::string> messages;
    for (const auto& [now, presented] : run) {
        if (const auto event = filter.next(now, presented))
            messages.push_back(event_message(*event));
    }
    return messages;
}

const outcome card_a{event_kind::card, "305419896"};
const outcome no_card{event_kind::no_card, {}};
const outcome timeout{event_kind::timeout, {}};

TEST(EventFilter, APresentationSeenByTheLibraryIsNewForTheSameCard) {
    EXPECT_EQ(sent({{card_a, false}, {card_a, true}, {card_a, false}}).size(), 2U);
    // A status is news only when it begins, presented or not.
    EXPECT_EQ(sent({{no_card, false}, {no_card, true}}).size(), 1U);
}

TEST(EventFilter, ACardAfterATimeoutIsHeardAgain) {
    EXPECT_EQ(sent({{card_a, false}, {timeout, false}, {timeout, false}, {card_a, false}}),
              (std::vector<std::string>{R"({"event":"card","cardno":"305419896"})",
                                        R"({"event":"timeout"})",
                                        R"({"event":"card","cardno":"305419896"})"}));
}

}  // namespace
