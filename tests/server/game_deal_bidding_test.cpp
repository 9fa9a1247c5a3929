// The start of a deal and its bidding, as four clients see them.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "server/game_support.h"

namespace dorvi::testing {
namespace {

// The deal a seeded engine gives: each card of the ascending deck takes the
// slot of the first draw modulo 36 that finds it free.
std::array<std::string, 4> expectedHands(std::mt19937& engine) {
    std::array<int, 36> slots{};
    for (int rank = 1; rank <= 9; ++rank) {
        for (int suit = 1; suit <= 4; ++suit) {
            for (;;) {
                std::uint32_t x = engine() % 36u;
                if (slots[x] == 0) {
                    slots[x] = rank * 10 + suit;
                    break;
                }
            }
        }
    }
    std::array<std::string, 4> hands;
    for (int seat = 0; seat < 4; ++seat) {
        for (int i = 0; i < 9; ++i) hands[static_cast<std::size_t>(seat)] += std::to_string(slots[static_cast<std::size_t>(9 * seat + i)]);
    }
    return hands;
}

SeatScript holdAt(const std::string& text) {
    SeatScript s;
    s.holdAt = [text](int, std::string_view t) { return t == text; };
    return s;
}

TEST(GameDeal, SeededHandsAndNameBlocksReachEverySeatInOrder) {
    const std::uint32_t seed = 20261208;
    LoopbackServer server(0.01, seed);
    ASSERT_TRUE(server.started()) << server.log().dump();

    // Names travel as raw bytes: one with Windows-1257 letters, one empty.
    TableSetup setup;
    setup.names = {"Mari", std::string("J\xe4rv", 4), "", "Tiit"};
    for (auto& s : setup.scripts) s = holdAt("ok");
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    // Seat 0's prompt follows its hand; the others' hands come before it.
    ASSERT_TRUE(table.record.waitFor([](const Received& e) { return e.text() == "ok"; }) &&
                table.record.waitUntil([](const std::vector<Received>& events) {
                    int hands = 0;
                    for (const auto& e : events) hands += e.text().size() == 18 ? 1 : 0;
                    return hands == 4;
                }))
        << showRecord(table.record.events());

    std::mt19937 engine(seed);
    auto hands = expectedHands(engine);
    for (int r = 0; r < 4; ++r) {
        auto blocks = table.blocksOf(r);
        ASSERT_GE(blocks.size(), 4u) << "seat " << r << "\n" << showRecord(table.record.events());
        for (int k = 1; k <= 3; ++k) {
            std::string want = "name " + setup.names[static_cast<std::size_t>((r + k) % 4)];
            EXPECT_EQ(blocks[static_cast<std::size_t>(k - 1)], padBlock(want, blockSize))
                << "name block " << k << " of seat " << r;
        }
        EXPECT_EQ(blocks[3], padBlock(hands[static_cast<std::size_t>(r)], blockSize)) << "hand of seat " << r;
        EXPECT_EQ(blockText(blocks[3]).size(), 18u);
        // Only seat 0 is prompted, right after its hand.
        if (r == 0) {
            ASSERT_EQ(blocks.size(), 5u);
            EXPECT_EQ(blocks[4], padBlock("ok", blockSize));
        } else {
            EXPECT_EQ(blocks.size(), 4u) << "seat " << r << " got more than names and hand";
        }
    }
    EXPECT_EQ(server.log().count("Game beginning"), 1);
}

// One bidding scenario: the answers of each seat to its successive "ok"
// prompts and its answer to "trump".
struct Bidding {
    std::string name;
    std::array<std::vector<std::string>, 4> answers;
    std::string trumpAnswer;
    // (seat, prompt) in the order they went out.
    std::vector<std::pair<int, std::string>> prompts;
    std::string announcement;  // the contract block every seat receives
    int firstLeader;
};

void runBidding(const Bidding& b) {
    SCOPED_TRACE(b.name);
    LoopbackServer server(0.01);
    ASSERT_TRUE(server.started()) << server.log().dump();

    TableSetup setup;
    for (int seat = 0; seat < 4; ++seat) {
        SeatScript& s = setup.scripts[static_cast<std::size_t>(seat)];
        auto answers = b.answers[static_cast<std::size_t>(seat)];
        s.onOk = [answers](int, int n) {
            return n < static_cast<int>(answers.size()) ? answers[static_cast<std::size_t>(n)] : std::string();
        };
        s.onTrump = [t = b.trumpAnswer](int) { return t; };
        s.holdAt = [](int, std::string_view t) { return t == "okc"; };
    }
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.record.waitFor([](const Received& e) { return e.text() == "okc"; }) &&
                table.record.waitEverySeat("next"))
        << showRecord(table.record.events());
    auto events = table.record.events();

    std::vector<std::pair<int, std::string>> prompts;
    std::vector<std::pair<int, int>> bids;  // (seat, value) from the answers actually given
    std::array<int, 4> answered{};
    int firstOkc = -1;
    std::array<std::vector<std::string>, 4> relays, contracts;
    for (const auto& e : events) {
        std::string text(e.text());
        if (text == "ok" || text == "trump") {
            prompts.emplace_back(e.seat, text);
            if (text == "ok") {
                const auto& mine = b.answers[static_cast<std::size_t>(e.seat)];
                const auto& a = mine[static_cast<std::size_t>(answered[static_cast<std::size_t>(e.seat)]++)];
                if (a.size() == 6) bids.emplace_back(e.seat, a[5] - '0');
            }
        } else if (text == "okc") {
            if (firstOkc < 0) firstOkc = e.seat;
        } else if (text.starts_with("next")) {
            contracts[static_cast<std::size_t>(e.seat)].push_back(e.block);
        } else if (text.size() >= 3 && text[1] == ' ' && !text.starts_with("name")) {
            relays[static_cast<std::size_t>(e.seat)].push_back(text);
        }
    }
    EXPECT_EQ(prompts, b.prompts) << showRecord(events);
    EXPECT_EQ(firstOkc, b.firstLeader) << showRecord(events);

    for (int r = 0; r < 4; ++r) {
        // Every bid reaches every seat, with the receiver's bidder index.
        std::vector<std::string> want;
        for (auto [s, v] : bids) want.push_back(std::to_string((r - s + 5) % 4) + " " + std::to_string(v));
        EXPECT_EQ(relays[static_cast<std::size_t>(r)], want) << "bid relays of seat " << r;
        ASSERT_EQ(contracts[static_cast<std::size_t>(r)].size(), 1u) << "contract blocks of seat " << r << "\n" << showRecord(events);
        EXPECT_EQ(contracts[static_cast<std::size_t>(r)][0], padBlock(b.announcement, blockSize))
            << "contract block of seat " << r;
    }
}

TEST(GameBidding, ThreePassesThenTheLastBidderNamesTrump) {
    runBidding({"seats 0-2 pass, seat 3 bids",
                {{{"bid  0"}, {"bid  0"}, {"bid  0"}, {"bid  4"}}},
                "next 3",
                {{0, "ok"}, {1, "ok"}, {2, "ok"}, {3, "ok"}, {3, "trump"}},
                "next 3",
                0});
}

TEST(GameBidding, AllPassMakesTheLastPasserMakerWithNext1) {
    runBidding({"all pass",
                {{{"bid  0"}, {"bid  0"}, {"bid  0"}, {"bid  0"}}},
                "",
                {{0, "ok"}, {1, "ok"}, {2, "ok"}, {3, "ok"}},
                "next 1",
                0});
}

TEST(GameBidding, FirstBidderWinsWhenTheOthersPass) {
    // The trump choice is relayed whole, bytes behind its text included.
    runBidding({"seat 0 bids, seats 1-3 pass",
                {{{"bid  3"}, {"bid  0"}, {"bid  0"}, {"bid  0"}}},
                std::string("next 4\0tail", 11),
                {{0, "ok"}, {1, "ok"}, {2, "ok"}, {3, "ok"}, {0, "trump"}},
                std::string("next 4\0tail", 11),
                1});
}

TEST(GameBidding, PassedSeatsAreSkippedInLaterRounds) {
    runBidding({"0 bids, 1 bids, 2 and 3 pass, 0 bids, 1 passes",
                {{{"bid  2", "bid  4"}, {"bid  3", "bid  0"}, {"bid  0"}, {"bid  0"}}},
                "next 2",
                {{0, "ok"}, {1, "ok"}, {2, "ok"}, {3, "ok"}, {0, "ok"}, {1, "ok"}, {0, "trump"}},
                "next 2",
                1});
}

TEST(GameBidding, TenBidNamesDiamondsAtOnce) {
    // Seat 1 answers its prompt with the seven-byte bid: contract 1, maker 1.
    runBidding({"bid  10 at seat 1",
                {{{"bid  5"}, {"bid  10"}, {}, {}}},
                "",
                {{0, "ok"}, {1, "ok"}},
                "next 1",
                2});
}

}  // namespace
}  // namespace dorvi::testing
