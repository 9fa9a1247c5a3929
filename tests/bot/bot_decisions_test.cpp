#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bot/bot.h"
#include "support/bot_fakes.h"

namespace dorvi::client {
namespace {

using testing::DrivenBot;

// The real draw, stated from the 64-bit number the two outputs make (second output high).
double referenceReal(std::mt19937& engine) {
    const std::uint64_t low = engine();
    const std::uint64_t high = engine();
    return std::ldexp(static_cast<double>((high << 32) | low), -64);
}

// The pick, stated as its rejection rule: an output is taken when the low half
// of m * x is not below 2^32 mod m.
std::uint32_t referencePick(std::mt19937& engine, std::uint32_t m, int* rejections = nullptr) {
    const std::uint64_t limit = (std::uint64_t{1} << 32) % m;
    for (;;) {
        const std::uint64_t product = std::uint64_t{m} * engine();
        if ((product & 0xFFFFFFFFu) >= limit) return static_cast<std::uint32_t>(product >> 32);
        if (rejections) ++*rejections;
    }
}

TEST(BotDraws, RealDrawTakesTwoOutputsLowFirst) {
    std::mt19937 engine(20261208u);
    std::mt19937 reference(20261208u);
    for (int i = 0; i < 1000; ++i) {
        const double expected = referenceReal(reference);
        const double got = drawReal(engine);
        ASSERT_EQ(got, expected) << "draw " << i;
        ASSERT_GE(got, 0.0);
        ASSERT_LE(got, 1.0);
    }
    EXPECT_TRUE(engine == reference) << "the draws consumed a different number of outputs";

    // The same arithmetic in the words of the definition: the second output is the high half.
    std::mt19937 first(5489u);
    const std::uint32_t x1 = first();
    const std::uint32_t x2 = first();
    std::mt19937 again(5489u);
    EXPECT_EQ(drawReal(again), (static_cast<double>(x2) * 4294967296.0 + x1) / 18446744073709551616.0);
}

TEST(BotDraws, PickMatchesRejectionRuleAndRejects) {
    // With m = 3 * 2^30 the low half of m * x is (3x mod 4) * 2^30 and 2^32 mod m is 2^30,
    // so every output divisible by 4 is thrown away: about one in four.
    const std::uint32_t m = 0xC0000000u;
    std::mt19937 engine(7u);
    std::mt19937 reference(7u);
    int rejections = 0;
    for (int i = 0; i < 200; ++i) {
        const std::uint32_t expected = referencePick(reference, m, &rejections);
        const std::uint32_t got = drawPick(engine, m);
        ASSERT_EQ(got, expected) << "pick " << i;
        ASSERT_LT(got, m);
    }
    EXPECT_GT(rejections, 10) << "the rejection step was never exercised";
    EXPECT_TRUE(engine == reference);

    // Small m as the bot uses it: every pick in range, the same as the rule.
    for (std::uint32_t choices = 1; choices <= 9; ++choices) {
        std::mt19937 e(choices);
        std::mt19937 r(choices);
        for (int i = 0; i < 300; ++i) {
            const std::uint32_t got = drawPick(e, choices);
            ASSERT_EQ(got, referencePick(r, choices)) << "m " << choices << " pick " << i;
            ASSERT_LT(got, choices);
        }
        EXPECT_TRUE(e == r) << "m " << choices;
    }

    // m = 1 always gives 0 and takes exactly one output.
    std::mt19937 one(99u);
    std::mt19937 oneReference(99u);
    EXPECT_EQ(drawPick(one, 1), 0u);
    oneReference.discard(1);
    EXPECT_TRUE(one == oneReference);
}

void setHand(GameState& state, std::vector<CardCode> cards) {
    for (int i = 0; i < 9; ++i) state.hand[i] = i < static_cast<int>(cards.size()) ? cards[i] : 0;
    for (int& left : state.cardsLeft) left = static_cast<int>(cards.size());
}

// The first seed at or after `from` whose first real draw satisfies the test.
template <typename Test>
std::uint32_t seedWhoseFirstDraw(std::uint32_t from, Test test) {
    for (std::uint32_t seed = from;; ++seed) {
        std::mt19937 engine(seed);
        if (test(referenceReal(engine))) return seed;
    }
}

TEST(BotDecisions, BidDrawsAndOutputsConsumed) {
    // Five permanent trumps and one Diamond: diamondsCount 6, so a Diamonds draw comes first.
    const std::vector<CardCode> sixDiamonds{94, 93, 92, 91, 84, 61, 52, 43, 32};
    int diamondsChosen = 0;
    int fellThrough = 0;
    for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        DrivenBot driven(seed);
        setHand(driven.bot.state, sixDiamonds);
        driven.bot.state.bidTurn = true;
        std::mt19937 reference(seed);
        const double first = referenceReal(reference);
        driven.bot.onBidTurn();
        ASSERT_EQ(driven.stream.lines().size(), 1u) << "seed " << seed;
        if (first < 0.3) {
            ++diamondsChosen;
            EXPECT_EQ(driven.stream.writes[0], padBlock("bid  10", blockSize)) << "seed " << seed;
            EXPECT_TRUE(driven.bot.rng == reference) << "seed " << seed << ": Diamonds takes two outputs";
        } else {
            ++fellThrough;
            const double second = referenceReal(reference);
            // Hearts count 7 (five trumps, 52 and 32); all bids 0, so bid 1 is the lowest allowed.
            EXPECT_EQ(driven.stream.lines()[0], second < 0.4 ? "bid  0" : "bid  1") << "seed " << seed;
            EXPECT_TRUE(driven.bot.rng == reference) << "seed " << seed << ": expected four outputs";
        }
        EXPECT_FALSE(driven.bot.state.bidTurn);
    }
    EXPECT_GT(diamondsChosen, 0);
    EXPECT_GT(fellThrough, 0);

    // diamondsCount 5: one draw only.
    const std::vector<CardCode> fiveDiamonds{94, 93, 92, 91, 61, 52, 43, 32, 22};
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        DrivenBot driven(seed);
        setHand(driven.bot.state, fiveDiamonds);
        driven.bot.state.bidTurn = true;
        std::mt19937 reference(seed);
        const double u = referenceReal(reference);
        driven.bot.onBidTurn();
        EXPECT_TRUE(driven.bot.rng == reference) << "seed " << seed;
        ASSERT_EQ(driven.stream.lines().size(), 1u);
        EXPECT_EQ(driven.stream.lines()[0], u < 0.4 ? "bid  0" : "bid  1") << "seed " << seed;
    }
}

TEST(BotDecisions, BidsTheLowestAllowedValueUpToItsBestCount) {
    const std::uint32_t seed = seedWhoseFirstDraw(1, [](double u) { return u >= 0.4; });
    // Next player bid 3, partner 2, previous passed.
    const int bids[4] = {3, 0, -1, 2};
    struct Case {
        std::vector<CardCode> hand;
        const char* line;
        const char* log;
    };
    const std::vector<Case> cases{
        // Hearts 4 (two trumps, 62, 52): 3 is allowed (equal to the next player's bid).
        {{91, 72, 62, 52, 43, 33, 41, 31, 11}, "bid  3", "bot: Pakkusid 3"},
        // Best count 2: nothing allowed up to it, so a pass.
        {{61, 51, 41, 62, 52, 63, 53, 64, 54}, "bid  0", "bot: Passisid"},
        // No suit at all counts (an empty hand): a pass.
        {{}, "bid  0", "bot: Passisid"},
    };
    for (const Case& c : cases) {
        DrivenBot driven(seed);
        setHand(driven.bot.state, c.hand);
        for (int i = 0; i < 4; ++i) driven.bot.state.bids[i] = bids[i];
        driven.bot.state.bidTurn = true;
        driven.bot.onBidTurn();
        ASSERT_EQ(driven.stream.lines().size(), 1u) << c.line;
        EXPECT_EQ(driven.stream.lines()[0], c.line);
        EXPECT_EQ(driven.log, std::vector<std::string>{c.log}) << "the text is logged without its line break";
    }

    // Without the turn flag the hook still draws but sends nothing.
    DrivenBot idle(seed);
    setHand(idle.bot.state, cases[0].hand);
    idle.bot.onBidTurn();
    EXPECT_TRUE(idle.stream.writes.empty());
}

TEST(BotDecisions, TrumpChoiceByCountAndPermission) {
    // Two permanent trumps, then Hearts 1, Spades 3, Clubs 3 more: counts 3, 5, 5.
    const std::vector<CardCode> hand{91, 72, 22, 33, 43, 53, 34, 44, 54};
    // Hearts 5, Spades 3, Clubs 3.
    const std::vector<CardCode> heartsHand{91, 72, 22, 32, 42, 33, 43, 34, 44};
    struct Case {
        std::vector<CardCode> hand;
        int ownBid;
        const char* line;
    };
    const std::vector<Case> cases{
        {hand, 3, "next 3"},       // all allowed: Spades beats Hearts, Clubs needs more than a tie
        {hand, 0, "next 3"},       // a bid of 0 allows every suit
        {heartsHand, 5, "next 2"}, // only Hearts has five
        {hand, 6, "next 1"},       // none allowed: Diamonds
        {{}, 1, "next 1"},
    };
    for (const Case& c : cases) {
        DrivenBot driven(1);
        setHand(driven.bot.state, c.hand);
        driven.bot.state.bids[1] = c.ownBid;
        driven.bot.state.trumpChoiceTurn = true;
        std::mt19937 untouched(1);
        driven.bot.onTrumpTurn();
        ASSERT_EQ(driven.stream.lines().size(), 1u) << c.line;
        EXPECT_EQ(driven.stream.lines()[0], c.line) << "own bid " << c.ownBid;
        EXPECT_TRUE(driven.log.empty()) << "an accepted trump choice logs nothing";
        EXPECT_TRUE(driven.bot.rng == untouched) << "the trump choice draws nothing";
        EXPECT_FALSE(driven.bot.state.trumpChoiceTurn);
    }
}

TEST(BotDecisions, PlaysOnlyLegalCards) {
    // Diamonds trump, the previous player led Hearts 22: of 32, 72, 14 only 32 follows.
    DrivenBot driven(3);
    setHand(driven.bot.state, {32, 72, 14});
    driven.bot.state.trump = 1;
    driven.bot.state.trick[3] = 22;
    driven.bot.state.playTurn = true;
    std::mt19937 reference(3);
    reference.discard(1);
    driven.bot.onPlayTurn();
    ASSERT_EQ(driven.stream.writes.size(), 1u);
    EXPECT_EQ(driven.stream.writes[0], padBlock(std::string("scard") + char(32), blockSize));
    EXPECT_TRUE(driven.bot.rng == reference) << "one legal card still takes one output";
    EXPECT_EQ(driven.bot.state.cardsLeft[0], 2);
    EXPECT_EQ(driven.bot.state.hand[0], 72);
    EXPECT_EQ(driven.bot.state.hand[1], 14);
    EXPECT_EQ(driven.bot.state.hand[2], 0);

    // Nothing held: no draw, nothing sent.
    DrivenBot empty(3);
    empty.bot.state.playTurn = true;
    empty.bot.onPlayTurn();
    EXPECT_TRUE(empty.stream.writes.empty());
    EXPECT_TRUE(empty.bot.rng == std::mt19937(3));

    // Many random situations: the card sent is always one the rules allow, taken from the hand.
    std::mt19937 deal(11);
    for (int round = 0; round < 300; ++round) {
        std::vector<CardCode> deck;
        for (int rank = 1; rank <= 9; ++rank)
            for (int suit = 1; suit <= 4; ++suit) deck.push_back(static_cast<CardCode>(rank * 10 + suit));
        std::shuffle(deck.begin(), deck.end(), deal);
        const int held = 1 + static_cast<int>(deal() % 9);
        DrivenBot bot(static_cast<std::uint32_t>(round));
        setHand(bot.bot.state, std::vector<CardCode>(deck.begin(), deck.begin() + held));
        const int played = static_cast<int>(deal() % 4);
        for (int i = 0; i < played; ++i) bot.bot.state.trick[3 - i] = deck[20 + i];
        bot.bot.state.trump = 1 + static_cast<int>(deal() % 4);
        bot.bot.state.playTurn = true;
        const GameState before = bot.bot.state;
        bot.bot.onPlayTurn();
        ASSERT_EQ(bot.stream.writes.size(), 1u) << "round " << round << ": some card is always legal";
        const CardCode card = bot.lastCard();
        EXPECT_TRUE(isLegalPlay(before.hand, before.trick, before.trump, card)) << "round " << round << " card " << card;
        EXPECT_NE(std::find(std::begin(before.hand), std::begin(before.hand) + held, card),
                  std::begin(before.hand) + held);
    }
}

// A deal as the server would send it to one bot: names, hand, bidding, a contract, nine tricks.
std::vector<std::string> playScriptedDeal(DrivenBot& driven) {
    driven.feed("name Mari");
    driven.feed("name Jaan");
    driven.feed("name Tiit");
    driven.feed("141312219182736451");
    driven.feed("1 0");
    driven.feed("ok");
    driven.feed("3 2");
    driven.feed("next 3");
    std::mt19937 others(5);
    for (int trick = 0; trick < 9; ++trick) {
        driven.feed("okc");
        const unsigned char own = driven.lastCard();
        driven.feed(testing::cardRelay(0, own));
        for (int seat = 1; seat <= 3; ++seat) driven.feed(testing::cardRelay(seat, static_cast<unsigned char>(11 + others() % 4)));
    }
    return driven.stream.lines();
}

TEST(BotDecisions, SameSeedSameBlocksSameLines) {
    for (std::uint32_t seed : {1u, 42u, 123456789u}) {
        DrivenBot first(seed);
        DrivenBot second(seed);
        const std::vector<std::string> a = playScriptedDeal(first);
        const std::vector<std::string> b = playScriptedDeal(second);
        EXPECT_EQ(a, b) << "seed " << seed;
        // One bid and nine cards.
        EXPECT_EQ(a.size(), 10u) << "seed " << seed;
        EXPECT_EQ(first.log, second.log);
    }
}

TEST(BotOutput, LogTextAndShowResult) {
    std::vector<std::string> lines;
    Bot bot("Kalle", 1, 0.0, [&lines](const std::string& line) { lines.push_back(line); });
    bot.logText("\r\nPassisid");
    bot.logText("\r\n\r\nx");
    bot.logText("plain");
    bot.logText("\r");
    bot.logText("");
    bot.showResult("\r\nTeie");
    EXPECT_EQ(lines, (std::vector<std::string>{"Kalle: Passisid", "Kalle: \r\nx", "Kalle: plain", "Kalle: \r",
                                               "Kalle: ", "Kalle: [Tulemused] \r\nTeie"}));

    Bot silent("Kalle", 1, 0.0, {});
    silent.logText("\r\nPassisid");
    silent.showResult("x");
    silent.submit(makePass(silent.state));  // no stream, no turn: nothing at all
}

TEST(BotOutput, DelayFollowsTheTimeScale) {
    const auto took = [](double scale, int ms) {
        Bot bot("b", 1, scale, {});
        const auto start = std::chrono::steady_clock::now();
        bot.delayMs(ms);
        return std::chrono::steady_clock::now() - start;
    };
    // The bound only has to tell "no sleep" from a 1.5 s or 3 s one, with room for a busy machine.
    const auto noSleep = std::chrono::milliseconds(200);
    EXPECT_GE(took(0.01, 1500), std::chrono::milliseconds(15));
    EXPECT_LT(took(0.0, 3000), noSleep);
    EXPECT_LT(took(-1.0, 3000), noSleep);
    EXPECT_LT(took(1.0, 0), noSleep);
    EXPECT_LT(took(std::nan(""), 3000), noSleep) << "a NaN scale must not sleep";
    // Below one microsecond after scaling: no sleep.
    EXPECT_LT(took(1e-7, 1500), noSleep);
}

}  // namespace
}  // namespace dorvi::client
