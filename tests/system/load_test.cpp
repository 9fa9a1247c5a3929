// A full server: 52 bots on all 13 tables, half over TCP and half over
// WebSocket, each playing one whole match, while the operator's console keeps
// answering; afterwards every slot takes a connection again.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "running_programs.h"

namespace {

using namespace std::chrono_literals;
using namespace dorvi::testing;

TEST(Load, ThirteenTablesOfMixedBotsPlayWholeMatches) {
    ServerRun server;
    ASSERT_TRUE(server.ready) << server.transcript();

    // Four processes started in turn, so TCP and WebSocket players share tables.
    struct Group {
        std::string name;
        bool webSocket;
        std::unique_ptr<Process> bots;
    };
    std::vector<Group> groups;
    for (const char* name : {"tcpa", "weba", "tcpb", "webb"}) {
        const bool webSocket = name[0] == 'w';
        groups.push_back({name, webSocket, startBots(name, 13, webSocket ? server.wsPort : server.port, webSocket, true)});
        ASSERT_TRUE(groups.back().bots->started());
    }

    // The console is heard while the tables play.
    ASSERT_TRUE(server.log().waitForLine("Game beginning", 60s)) << server.transcript();
    for (int i = 1; i <= 3; ++i) {
        const std::string word = "loadcheck" + std::to_string(i);
        ASSERT_TRUE(server.log().write("print" + word + "\n"));
        EXPECT_TRUE(server.log().waitForLine(word, 10s)) << "the console went unanswered under load";
    }
    bool stillPlaying = false;
    for (Group& g : groups) stillPlaying = stillPlaying || !g.bots->waitExit(1ms);
    EXPECT_TRUE(stillPlaying) << "the console was only checked after the matches ended";

    int roundsSeen = 0;
    for (Group& g : groups) {
        ASSERT_EQ(g.bots->waitExit(150s), std::optional<int>(0)) << g.name << " did not finish\n"
                                                                 << g.bots->transcript() << "--- server\n"
                                                                 << server.transcript();
        expectCleanMatches(*g.bots, botNames(g.name, 13));
        for (const BotSummary& s : botSummaries(*g.bots)) roundsSeen += s.rounds;
    }
    // Each deal is seen by the four bots of its table, and logged once.
    EXPECT_EQ(roundsSeen % 4, 0);
    EXPECT_TRUE(server.waitForCount("Game beginning", static_cast<std::size_t>(roundsSeen / 4), 20s));
    EXPECT_EQ(countLines(server.log(), "Game beginning"), static_cast<std::size_t>(roundsSeen / 4))
        << server.transcript();
    EXPECT_EQ(countLinesEndingWith(server.log(), " disconnected"), 0u) << server.transcript();

    expectAllSlotsFree(server, "again");
}

// Over WebSocket a match ends with the closing handshake, so a full server of
// browser-side bots ends every match as a match, never as a broken connection.
TEST(Load, ThirteenTablesOfWebSocketBotsEndEveryMatchCleanly) {
    ServerRun server;
    ASSERT_TRUE(server.ready) << server.transcript();
    auto bots = startBots("ws", 52, server.wsPort, true, true);
    ASSERT_TRUE(bots->started());
    ASSERT_EQ(bots->waitExit(150s), std::optional<int>(0)) << bots->transcript() << "--- server\n"
                                                             << server.transcript();
    expectCleanMatches(*bots, botNames("ws", 52));
    EXPECT_EQ(countLinesEndingWith(server.log(), " disconnected"), 0u) << server.transcript();
}

}  // namespace
