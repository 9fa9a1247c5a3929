// The real programs over loopback: a server and four bots play whole matches
// at time scale 0, and every bot's audit of every deal must agree.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/sockets.h"
#include "support/free_port.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using dorvi::testing::freePort;
using dorvi::testing::Process;

struct Summary {
    int audited = 0;
    int rounds = 0;
    int failures = 0;
};

class WholeMatch : public ::testing::Test {
protected:
    void SetUp() override {
        port = freePort();
        wsPort = freePort();
        ASSERT_NE(port, 0);
        ASSERT_NE(wsPort, 0);
        ASSERT_NE(port, wsPort);
        server = std::make_unique<Process>(
            DORVI_SERVER_BIN, std::vector<std::string>{"--start", "--port", std::to_string(port), "--ws-port",
                                                       std::to_string(wsPort), "--time-scale", "0", "--seed", "7"});
        ASSERT_TRUE(server->started());
        ASSERT_TRUE(server->waitForLine("Server is accepting connections", 10s)) << server->transcript();
        ASSERT_TRUE(server->waitForLine("Accepting browsers on port " + std::to_string(wsPort), 10s))
            << server->transcript();
    }

    void TearDown() override {
        if (!server) return;
        server->write("quit\n");
        const auto status = server->waitExit(10s);
        EXPECT_EQ(status, std::optional<int>(0)) << "the server did not end after quit\n" << server->transcript();
    }

    // Runs four bots for one match and checks what each of them reports.
    void playMatch(const std::string& name, std::uint16_t botPort, bool webSocket) {
        std::vector<std::string> args{"--port", std::to_string(botPort), "--count", "4", "--name", name,
                                      "--once", "--time-scale", "0"};
        if (webSocket) args.push_back("--websocket");
        Process bots(DORVI_BOT_BIN, args);
        ASSERT_TRUE(bots.started());
        const auto status = bots.waitExit(240s);
        ASSERT_EQ(status, std::optional<int>(0)) << "bots did not end by themselves\n"
                                                 << bots.transcript() << "--- server\n" << server->transcript();

        std::vector<Summary> summaries(4);
        std::vector<bool> seen(4, false);
        for (const std::string& line : bots.lines()) {
            EXPECT_EQ(line.rfind("AUDIT FAILED", 0), std::string::npos) << line;
            int bot = 0;
            Summary s;
            char tail[32] = {};
            const std::string format = name + "%d: audited %d/%d rounds, %d failures%31s";
            if (std::sscanf(line.c_str(), format.c_str(), &bot, &s.audited, &s.rounds, &s.failures, tail) == 4 &&
                bot >= 1 && bot <= 4) {
                EXPECT_FALSE(seen[bot - 1]) << "two summaries for " << line;
                seen[bot - 1] = true;
                summaries[bot - 1] = s;
            }
        }
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(seen[i]) << "no summary from " << name << i + 1 << "\n" << bots.transcript();
            EXPECT_GE(summaries[i].rounds, 1) << name << i + 1;
            EXPECT_EQ(summaries[i].audited, summaries[i].rounds) << name << i + 1 << "\n" << bots.transcript();
            EXPECT_EQ(summaries[i].failures, 0) << name << i + 1;
            EXPECT_EQ(summaries[i].rounds, summaries[0].rounds) << "one table, so the same deals for all";
        }

        // One "Game beginning" per deal, written once the server's main loop reaches it.
        const int expected = beginningsBefore + summaries[0].rounds;
        int found = 0;
        std::size_t from = 0;
        while (found < expected) {
            const auto at = server->waitForLine("Game beginning", 10s, from);
            if (!at) break;
            ++found;
            from = *at + 1;
        }
        int total = 0;
        for (const std::string& line : server->lines()) total += line == "Game beginning";
        EXPECT_EQ(total, expected) << server->transcript();
        beginningsBefore = total;
    }

    std::uint16_t port = 0;
    std::uint16_t wsPort = 0;
    std::unique_ptr<Process> server;
    int beginningsBefore = 0;
};

TEST_F(WholeMatch, FourBotsOverTcpThenFourOverWebSocket) {
    playMatch("tcp", port, false);
    playMatch("web", wsPort, true);
}

}  // namespace
