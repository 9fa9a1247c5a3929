// The real programs over loopback: a server and four bots play whole matches
// at time scale 0, and every bot's audit of every deal must agree.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "running_programs.h"

namespace {

using namespace std::chrono_literals;
using namespace dorvi::testing;

class WholeMatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ready) << server.transcript(); }

    // Runs four bots for one match and checks what each of them reports.
    void playMatch(const std::string& name, std::uint16_t botPort, bool webSocket) {
        auto bots = startBots(name, 4, botPort, webSocket, true);
        ASSERT_TRUE(bots->started());
        const auto status = bots->waitExit(240s);
        ASSERT_EQ(status, std::optional<int>(0)) << "bots did not end by themselves\n"
                                                 << bots->transcript() << "--- server\n" << server.transcript();

        expectCleanMatches(*bots, botNames(name, 4));
        const auto summaries = botSummaries(*bots);
        ASSERT_EQ(summaries.size(), 4u) << bots->transcript();
        for (const BotSummary& s : summaries) {
            EXPECT_EQ(s.rounds, summaries[0].rounds) << "one table, so the same deals for all";
        }

        // One "Game beginning" per deal, written once the server's main loop reaches it.
        const std::size_t expected = beginningsBefore + static_cast<std::size_t>(summaries[0].rounds);
        server.waitForCount("Game beginning", expected, 10s);
        const std::size_t total = countLines(server.log(), "Game beginning");
        EXPECT_EQ(total, expected) << server.transcript();
        beginningsBefore = total;
    }

    ServerRun server{{"--seed", "7"}};
    std::size_t beginningsBefore = 0;
};

TEST_F(WholeMatch, FourBotsOverTcpThenFourOverWebSocket) {
    playMatch("tcp", server.port, false);
    playMatch("web", server.wsPort, true);
}

}  // namespace
