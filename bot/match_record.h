#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rules/card_rules.h"

namespace dorvi::client {

// Appends `value` while `list` holds fewer than `bound` entries; false once
// it is full, so that the caller can count what it did not keep.
template <class T>
bool keepFirst(std::vector<T>& list, std::size_t bound, T value) {
    if (list.size() >= bound) return false;
    list.push_back(std::move(value));
    return true;
}

// What one connection's deals gave a bot. Seats are relativeSeat values.
//
// A connection plays one match, and a real match ends within eleven deals
// that score (all but an all-passed 60/60 deal give a team at least 2 of the
// 12 game points); a deal has nine tricks and yields at most ten failure
// lines. The record keeps far more than that, and no more, so that a server
// that never ends its match costs a bot a bounded amount of memory.
struct MatchRecord {
    static constexpr std::size_t keptDeals = 1000;
    static constexpr std::size_t keptTricks = 9 * keptDeals;
    static constexpr std::size_t keptFailures = 1000;

    // 64-bit, like failureCount: a server that never ends its match must not
    // overflow them.
    std::int64_t rounds = 0;
    int lastCardPoints = -1;
    int ownGamePoints = 0;
    int otherGamePoints = 0;
    // The first keptTricks completed tricks of the connection, indexed by relativeSeat; never cleared.
    std::vector<std::array<CardCode, 4>> tricks;
    // The card points of the first keptDeals point blocks.
    std::vector<int> cardPointsHistory;
    std::string partnerName;
    std::int64_t auditedRounds = 0;
    // The first keptFailures failure lines; failureCount counts them all.
    std::vector<std::string> failures;
    std::int64_t failureCount = 0;

    void addTrick(const std::array<CardCode, 4>& trick) { keepFirst(tricks, keptTricks, trick); }
    void addCardPoints(int cardPoints) { keepFirst(cardPointsHistory, keptDeals, cardPoints); }
    void addFailure(std::string line) {
        ++failureCount;
        keepFirst(failures, keptFailures, std::move(line));
    }
};

}  // namespace dorvi::client
