// Matches that end early: a lost player, the operator's "stop". The table is
// emptied and the next four players get a fresh, working table.

#include <gtest/gtest.h>

#include <string>

#include "server/game_support.h"

namespace dorvi::testing {
namespace {

// Every seat but `gone` must be ended by the server without a point block.
void expectEndedWithoutPoints(Table& table, int gone) {
    ASSERT_TRUE(table.waitDone(20s)) << showRecord(table.record.events());
    for (int r = 0; r < 4; ++r) {
        if (r == gone) continue;
        SeatClient& seat = *table.seats[static_cast<std::size_t>(r)];
        EXPECT_TRUE(seat.endedByServer()) << "seat " << r << ": " << seat.error();
        for (const auto& b : table.blocksOf(r)) {
            EXPECT_FALSE(blockText(b).starts_with("point")) << "seat " << r << " got a point block";
        }
    }
}

// A fresh table of four plays a whole deal correctly on the same server.
void expectFreshTablePlays(LoopbackServer& server, int gamesBefore) {
    TableSetup setup;
    setup.names = {"N0", "N1", "N2", "N3"};
    setup.scripts[0].onOk = [](int, int) { return std::string("bid  2"); };
    setup.scripts[0].onTrump = [](int) { return std::string("next 4"); };
    for (auto& s : setup.scripts) s.holdAt = [](int, std::string_view t) { return t.starts_with("point"); };
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.record.waitEverySeat("point")) << showRecord(table.record.events());
    MatchCheck check = checkDeals(table, 4, 0);
    EXPECT_EQ(check.problems, "") << showRecord(table.record.events());
    EXPECT_EQ(check.deals, 1);
    // This deal and the next one, which the table starts after the point
    // blocks, are announced once each. A thread of the old occupation would
    // announce more or double the prompts, which checkDeals refuses.
    EXPECT_TRUE(server.log().waitFor("Game beginning", gamesBefore + 2, 10s)) << server.log().dump();
    EXPECT_EQ(server.log().count("Game beginning"), gamesBefore + 2) << server.log().dump();
    for (int r = 0; r < 4; ++r) {
        auto blocks = table.blocksOf(r);
        ASSERT_GE(blocks.size(), 1u);
        EXPECT_EQ(blockText(blocks[0]), "name N" + std::to_string((r + 1) % 4)) << "seat " << r;
    }
}

TEST(GameAbort, PlayerLostDuringBiddingEndsTheMatchForAll) {
    LoopbackServer server(0.01);
    ASSERT_TRUE(server.started()) << server.log().dump();
    {
        TableSetup setup;
        setup.scripts[2].onOk = [](int, int) { return std::string("<close>"); };
        Table table(server, setup);
        ASSERT_TRUE(table.ok) << table.error;
        expectEndedWithoutPoints(table, 2);
        EXPECT_TRUE(server.log().waitFor("P2 disconnected", 1, 10s)) << server.log().dump();
    }
    expectFreshTablePlays(server, 1);
}

TEST(GameAbort, PlayerLostDuringPlayEndsTheMatchForAll) {
    LoopbackServer server(0.01);
    ASSERT_TRUE(server.started()) << server.log().dump();
    {
        TableSetup setup;
        setup.scripts[3].holdAt = [](int, std::string_view t) { return t == "okc"; };
        Table table(server, setup);
        ASSERT_TRUE(table.ok) << table.error;
        ASSERT_TRUE(table.record.waitFor([](const Received& e) { return e.seat == 3 && e.text() == "okc"; }))
            << showRecord(table.record.events());
        table.seats[3]->client().shutdown();
        expectEndedWithoutPoints(table, 3);
        EXPECT_TRUE(server.log().waitFor("P3 disconnected", 1, 10s)) << server.log().dump();
    }
    expectFreshTablePlays(server, 1);
}

TEST(GameAbort, StopMidDealEndsTheMatchAndStartOpensAFreshTable) {
    LoopbackServer server(0.01);
    ASSERT_TRUE(server.started()) << server.log().dump();
    {
        TableSetup setup;
        for (auto& s : setup.scripts) s.holdAt = [](int, std::string_view t) { return t == "okc"; };
        setup.transports[1] = Transport::WebSocket;
        Table table(server, setup);
        ASSERT_TRUE(table.ok) << table.error;
        ASSERT_TRUE(table.record.waitFor([](const Received& e) { return e.text() == "okc"; }))
            << showRecord(table.record.events());
        server.command("stop");
        expectEndedWithoutPoints(table, -1);
        EXPECT_EQ(table.seats[1]->closeFrame(), std::string("\x88\x02\x03\xe8", 4));
    }
    server.command("start");
    ASSERT_TRUE(server.log().waitFor("Server is accepting connections", 2, 10s)) << server.log().dump();
    ASSERT_TRUE(server.started());
    expectFreshTablePlays(server, 1);
}

}  // namespace
}  // namespace dorvi::testing
