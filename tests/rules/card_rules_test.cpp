#include "rules/card_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace dorvi {
namespace {

std::vector<CardCode> deck()
{
    std::vector<CardCode> cards;
    for (int rank = 1; rank <= 9; ++rank)
        for (int suit = 1; suit <= 4; ++suit) cards.push_back(static_cast<CardCode>(rank * 10 + suit));
    return cards;
}

TEST(CardRules, CardPointsTotalThirtyPerSuitAndOneHundredTwentyInAll)
{
    int total = 0;
    int perSuit[5] = {};
    for (CardCode c : deck()) {
        total += cardPoints(c);
        perSuit[c % 10] += cardPoints(c);
    }
    EXPECT_EQ(total, 120);
    for (int suit = 1; suit <= 4; ++suit) EXPECT_EQ(perSuit[suit], 30) << "suit " << suit;
    EXPECT_EQ(cardPoints(0), 0);
}

TEST(CardRules, TrickWinnerExamples)
{
    EXPECT_EQ(findTrickWinner(Trick{13, 71, 14, 12}, 2), 1);
    EXPECT_EQ(findTrickWinner(Trick{13, 12, 33, 21}, 4), 2);
    EXPECT_EQ(findTrickWinner(Trick{61, 64, 71, 44}, 4), 2);
    EXPECT_EQ(findTrickWinner(Trick{0, 0, 0, 0}, 3), 0);
    // Contract 6 plays with diamonds as trump; 5 leaves only the cards above 70.
    EXPECT_EQ(findTrickWinner(Trick{63, 11, 62, 21}, contractAllPassed), 3);
    EXPECT_EQ(findTrickWinner(Trick{63, 11, 62, 21}, 5), 0);
    EXPECT_EQ(findTrickWinner(Trick{63, 11, 72, 21}, 5), 2);
}

// Highest trump, else highest of the led suit; of equal codes the earlier.
int directTrickWinner(const Trick& trick, int contract)
{
    const int trumpSuit = contract % 5;
    auto isTrump = [&](CardCode c) { return c > 70 || c % 10 == trumpSuit; };
    const bool anyTrump = std::any_of(trick.begin(), trick.end(), isTrump);
    int winner = -1;
    for (int i = 0; i < 4; ++i) {
        const bool competes = anyTrump ? isTrump(trick[i]) : trick[i] % 10 == trick[0] % 10;
        if (competes && (winner < 0 || trick[i] > trick[winner])) winner = i;
    }
    return winner;
}

TEST(CardRules, TrickWinnerAgreesWithTheRuleOnEveryOrderedTrickOfASample)
{
    // Repeats allowed, so ties between equal codes are exercised too.
    const CardCode sample[] = {11, 13, 14, 22, 24, 33, 42, 51, 64, 71, 83, 92};
    for (int contract = 0; contract <= 6; ++contract)
        for (CardCode a : sample)
            for (CardCode b : sample)
                for (CardCode c : sample)
                    for (CardCode d : sample) {
                        const Trick trick{a, b, c, d};
                        ASSERT_EQ(findTrickWinner(trick, contract), directTrickWinner(trick, contract))
                            << a << ' ' << b << ' ' << c << ' ' << d << " contract " << contract;
                    }
}

TEST(CardRules, DealScoreExamples)
{
    struct Case { int points, contract, maker, team, gamePoints; };
    const Case cases[] = {
        {60, 3, 0, 1, 2},  {60, 6, 2, 0, 0},  {95, 1, 1, 0, 8},  {95, 1, 0, 0, 6},
        {90, 2, 0, 0, 3},  {30, 2, 0, 1, 5},  {0, 4, 1, 1, 12},  {120, 3, 2, 0, 12},
        {0, 6, 0, 1, 12},  {59, 6, 1, 1, 2},  {61, 6, 1, 0, 2},  {120, 6, 3, 0, 12},
        {-3, 2, 1, 1, 4},  {125, 2, 0, 0, 4}, {-3, 6, 0, 1, 2},  {125, 6, 0, 0, 2},
    };
    for (const Case& c : cases) {
        const DealScore s = dealScore(c.points, c.contract, c.maker);
        EXPECT_EQ(s.team, c.team) << "dealScore(" << c.points << ", " << c.contract << ", " << c.maker << ")";
        EXPECT_EQ(s.gamePoints, c.gamePoints) << "dealScore(" << c.points << ", " << c.contract << ", " << c.maker << ")";
    }
    // A maker seat outside 0-3 must still name a team the caller can index with.
    for (int maker = -4; maker < 0; ++maker) {
        const int t = dealScore(60, 2, maker).team;
        EXPECT_TRUE(t == 0 || t == 1) << "maker " << maker << " gave team " << t;
    }
}

TEST(CardRules, DealScoreIsTheSameSeenFromEitherTeam)
{
    for (int contract = 0; contract <= 6; ++contract)
        for (int maker = 0; maker <= 3; ++maker)
            for (int p = -5; p <= 125; ++p) {
                const DealScore a = dealScore(p, contract, maker);
                const DealScore b = dealScore(120 - p, contract, maker + 1);
                ASSERT_TRUE(a.team == 0 || a.team == 1);
                ASSERT_TRUE(a.gamePoints >= 0 && a.gamePoints <= 12);
                ASSERT_EQ(a.gamePoints, b.gamePoints) << "p " << p << " contract " << contract << " maker " << maker;
                if (a.gamePoints > 0) {
                    ASSERT_NE(a.team, b.team) << "p " << p << " contract " << contract << " maker " << maker;
                }
            }
}

TEST(CardRules, BidsAndTrumpChoices)
{
    EXPECT_TRUE(isBidAllowed(3, Bids{3, 5, 2, 2})) << "own bid is not consulted";
    EXPECT_FALSE(isBidAllowed(3, Bids{0, 0, 3, 0})) << "equal to the previous player's";
    EXPECT_FALSE(isBidAllowed(3, Bids{0, 0, 0, 3})) << "equal to the partner's";
    EXPECT_FALSE(isBidAllowed(2, Bids{3, 0, 0, 0})) << "below the next player's";
    EXPECT_TRUE(isBidAllowed(1, Bids{-1, 0, -1, 0}));

    const Hand noTrumps{11, 12, 13, 21, 22, 23, 31, 32, 33};
    EXPECT_TRUE(canMakeTrump(noTrumps, Diamonds, 9)) << "diamonds may always be named";
    for (int suit = 1; suit <= 4; ++suit) EXPECT_TRUE(canMakeTrump(noTrumps, suit, 0)) << "suit " << suit;
    const Hand threeClubs{71, 14, 44, 11, 12, 21, 22, 51, 0};
    EXPECT_TRUE(canMakeTrump(threeClubs, Clubs, 3));
    EXPECT_FALSE(canMakeTrump(threeClubs, Clubs, 4));
    EXPECT_FALSE(canMakeTrump(threeClubs, Spades, 2)) << "only 71 counts for spades";
}

TEST(CardRules, LegalPlays)
{
    const Trick empty{0, 0, 0, 0};
    EXPECT_TRUE(isLegalPlay(Hand{11, 22}, empty, 1, 94));

    const Trick previousLedHearts{0, 0, 0, 22};
    const Hand withHearts{32, 72, 14, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(isLegalPlay(withHearts, previousLedHearts, 1, 72)) << "72 is a trump, not a heart";
    EXPECT_FALSE(isLegalPlay(withHearts, previousLedHearts, 1, 14));
    const Hand heartOnly{72, 52, 14, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(isLegalPlay(heartOnly, previousLedHearts, 1, 52));
    EXPECT_FALSE(isLegalPlay(heartOnly, previousLedHearts, 1, 72));
    const Hand noHearts{72, 33, 14, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(isLegalPlay(noHearts, previousLedHearts, 1, 33)) << "no duty to trump";

    const Trick trumpLead{0, 0, 0, 74};
    EXPECT_FALSE(isLegalPlay(Hand{12, 33}, trumpLead, 2, 33));
    EXPECT_TRUE(isLegalPlay(Hand{12, 33}, trumpLead, 2, 12));
    EXPECT_TRUE(isLegalPlay(Hand{33, 41}, trumpLead, 2, 33));

    // The next player (slot 1) led spades; partner and previous followed.
    const Trick nextLed{0, 33, 44, 92};
    EXPECT_FALSE(isLegalPlay(Hand{13, 44}, nextLed, 4, 44));
    EXPECT_TRUE(isLegalPlay(Hand{13, 44}, nextLed, 4, 13));
    // The partner (slot 2) led hearts and the previous player trumped.
    EXPECT_FALSE(isLegalPlay(Hand{52, 43}, Trick{0, 0, 22, 94}, 3, 43));
    EXPECT_TRUE(isLegalPlay(Hand{52, 43}, Trick{0, 0, 22, 94}, 3, 52));
    // A full trick is read from the player's own slot.
    EXPECT_FALSE(isLegalPlay(Hand{23, 32}, Trick{22, 31, 41, 11}, 4, 23));
}

TEST(CardRules, SortHandExamples)
{
    Hand hand{11, 94, 23, 72, 0, 34, 21, 61, 13};
    sortHand(hand);
    EXPECT_EQ(hand, (Hand{94, 72, 0, 34, 23, 13, 61, 21, 11}));

    Hand allHigh{71, 94, 83, 72, 91, 84, 73, 92, 81};
    sortHand(allHigh);
    EXPECT_EQ(allHigh, (Hand{94, 92, 91, 84, 83, 81, 73, 72, 71}));
}

TEST(CardRules, SortHandOrdersRandomHandsByGroups)
{
    std::mt19937 rng(20261208);
    std::vector<CardCode> cards = deck();
    for (int round = 0; round < 5000; ++round) {
        std::shuffle(cards.begin(), cards.end(), rng);
        Hand hand{};
        std::copy_n(cards.begin(), 9, hand.begin());
        const int empties = static_cast<int>(rng() % 4);
        for (int i = 0; i < empties; ++i) hand[rng() % 9] = 0;

        auto groupOf = [](CardCode c) { return c >= 70 ? 0 : c == 0 ? 1 : 6 - c % 10; };
        Hand expected = hand;
        std::sort(expected.begin(), expected.end(), [&](CardCode a, CardCode b) {
            return groupOf(a) != groupOf(b) ? groupOf(a) < groupOf(b) : a > b;
        });
        Hand sorted = hand;
        sortHand(sorted);
        ASSERT_EQ(sorted, expected) << "round " << round;
    }
}

}  // namespace
}  // namespace dorvi
