#pragma once

#include <array>
#include <string>
#include <vector>

#include "rules/card_rules.h"

namespace dorvi::client {

// What one connection's deals gave a bot. Seats are relativeSeat values.
struct MatchRecord {
    int rounds = 0;
    int lastCardPoints = -1;
    int ownGamePoints = 0;
    int otherGamePoints = 0;
    // Every completed trick of the connection, indexed by relativeSeat; never cleared.
    std::vector<std::array<CardCode, 4>> tricks;
    std::vector<int> cardPointsHistory;
    std::string partnerName;
    int auditedRounds = 0;
    std::vector<std::string> failures;
};

}  // namespace dorvi::client
