#include "rules/card_rules.h"

#include <utility>

namespace dorvi {

int findTrickWinner(std::span<const CardCode, 4> trick, int contract)
{
    const int trumpSuit = contract % 5;
    auto isTrump = [trumpSuit](CardCode c) { return c > 70 || c % 10 == trumpSuit; };
    const int ledSuit = trick[0] % 10;

    int best = 0;
    bool bestIsTrump = isTrump(trick[0]);
    for (int i = 1; i < 4; ++i) {
        const CardCode c = trick[i];
        if (isTrump(c)) {
            if (!bestIsTrump || c > trick[best]) {
                best = i;
                bestIsTrump = true;
            }
        } else if (!bestIsTrump && c > trick[best] && c % 10 == ledSuit) {
            best = i;
        }
    }
    return best;
}

int cardPoints(CardCode card)
{
    if (card > 90) return 4;
    if (card > 80) return 3;
    if (card > 70) return 2;
    if (card > 60) return 11;
    if (card >= 51) return 10;
    return 0;
}

DealScore dealScore(int team0Points, int contract, int maker)
{
    const int p = team0Points;
    if (contract == contractAllPassed) {
        if (p == 0) return {1, 12};
        if (p < 60) return {1, 2};
        if (p == 60) return {0, 0};
        if (p == 120) return {0, 12};
        return {0, 2};
    }

    if (p == 60) {
        // The side that is not the maker's. Normalised so that a negative maker
        // still names team 0 or 1: callers index their score table with it.
        return {((maker + 1) % 2 + 2) % 2, 2};
    }
    const int winner = p < 60 ? 1 : 0;
    int bonus = 0;
    if (contract == 1) bonus += 2;
    if (winner != maker % 2) bonus += 2;

    if (p == 0) return {1, 12};
    if (p < 30) return {1, 4 + bonus};
    if (p == 30) return {1, 3 + bonus};
    if (p < 60) return {1, 2 + bonus};
    if (p < 90) return {0, 2 + bonus};
    if (p == 90) return {0, 3 + bonus};
    if (p == 120) return {0, 12};
    return {0, 4 + bonus};
}

bool isBidAllowed(int bid, std::span<const int, 4> bids)
{
    // The player's own last bid (index 1) does not limit the next one.
    return bid >= bids[0] && bid > bids[3] && bid > bids[2];
}

bool canMakeTrump(std::span<const CardCode, 9> hand, int suit, int bid)
{
    if (suit == Diamonds) return true;
    int trumps = 0;
    for (CardCode c : hand) {
        if (c > 70 || c % 10 == suit) ++trumps;
    }
    return trumps >= bid;
}

bool isLegalPlay(std::span<const CardCode, 9> hand, std::span<const CardCode, 4> trick,
                 int trumpSuit, CardCode card)
{
    auto suitOf = [trumpSuit](CardCode c) { return c > 70 ? trumpSuit : c % 10; };

    // Play runs next (1), partner (2), previous (3) around the player (0): a
    // filled slot whose predecessor in play is empty holds the led card.
    struct Alternative {
        bool applies;
        CardCode card;
    };
    const Alternative alternatives[] = {
        {trick[3] != 0 && trick[2] == 0, trick[3]},
        {trick[2] != 0 && trick[1] == 0, trick[2]},
        {trick[1] != 0 && trick[0] == 0, trick[1]},
        {trick[0] != 0, trick[0]},
    };
    int ledSuit = 0;
    for (const Alternative& a : alternatives) {
        if (a.applies && suitOf(a.card) != 0) {
            ledSuit = suitOf(a.card);
            break;
        }
    }
    if (ledSuit == 0) return true;

    if (ledSuit == trumpSuit) {
        auto isTrump = [trumpSuit](CardCode c) { return c > 70 || c % 10 == trumpSuit; };
        if (isTrump(card)) return true;
        for (CardCode c : hand) {
            if (isTrump(c)) return false;
        }
        return true;
    }

    // Permanent trumps never follow a plain suit; there is no duty to trump.
    auto followsLed = [ledSuit](CardCode c) { return c <= 70 && c % 10 == ledSuit; };
    if (followsLed(card)) return true;
    for (CardCode c : hand) {
        if (followsLed(c)) return false;
    }
    return true;
}

void sortHand(std::span<CardCode, 9> hand)
{
    for (int i = 0; i < 8; ++i) {
        int highest = i;
        for (int j = i + 1; j < 9; ++j) {
            if (hand[j] > hand[highest]) highest = j;
        }
        std::swap(hand[i], hand[highest]);
    }

    int run = 0;
    while (run < 9 && hand[run] >= 70) ++run;
    if (run == 9) return;

    // Each suit in turn is gathered at the back, suit 1 last, keeping the
    // descending order inside each suit; the end mark carries over between suits.
    int end = 8;
    for (int suit = 1; suit <= 4; ++suit) {
        for (int p = 8; p >= run; --p) {
            if (hand[p] % 10 != suit) continue;
            const CardCode moved = hand[p];
            for (int q = p; q < end; ++q) hand[q] = hand[q + 1];
            hand[end] = moved;
            --end;
        }
    }
}

}  // namespace dorvi
