// The play of a deal and its scoring, as four clients see them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/game_support.h"

namespace dorvi::testing {
namespace {

struct Play {
    int seat;
    int card;
};

// The cards of the deal as seat r saw them relayed: (absolute seat, card).
std::vector<Play> relayedPlays(const std::vector<std::string>& blocks, int r, std::string& problem) {
    std::vector<Play> plays;
    for (const auto& b : blocks) {
        if (b.size() != shortBlockSize || b[1] != ' ' || b.compare(0, 5, "point") == 0) continue;
        int rel = b[0] - '0';
        std::string want = padBlock(std::string{b[0], ' ', b[2]}, shortBlockSize);
        if (rel < 0 || rel > 3 || b != want) problem += "bad relay at seat " + std::to_string(r) + ": " + show(b) + "\n";
        plays.push_back({(r + rel) % 4, static_cast<unsigned char>(b[2])});
    }
    return plays;
}

TEST(GameTricks, LegalDealFollowsTrickWinnersAndScoresForBothTeams) {
    LoopbackServer server(0.01, 7);
    ASSERT_TRUE(server.started()) << server.log().dump();

    // Seat 0 bids and names Spades; the others pass: maker 0, seat 1 leads.
    const int contract = 3;
    TableSetup setup;
    setup.scripts[0].onOk = [](int, int) { return std::string("bid  3"); };
    setup.scripts[0].onTrump = [](int) { return std::string("next 3"); };
    for (auto& s : setup.scripts) s.holdAt = [](int, std::string_view t) { return t.starts_with("point"); };
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.record.waitEverySeat("point")) << showRecord(table.record.events());
    auto events = table.record.events();

    std::vector<int> prompted;
    for (const auto& e : events) {
        if (e.text() == "okc") {
            EXPECT_EQ(e.block, padBlock("okc", shortBlockSize));
            prompted.push_back(e.seat);
        }
    }

    std::string problem;
    auto plays = relayedPlays(table.blocksOf(0), 0, problem);
    for (int r = 1; r < 4; ++r) {
        auto other = relayedPlays(table.blocksOf(r), r, problem);
        ASSERT_EQ(other.size(), plays.size()) << "relays at seat " << r;
        for (std::size_t i = 0; i < plays.size(); ++i) {
            EXPECT_TRUE(other[i].seat == plays[i].seat && other[i].card == plays[i].card)
                << "relay " << i << " differs at seat " << r;
        }
    }
    EXPECT_EQ(problem, "");
    ASSERT_EQ(plays.size(), 36u) << showRecord(events);
    ASSERT_EQ(prompted.size(), 36u) << showRecord(events);

    // Each trick: prompts clockwise from the leader, the winner leads next.
    int leader = 1;
    int pointsA = 0;
    int tricksA = 0;
    for (int t = 0; t < 9; ++t) {
        Trick cards{};
        for (int j = 0; j < 4; ++j) {
            const Play& p = plays[static_cast<std::size_t>(4 * t + j)];
            EXPECT_EQ(prompted[static_cast<std::size_t>(4 * t + j)], (leader + j) % 4) << "trick " << t << " card " << j;
            EXPECT_EQ(p.seat, (leader + j) % 4) << "trick " << t << " card " << j;
            cards[static_cast<std::size_t>(j)] = static_cast<CardCode>(p.card);
        }
        int winner = (leader + findTrickWinner(cards, contract)) % 4;
        if (winner % 2 == 0) {
            ++tricksA;
            for (CardCode c : cards) pointsA += cardPoints(c);
        }
        leader = winner;
    }
    int total = 0;
    for (const auto& p : plays) total += cardPoints(static_cast<CardCode>(p.card));
    EXPECT_EQ(total, 120) << "the 36 cards of a deal hold 120 card points";

    DealScore score = dealScore(pointsA, contract, 0);
    int a = score.team == 0 ? score.gamePoints : 0;
    int b = score.team == 1 ? score.gamePoints : 0;
    for (int r = 0; r < 4; ++r) {
        std::string got;
        for (const auto& blk : table.blocksOf(r)) {
            if (blockText(blk).starts_with("point")) got = blk;
        }
        std::string want = r % 2 == 0 ? pointBlock(pointsA, a, b) : pointBlock(120 - pointsA, b, a);
        EXPECT_EQ(got, want) << show(got) << " vs " << show(want) << "point block of seat " << r << " (team 0 took " << tricksA
                                                  << " tricks)";
    }
}

TEST(GameTricks, AllPassDealIsPlayedWithDiamondsAndScoredByItsOwnTable) {
    LoopbackServer server(0.01, 3);
    ASSERT_TRUE(server.started()) << server.log().dump();
    TableSetup setup;  // every seat passes
    for (auto& s : setup.scripts) s.holdAt = [](int, std::string_view t) { return t.starts_with("point"); };
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.record.waitEverySeat("point")) << showRecord(table.record.events());
    // Contract 6 with the last passer, seat 3, as maker: seat 0 leads, Diamonds
    // decide the tricks, and the all-pass table gives the game points.
    MatchCheck check = checkDeals(table, contractAllPassed, 3);
    EXPECT_EQ(check.problems, "") << showRecord(table.record.events());
    EXPECT_EQ(check.deals, 1);
}

TEST(GameTricks, DealWithoutTricksForTeamZeroGivesTwelveAndEndsTheMatch) {
    LoopbackServer server(0.01, 11);
    ASSERT_TRUE(server.started()) << server.log().dump();

    // The server trusts its clients' cards: seats 1 and 3 always play the
    // top trump and seats 0 and 2 the lowest card, so team 1 takes every trick.
    TableSetup setup;
    for (int seat = 0; seat < 4; ++seat) {
        setup.scripts[static_cast<std::size_t>(seat)].onCard = [seat](int, const Hand&, const Trick&, int) {
            return seat % 2 == 1 ? 94 : 11;
        };
    }
    setup.scripts[0].onOk = [](int, int) { return std::string("bid  1"); };
    setup.scripts[0].onTrump = [](int) { return std::string("next 2"); };
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.waitDone(30s)) << showRecord(table.record.events());

    // 0 card points: team 1 gets 12 game points, which ends the match; the
    // zero bytes stay in place in the point block.
    for (int r = 0; r < 4; ++r) {
        auto blocks = table.blocksOf(r);
        ASSERT_FALSE(blocks.empty());
        std::string want = r % 2 == 0 ? pointBlock(0, 0, 12) : pointBlock(120, 12, 0);
        EXPECT_EQ(show(blocks.back()), show(want)) << "last block of seat " << r;
        EXPECT_TRUE(table.seats[static_cast<std::size_t>(r)]->endedByServer())
            << "seat " << r << ": " << table.seats[static_cast<std::size_t>(r)]->error();
        int points = 0;
        for (const auto& b : blocks) points += blockText(b).starts_with("point") ? 1 : 0;
        EXPECT_EQ(points, 1) << "seat " << r;
    }
    EXPECT_EQ(server.log().count("Game beginning"), 1);
}

}  // namespace
}  // namespace dorvi::testing
