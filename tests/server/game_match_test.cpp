// Whole matches to 12 game points, over TCP and with WebSocket players.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/game_support.h"

namespace dorvi::testing {
namespace {

// Seat 0 bids 1 and names Diamonds in every deal, the others pass: contract
// 1, maker 0. Its bonus makes a match short.
TableSetup diamondsBySeatZero() {
    TableSetup setup;
    setup.scripts[0].onOk = [](int, int) { return std::string("bid  1"); };
    setup.scripts[0].onTrump = [](int) { return std::string("next 1"); };
    return setup;
}

void playMatch(TableSetup setup) {
    LoopbackServer server(0.01, 5);
    ASSERT_TRUE(server.started()) << server.log().dump();
    Table table(server, setup);
    ASSERT_TRUE(table.ok) << table.error;
    ASSERT_TRUE(table.waitDone(120s)) << showRecord(table.record.events());

    MatchCheck check = checkDeals(table, 1, 0);
    EXPECT_EQ(check.problems, "") << showRecord(table.record.events());
    ASSERT_GE(check.deals, 1);
    EXPECT_TRUE(check.scoreA == 12 || check.scoreB == 12) << check.scoreA << ":" << check.scoreB;
    EXPECT_EQ(server.log().count("Game beginning"), check.deals) << server.log().dump();

    for (int r = 0; r < 4; ++r) {
        SeatClient& seat = *table.seats[static_cast<std::size_t>(r)];
        auto blocks = table.blocksOf(r);
        // The last point block is the last block: the connection ends right after.
        ASSERT_FALSE(blocks.empty());
        int own = r % 2 == 0 ? check.scoreA : check.scoreB;
        int other = r % 2 == 0 ? check.scoreB : check.scoreA;
        EXPECT_TRUE(blockText(blocks.back()).starts_with("point")) << "seat " << r << " last got " << show(blocks.back());
        EXPECT_EQ(static_cast<unsigned char>(blocks.back()[6]), own) << "seat " << r;
        EXPECT_EQ(static_cast<unsigned char>(blocks.back()[7]), other) << "seat " << r;
        EXPECT_TRUE(seat.endedByServer()) << "seat " << r << ": " << seat.error();
        if (setup.transports[static_cast<std::size_t>(r)] == Transport::WebSocket) {
            EXPECT_EQ(seat.closeFrame(), std::string("\x88\x02\x03\xe8", 4)) << "seat " << r;
        } else {
            EXPECT_EQ(seat.closeFrame(), "") << "seat " << r;
        }
    }
    // The table is empty again.
    std::lock_guard<std::mutex> guard(server.server().mutex);
    const auto& t = server.server().tables[0];
    EXPECT_EQ(t.seated, 0);
    EXPECT_FALSE(t.active);
    EXPECT_EQ(t.scoreA + t.scoreB, 0);
}

TEST(GameMatch, FourTcpPlayersPlayToTwelve) { playMatch(diamondsBySeatZero()); }

TEST(GameMatch, WebSocketAndTcpPlayersPlayToTwelve) {
    TableSetup setup = diamondsBySeatZero();
    setup.transports = {Transport::WebSocket, Transport::Tcp, Transport::WebSocket, Transport::Tcp};
    playMatch(setup);
}

TEST(GameMatch, ThirteenTablesPlayAtOnceAndKeepTheirBlocksApart) {
    LoopbackServer server(0.01, 13);
    ASSERT_TRUE(server.started()) << server.log().dump();
    std::vector<std::unique_ptr<Table>> tables;
    for (int t = 0; t < 13; ++t) {
        TableSetup setup;
        for (int i = 0; i < 4; ++i) setup.names[static_cast<std::size_t>(i)] = "T" + std::to_string(t) + "P" + std::to_string(i);
        setup.scripts[0].onOk = [](int, int) { return std::string("bid  2"); };
        setup.scripts[0].onTrump = [](int) { return std::string("next 3"); };
        for (auto& sc : setup.scripts) sc.holdAt = [](int, std::string_view text) { return text.starts_with("point"); };
        // Mixed transports, so both kinds of connection run side by side.
        if (t % 2 == 1) setup.transports = {Transport::WebSocket, Transport::Tcp, Transport::WebSocket, Transport::Tcp};
        tables.push_back(std::make_unique<Table>(server, setup));
        ASSERT_TRUE(tables.back()->ok) << "table " << t << ": " << tables.back()->error;
    }
    for (int t = 0; t < 13; ++t) {
        Table& table = *tables[static_cast<std::size_t>(t)];
        ASSERT_TRUE(table.record.waitEverySeat("point", 1, 60s)) << "table " << t << "\n" << showRecord(table.record.events());
        MatchCheck check = checkDeals(table, 3, 0);
        EXPECT_EQ(check.problems, "") << "table " << t << "\n" << showRecord(table.record.events());
        EXPECT_EQ(check.deals, 1) << "table " << t;
        std::string own = "name T" + std::to_string(t) + "P";
        for (const auto& e : table.record.events()) {
            if (e.text().starts_with("name")) {
                EXPECT_TRUE(e.text().starts_with(own)) << "table " << t << ": " << show(e.block);
            }
        }
    }
}

}  // namespace
}  // namespace dorvi::testing
