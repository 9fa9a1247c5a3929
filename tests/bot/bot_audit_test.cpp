#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "bot/bot.h"
#include "rules/card_rules.h"

namespace dorvi::client {
namespace {

using Cards4 = std::array<CardCode, 4>;

// A deal as the server plays it, in absolute seats: every seat plays its
// cards in order, the winner of each trick leads the next.
struct ServerDeal {
    int contract = 2;
    int maker = 0;
    std::array<std::array<CardCode, 9>, 4> hands{};
    std::vector<int> leaders;       // absolute seat that led each trick
    std::vector<Cards4> tricks;     // by absolute seat
    int team0Points = 0;            // card points of seats 0 and 2
};

ServerDeal playDeal(std::array<std::array<CardCode, 9>, 4> hands, int contract, int maker) {
    ServerDeal deal;
    deal.contract = contract;
    deal.maker = maker;
    deal.hands = hands;
    int leader = (maker + 1) % 4;
    for (int k = 0; k < 9; ++k) {
        Cards4 bySeat{};
        Cards4 inPlayOrder{};
        for (int i = 0; i < 4; ++i) {
            const int seat = (leader + i) % 4;
            bySeat[seat] = hands[seat][k];
            inPlayOrder[i] = hands[seat][k];
        }
        deal.leaders.push_back(leader);
        deal.tricks.push_back(bySeat);
        const int winner = (leader + findTrickWinner(inPlayOrder, contract)) % 4;
        if (winner % 2 == 0) {
            for (CardCode card : bySeat) deal.team0Points += cardPoints(card);
        }
        leader = winner;
    }
    return deal;
}

std::array<std::array<CardCode, 9>, 4> shuffledHands(std::uint32_t seed) {
    std::vector<CardCode> deck;
    for (int rank = 1; rank <= 9; ++rank)
        for (int suit = 1; suit <= 4; ++suit) deck.push_back(static_cast<CardCode>(rank * 10 + suit));
    std::mt19937 engine(seed);
    std::shuffle(deck.begin(), deck.end(), engine);
    std::array<std::array<CardCode, 9>, 4> hands{};
    for (int seat = 0; seat < 4; ++seat)
        for (int i = 0; i < 9; ++i) hands[seat][i] = deck[seat * 9 + i];
    return hands;
}

// One bot at an absolute seat, told about deals the way the dispatcher tells it.
class AuditedSeat {
public:
    explicit AuditedSeat(int seat) : seat(seat), bot("bot", 1, 0.0, {}) {}

    int rel(int absoluteSeat) const { return (absoluteSeat - seat + 4) % 4; }

    // What an honest server would report; the faults below bend it.
    struct Report {
        int cardPoints;
        int own;
        int other;
    };

    void announce(const ServerDeal& deal, bool allPassed) {
        for (int& bid : bot.state.bids) bid = allPassed ? -1 : 0;
        if (!allPassed) bot.state.bids[1] = 3;
        // All passed is announced as "next 1".
        bot.onTrumpSet(deal.contract == contractAllPassed ? 1 : deal.contract);
        bot.state.resetBidding();
    }

    // Relays the tricks in play order; firstOf[k] >= 0 makes trick k start at that absolute seat.
    void relayTricks(const ServerDeal& deal, int count, std::array<int, 9> firstOf) {
        for (int k = 0; k < count; ++k) {
            const int first = firstOf[k] >= 0 ? firstOf[k] : deal.leaders[k];
            for (int i = 0; i < 4; ++i) {
                const int absoluteSeat = (first + i) % 4;
                const CardCode card = deal.tricks[k][absoluteSeat];
                bot.state.trick[rel(absoluteSeat)] = card;
                bot.onCardPlayed(rel(absoluteSeat), card);
            }
            bot.onTrickComplete(bot.state.trick, bot.state);
            bot.state.clearTrick();
        }
    }

    // The server's bookkeeping of the match score and the point block this seat gets.
    Report score(const ServerDeal& deal, int team0Points) {
        const DealScore result = dealScore(team0Points, deal.contract, deal.maker);
        int& target = result.team == 0 ? matchTeam0 : matchTeam1;
        target = std::min(target + result.gamePoints, 12);
        if (seat % 2 == 0) return {team0Points, matchTeam0, matchTeam1};
        return {120 - team0Points, matchTeam1, matchTeam0};
    }

    // An honest deal from start to point block.
    void playHonest(const ServerDeal& deal, bool allPassed = false) {
        announce(deal, allPassed);
        relayTricks(deal, 9, noneStarting());
        const Report r = score(deal, deal.team0Points);
        bot.onDealEnd(r.cardPoints, r.own, r.other);
    }

    static std::array<int, 9> noneStarting() {
        std::array<int, 9> none{};
        none.fill(-1);
        return none;
    }

    int seat;
    Bot bot;
    int matchTeam0 = 0;
    int matchTeam1 = 0;
};

std::string failuresOf(const Bot& bot) {
    std::string all;
    for (const std::string& line : bot.record.failures) all += line + "\n";
    return all;
}

TEST(BotAudit, HonestMatchesAgreeFromEverySeat) {
    for (int seat = 0; seat < 4; ++seat) {
        for (std::uint32_t seed = 1; seed <= 6; ++seed) {
            AuditedSeat table(seat);
            int deals = 0;
            // A whole match, so the expected scores carry over and end capped at 12.
            while (table.matchTeam0 < 12 && table.matchTeam1 < 12 && deals < 40) {
                const int contract = 1 + static_cast<int>((seed + deals) % 4);
                const ServerDeal deal = playDeal(shuffledHands(seed * 1000 + deals), contract, (seed + deals) % 4);
                table.playHonest(deal);
                ++deals;
            }
            const MatchRecord& r = table.bot.record;
            EXPECT_EQ(r.failures.size(), 0u) << "seat " << seat << " seed " << seed << "\n" << failuresOf(table.bot);
            EXPECT_EQ(r.rounds, deals);
            EXPECT_EQ(r.auditedRounds, deals);
            EXPECT_EQ(static_cast<int>(r.tricks.size()), 9 * deals);
            EXPECT_EQ(static_cast<int>(r.cardPointsHistory.size()), deals);
            EXPECT_EQ(std::max(r.ownGamePoints, r.otherGamePoints), 12);
            EXPECT_EQ(r.lastCardPoints, r.cardPointsHistory.back());
            EXPECT_TRUE(table.bot.trickLeaders.empty() && table.bot.trickList.empty()) << "cleared per deal";
        }
    }
}

TEST(BotAudit, AllPassedDealIsScoredAsContractSix) {
    // A deal worth 2 to one side under contract 6; under Diamonds it would be worth 4 or more.
    std::uint32_t seed = 1;
    ServerDeal deal;
    for (;; ++seed) {
        deal = playDeal(shuffledHands(seed), contractAllPassed, 1);
        if (deal.team0Points > 0 && deal.team0Points < 60) break;
    }
    AuditedSeat passed(0);
    passed.playHonest(deal, true);
    EXPECT_EQ(passed.bot.record.failures.size(), 0u) << failuresOf(passed.bot);
    EXPECT_EQ(passed.bot.record.otherGamePoints, 2);
    EXPECT_EQ(passed.bot.record.auditedRounds, 1);

    // The same cards announced after a real bid: the audit must now expect more than 2.
    AuditedSeat bid(0);
    bid.announce(deal, false);
    bid.relayTricks(deal, 9, AuditedSeat::noneStarting());
    bid.bot.onDealEnd(deal.team0Points, 0, 2);
    ASSERT_EQ(bid.bot.record.failures.size(), 1u);
    EXPECT_EQ(bid.bot.record.failures[0].rfind("bot round 1: score 0/2, expected 0/", 0), 0u) << failuresOf(bid.bot);
    EXPECT_EQ(bid.bot.record.auditedRounds, 0);

    // The next player holds nine permanent trumps and takes every trick: 0 for us, 12 for them.
    std::array<std::array<CardCode, 9>, 4> hands{};
    hands[1] = {94, 93, 92, 91, 84, 83, 82, 81, 74};
    std::vector<CardCode> rest;
    for (int rank = 1; rank <= 9; ++rank)
        for (int suit = 1; suit <= 4; ++suit) {
            const auto card = static_cast<CardCode>(rank * 10 + suit);
            if (std::find(hands[1].begin(), hands[1].end(), card) == hands[1].end()) rest.push_back(card);
        }
    for (int i = 0; i < 27; ++i) hands[i / 9 == 0 ? 0 : i / 9 + 1][i % 9] = rest[i];
    const ServerDeal shutout = playDeal(hands, contractAllPassed, 3);
    ASSERT_EQ(shutout.team0Points, 0);
    AuditedSeat zero(0);
    zero.playHonest(shutout, true);
    EXPECT_EQ(zero.bot.record.failures.size(), 0u) << failuresOf(zero.bot);
    EXPECT_EQ(zero.bot.record.ownGamePoints, 0);
    EXPECT_EQ(zero.bot.record.otherGamePoints, 12);
}

bool everyTrickHasATrump(const ServerDeal& deal) {
    const int trumpSuit = deal.contract % 5;
    for (const Cards4& trick : deal.tricks) {
        if (std::none_of(trick.begin(), trick.end(),
                         [&](CardCode c) { return c > 70 || c % 10 == trumpSuit; }))
            return false;
    }
    return true;
}

TEST(BotAudit, ReportsEachDisagreementWithItsRound) {
    // Trumps in every trick make each winner independent of who led, so a wrong
    // leader shows up once and changes nothing else.
    ServerDeal deal;
    for (std::uint32_t seed = 1;; ++seed) {
        deal = playDeal(shuffledHands(seed), 2, 2);
        if (everyTrickHasATrump(deal)) break;
    }

    {
        AuditedSeat table(1);
        table.announce(deal, false);
        std::array<int, 9> first = AuditedSeat::noneStarting();
        const int wrong = (deal.leaders[4] + 1) % 4;
        first[4] = wrong;
        table.relayTricks(deal, 9, first);
        const auto report = table.score(deal, deal.team0Points);
        table.bot.onDealEnd(report.cardPoints, report.own, report.other);
        ASSERT_EQ(table.bot.record.failures.size(), 1u) << failuresOf(table.bot);
        EXPECT_EQ(table.bot.record.failures[0], "bot round 1: trick 4 won by seat " +
                                                    std::to_string(table.rel(deal.leaders[4])) +
                                                    " by our rules, but seat " + std::to_string(table.rel(wrong)) +
                                                    " led next");
        EXPECT_EQ(table.bot.record.auditedRounds, 1) << "scores agree, so the deal still counts";
    }

    {
        // The server miscounts by one point but scores its own count consistently.
        AuditedSeat table(0);
        table.playHonest(deal);  // round 1 agrees
        table.announce(deal, false);
        table.relayTricks(deal, 9, AuditedSeat::noneStarting());
        const auto report = table.score(deal, deal.team0Points + 1);
        table.bot.onDealEnd(report.cardPoints, report.own, report.other);
        ASSERT_EQ(table.bot.record.failures.size(), 1u) << failuresOf(table.bot);
        EXPECT_EQ(table.bot.record.failures[0], "bot round 2: card points " + std::to_string(deal.team0Points) +
                                                    " vs server's " + std::to_string(deal.team0Points + 1));
        EXPECT_EQ(table.bot.record.auditedRounds, 2);
    }

    {
        // A wrong match score: one more game point for the bot's team than the deal gives.
        AuditedSeat table(3);
        table.announce(deal, false);
        table.relayTricks(deal, 9, AuditedSeat::noneStarting());
        const auto report = table.score(deal, deal.team0Points);
        table.bot.onDealEnd(report.cardPoints, report.own + 1, report.other);
        const int maker = table.rel(deal.maker);
        ASSERT_EQ(table.bot.record.failures.size(), 1u) << failuresOf(table.bot);
        EXPECT_EQ(table.bot.record.failures[0],
                  "bot round 1: score " + std::to_string(report.own + 1) + "/" + std::to_string(report.other) +
                      ", expected " + std::to_string(report.own) + "/" + std::to_string(report.other) +
                      " (trump 2, maker seat " + std::to_string(maker) + ", points " +
                      std::to_string(report.cardPoints) + ")");
        EXPECT_EQ(table.bot.record.auditedRounds, 0);
    }
}

TEST(BotAudit, WrongNumberOfTricksEndsTheAudit) {
    const ServerDeal deal = playDeal(shuffledHands(3), 3, 0);

    AuditedSeat eight(0);
    eight.announce(deal, false);
    eight.relayTricks(deal, 8, AuditedSeat::noneStarting());
    eight.bot.onDealEnd(deal.team0Points, 2, 0);
    EXPECT_EQ(eight.bot.record.failures, std::vector<std::string>{"bot round 1: saw 8 tricks"});
    EXPECT_EQ(eight.bot.record.auditedRounds, 0);
    EXPECT_EQ(eight.bot.record.rounds, 1);
    EXPECT_TRUE(eight.bot.trickList.empty()) << "the next deal starts afresh";

    AuditedSeat lostLeader(0);
    lostLeader.announce(deal, false);
    lostLeader.relayTricks(deal, 9, AuditedSeat::noneStarting());
    lostLeader.bot.trickLeaders.pop_back();
    lostLeader.bot.onDealEnd(deal.team0Points, 2, 0);
    EXPECT_EQ(lostLeader.bot.record.failures, std::vector<std::string>{"bot round 1: saw 9 tricks"});

    // The previous scores come from the last point block even when that deal was not audited.
    AuditedSeat carry(0);
    carry.bot.onDealEnd(50, 10, 3);
    EXPECT_EQ(carry.bot.previousOwnGamePoints, 10);
    EXPECT_EQ(carry.bot.previousOtherGamePoints, 3);
    EXPECT_EQ(carry.bot.record.lastCardPoints, 50);
    EXPECT_EQ(carry.bot.record.failures, std::vector<std::string>{"bot round 1: saw 0 tricks"});
}

// A server that sends more tricks than a deal holds, or more deals than a
// match holds: the true numbers are reported, the first ones kept.
TEST(BotAudit, WhatGoesBeyondADealOrAMatchIsCountedNotKept) {
    const ServerDeal deal = playDeal(shuffledHands(4), 2, 1);
    AuditedSeat table(0);
    table.announce(deal, false);
    table.relayTricks(deal, 9, AuditedSeat::noneStarting());
    table.relayTricks(deal, 9, AuditedSeat::noneStarting());
    EXPECT_EQ(table.bot.trickLeaders.size(), 9u);
    EXPECT_EQ(table.bot.trickList.size(), 9u);
    const AuditedSeat::Report lied = table.score(deal, deal.team0Points);
    table.bot.onDealEnd(lied.cardPoints, lied.own, lied.other);
    EXPECT_EQ(table.bot.record.failures, std::vector<std::string>{"bot round 1: saw 18 tricks"});
    table.playHonest(deal);
    EXPECT_EQ(table.bot.record.failures.size(), 1u) << "the next deal is audited afresh\n" << failuresOf(table.bot);
    EXPECT_EQ(table.bot.record.auditedRounds, 1);

    table.announce(deal, false);
    for (int i = 0; i < 1000; ++i) table.relayTricks(deal, 9, AuditedSeat::noneStarting());
    EXPECT_EQ(table.bot.record.tricks.size(), MatchRecord::keptTricks);
    for (int i = 0; i < 1000; ++i) table.bot.onDealEnd(50, 0, 0);
    const MatchRecord& r = table.bot.record;
    EXPECT_EQ(r.rounds, 1002);
    EXPECT_EQ(r.cardPointsHistory.size(), MatchRecord::keptDeals);
    EXPECT_EQ(r.failureCount, 1001);
    ASSERT_EQ(r.failures.size(), MatchRecord::keptFailures);
    EXPECT_EQ(r.failures[1], "bot round 3: saw 9000 tricks");
    EXPECT_EQ(r.failures.back(), "bot round 1001: saw 0 tricks") << "the 1,001st line is counted, not kept";
}

TEST(BotAudit, LeadersComeFromTheFirstCardOfEachTrick) {
    Bot bot("b", 1, 0.0, {});
    bot.state.trick[2] = 33;
    bot.onCardPlayed(2, 33);
    bot.state.trick[3] = 34;
    bot.onCardPlayed(3, 34);
    bot.state.trick[0] = 31;
    bot.onCardPlayed(0, 31);
    EXPECT_EQ(bot.trickLeaders, std::vector<int>{2});
    bot.state.names[1] = "Partner";
    bot.state.trick[1] = 32;
    bot.onCardPlayed(1, 32);
    bot.onTrickComplete(bot.state.trick, bot.state);
    EXPECT_EQ(bot.record.partnerName, "Partner");
    ASSERT_EQ(bot.trickList.size(), 1u);
    EXPECT_EQ(bot.trickList[0], (Cards4{31, 32, 33, 34}));
}

}  // namespace
}  // namespace dorvi::client
