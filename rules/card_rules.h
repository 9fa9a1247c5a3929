#pragma once

// The card rules both programs agree on: trick winner, card points, deal
// score, bid and trump checks, legal plays and hand order. Pure functions:
// no state, no allocation, every input yields a result.

#include <array>
#include <cstdint>
#include <span>

namespace dorvi {

// rank * 10 + suit: the deck is 11-14, 21-24, ..., 91-94; 0 is no card.
using CardCode = std::uint16_t;

enum Suit : int { Diamonds = 1, Hearts = 2, Spades = 3, Clubs = 4 };

// A contract is an int: 1-4 the trump suit named by the maker, or this value
// when all four passed (played with Diamonds as trump, scored by its own table).
inline constexpr int contractAllPassed = 6;

// The team of a seat in whatever numbering the caller uses (absolute seats on
// the server, relative seats in the bot).
constexpr int team(int seat) { return seat % 2; }

struct DealScore {
    int team = 0;        // the scoring team, 0 or 1
    int gamePoints = 0;  // 0-12, added to that team's match score by the caller
};

// Nine entries, 0 for an empty one.
using Hand = std::array<CardCode, 9>;
// Four cards, in play order or indexed by relative seat, 0 for an empty slot.
using Trick = std::array<CardCode, 4>;
// Indexed by bidder: 0 next player, 1 self, 2 previous player, 3 partner;
// -1 a pass, 0 no bid yet, 1-9 the last bid.
using Bids = std::array<int, 4>;

// Position 0-3 in the trick (play order, leader first) of the winning card.
int findTrickWinner(std::span<const CardCode, 4> trick, int contract);

int cardPoints(CardCode card);

// team0Points: card points of team 0; maker: the maker's seat in the same numbering.
DealScore dealScore(int team0Points, int contract, int maker);

bool isBidAllowed(int bid, std::span<const int, 4> bids);

bool canMakeTrump(std::span<const CardCode, 9> hand, int suit, int bid);

// trick indexed by relative seat; trumpSuit is a suit 1-4, not a contract.
bool isLegalPlay(std::span<const CardCode, 9> hand, std::span<const CardCode, 4> trick,
                 int trumpSuit, CardCode card);

// Orders in place: permanent trumps descending, then empty entries, then the
// suits 4, 3, 2, 1, each descending.
void sortHand(std::span<CardCode, 9> hand);

}  // namespace dorvi
