#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"
#include "rules/blocks.h"
#include "server_harness.h"
#include "support/protocol_client.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::testing::connectedSlots;
using dorvi::testing::InProcessServer;
using dorvi::testing::ProtocolClient;
using Transport = dorvi::testing::ProtocolClient::Transport;
using namespace std::chrono_literals;
namespace net = dorvi::net;
namespace srv = dorvi::server;

namespace {

// Reads everything a client is sent until the server ends its connection.
class Drain {
public:
    explicit Drain(ProtocolClient& client)
        : thread_([&client, this] { ended_ = client.waitEnd(120s); }) {}
    ~Drain() { thread_.join(); }
    bool ended() const { return ended_; }

private:
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

// Four players that greet and ask for a table.
std::vector<std::unique_ptr<ProtocolClient>> joinFour(InProcessServer& server, std::vector<std::string> names) {
    std::vector<std::unique_ptr<ProtocolClient>> players;
    for (const std::string& name : names) {
        players.push_back(std::make_unique<ProtocolClient>(server.port(), Transport::Tcp));
        players.back()->send(name);
        players.back()->send("join");
    }
    return players;
}

}  // namespace

TEST(ConnectionLimits, GreetingDeadlineEndsSilentAndSlowStarts) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    auto began = std::chrono::steady_clock::now();

    ProtocolClient silent(server.port(), Transport::Tcp);
    ProtocolClient halfGreeting(server.port(), Transport::Tcp);
    halfGreeting.sendBytes(std::string(64, 'h'));
    int code = 0;
    net::SOCKET halfUpgrade = net::connectSocket("127.0.0.1", server.wsPort(), code);
    ASSERT_NE(halfUpgrade, net::INVALID_SOCKET);
    std::string head = "GET / HTTP/1.1\r\n";
    net::sendAll(halfUpgrade, head.data(), head.size());
    // One byte at a time keeps each read short, but not the greeting.
    ProtocolClient trickle(server.port(), Transport::Tcp);
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        for (int i = 0; i < 60 && trickling; ++i) {
            if (!trickle.sendBytes("t")) break;
            std::this_thread::sleep_for(500ms);
        }
    });
    ProtocolClient prompt(server.port(), Transport::Tcp);
    prompt.send("Kalle");
    ASSERT_TRUE(server.log().waitFor("Kalle connected", 10s));

    EXPECT_TRUE(silent.waitEnd(20s)) << "a connection without greeting is ended";
    EXPECT_TRUE(halfGreeting.waitEnd(20s));
    EXPECT_TRUE(trickle.waitEnd(20s)) << "a greeting that trickles in is held to the same deadline";
    trickling = false;
    trickler.join();
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GE(waited, 9s) << "not before the deadline";
    EXPECT_LT(waited, 20s);
    char byte;
    net::setReceiveTimeout(halfUpgrade, 10000);
    EXPECT_EQ(net::recvSome(halfUpgrade, &byte, 1), 0) << "an unfinished upgrade is ended too";
    net::closeSocket(halfUpgrade);

    EXPECT_TRUE(server.waitUntil([](srv::Server& s) { return connectedSlots(s) == 1; }, 10s))
        << "only the greeted player keeps its slot";
    EXPECT_FALSE(prompt.waitEnd(100ms)) << "a greeted player has no read deadline";
    EXPECT_EQ(server.log().lines().size(), 3u) << server.log().transcript();
}

TEST(ConnectionLimits, PlayerThatStopsReadingIsDroppedAndOthersPlayOn) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    auto table = joinFour(server, {"stuck", "b", "c", "d"});
    ASSERT_TRUE(server.log().waitFor("Game beginning", 10s)) << server.log().transcript();
    Drain b(*table[1]);
    Drain c(*table[2]);
    Drain d(*table[3]);

    // Every bid is relayed to all four; "stuck" reads none of them.
    auto deadline = std::chrono::steady_clock::now() + 90s;
    std::string bid = padBlock("bid  1", blockSize);
    std::string batch;
    for (int i = 0; i < 200; ++i) batch += bid;
    while (!server.log().waitFor("stuck disconnected", 1ms) && std::chrono::steady_clock::now() < deadline) {
        if (!table[1]->sendBytes(batch)) break;
        server.waitUntil([](srv::Server& s) { return s.queue.size() < 100; }, 10s);
    }
    ASSERT_TRUE(server.log().waitFor("stuck disconnected", 10s)) << "the stuck player is dropped after the send time-out\n"
                                                                << server.log().transcript();

    // The server goes on: four new players are greeted and seated.
    auto next = joinFour(server, {"e", "f", "g", "h"});
    auto first = server.log().waitFor("Game beginning", 1ms);
    ASSERT_TRUE(first);
    EXPECT_TRUE(server.log().waitFor("Game beginning", 20s, *first + 1)) << server.log().transcript();
    table[0]->close();
}
