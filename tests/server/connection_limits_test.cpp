#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/sockets.h"
#include "rules/blocks.h"
#include "server/game_support.h"
#include "server_harness.h"
#include "support/protocol_client.h"
#include "support/raw_client.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::testing::connectedSlots;
using dorvi::testing::InProcessServer;
using dorvi::testing::ProtocolClient;
using dorvi::testing::RawClient;
using dorvi::testing::repeatedBlock;
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

TEST(ConnectionLimits, PlayerThatStopsReadingIsDroppedWithoutHoldingUpOthers) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    auto table = joinFour(server, {"stuck", "b", "c", "d"});
    ASSERT_TRUE(server.log().waitFor("Game beginning", 10s)) << server.log().transcript();
    Drain c(*table[2]);
    Drain d(*table[3]);

    // Every bid is relayed to all four; "stuck" reads none of them. "b" bids
    // like a client that waits for each answer, so a send that waited for
    // "stuck" would show as a slow round.
    auto deadline = std::chrono::steady_clock::now() + 120s;
    auto slowest = std::chrono::steady_clock::duration::zero();
    int rounds = 0;
    std::string block;
    while (server.log().count("stuck disconnected") == 0 && std::chrono::steady_clock::now() < deadline) {
        auto sent = std::chrono::steady_clock::now();
        if (!table[1]->send("bid  1")) break;
        ProtocolClient::Read r;
        while ((r = table[1]->next(block, 10s)) == ProtocolClient::Read::Block && dorvi::blockText(block) != "1 1") {
        }
        if (r != ProtocolClient::Read::Block) break;
        slowest = std::max(slowest, std::chrono::steady_clock::now() - sent);
        ++rounds;
    }
    ASSERT_TRUE(server.log().waitFor("stuck disconnected", 10s))
        << "the stuck player is dropped once its send buffer is full\n"
        << server.log().transcript();
    EXPECT_LT(slowest, 1s) << "the slowest of " << rounds << " bids: no send may wait for the stuck player";

    // The server goes on: four new players are greeted and seated.
    auto next = joinFour(server, {"e", "f", "g", "h"});
    auto first = server.log().waitFor("Game beginning", 1ms);
    ASSERT_TRUE(first);
    EXPECT_TRUE(server.log().waitFor("Game beginning", 20s, *first + 1)) << server.log().transcript();
    table[0]->close();
}

namespace {

// The slot and id of the connection greeted with `name`.
struct SlotOf {
    std::size_t index = 0;
    uint64_t id = 0;
    bool found = false;
};

SlotOf slotNamed(InProcessServer& server, const std::string& name) {
    return server.locked([&](srv::Server& s) {
        SlotOf slot;
        for (std::size_t i = 0; i < s.slots.size(); ++i) {
            if (s.slots[i].connected && s.slots[i].name == name) slot = {i, s.slots[i].id, true};
        }
        return slot;
    });
}

// Closes the client, then waits until its connection no longer holds its
// slot; how long that took.
std::optional<std::chrono::milliseconds> freedAfterClose(InProcessServer& server, RawClient& client, SlotOf slot) {
    client.close();
    auto from = std::chrono::steady_clock::now();
    if (!server.waitUntil(
            [&](srv::Server& s) { return !s.slots[slot.index].connected || s.slots[slot.index].id != slot.id; }, 30s)) {
        return std::nullopt;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from);
}

}  // namespace

TEST(ConnectionLimits, FloodWaitsItsTurnsAndIsFreedWhenItCloses) {
    dorvi::testing::LoopbackServer server(0.1);  // a turn of the main loop: 10 ms
    ASSERT_TRUE(server.started());
    dorvi::testing::Table table(server);
    ASSERT_TRUE(table.ok) << table.error;

    // A client at no table sends a burst of bids just under the flood limit
    // while the table plays: they may cost the table one turn per message.
    RawClient flood(server.port());
    ASSERT_TRUE(flood.sendBlock("flood"));
    ASSERT_TRUE(server.log().waitFor("flood connected", 10s));
    SlotOf flooder = slotNamed(server, "flood");
    ASSERT_TRUE(flooder.found);
    const auto floodFrom = std::chrono::steady_clock::now();
    ASSERT_TRUE(flood.send(repeatedBlock("bid  0", 250)));
    std::size_t mostQueued = 0;
    bool through = false;
    const auto deadline = floodFrom + 60s;
    while (!through && std::chrono::steady_clock::now() < deadline) {
        server.locked([&](srv::Server& s) {
            std::map<std::pair<const srv::DorviPlayer*, uint64_t>, std::size_t> perConnection;
            for (const srv::DorviMsg& m : s.queue) {
                if (m.player != nullptr) mostQueued = std::max(mostQueued, ++perConnection[{m.player, m.playerId}]);
            }
            const srv::DorviPlayer& slot = s.slots[flooder.index];
            through = perConnection[{&slot, flooder.id}] == 0 && net::unreadBytes(slot.socket) == 0;
            return 0;
        });
        // Sampling without a pause would compete for the mutex with the very
        // main loop it watches.
        std::this_thread::sleep_for(1ms);
    }
    const auto floodTo = std::chrono::steady_clock::now();
    ASSERT_TRUE(through) << "the burst was not taken";
    EXPECT_LE(mostQueued, 1u) << "messages of one connection waiting at once";
    EXPECT_TRUE(server.locked([&](srv::Server& s) { return s.slots[flooder.index].id == flooder.id; }))
        << "a burst under the limit is held back, not ended";

    // A seat's own card comes back to it (relative seat 0) after its prompt.
    std::vector<std::chrono::milliseconds> relays;
    std::array<std::optional<std::chrono::steady_clock::time_point>, 4> prompted;
    for (const auto& e : table.record.events()) {
        auto& since = prompted[static_cast<std::size_t>(e.seat)];
        if (e.text() == "okc") {
            since = e.at;
        } else if (since && e.block.size() == dorvi::shortBlockSize && e.block.starts_with("0 ")) {
            if (*since >= floodFrom && e.at <= floodTo) {
                relays.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(e.at - *since));
            }
            since.reset();
        }
    }
    ASSERT_GE(relays.size(), 8u) << "cards played during the flood";
    std::sort(relays.begin(), relays.end());
    EXPECT_LE(relays[relays.size() / 2], 25ms) << "median relay of " << relays.size() << " cards";
    EXPECT_LE(relays.back(), 60ms) << "slowest relay of " << relays.size() << " cards";

    // A burst followed by the close: the close is seen while the first
    // message waits, not after the rest has passed the queue.
    ASSERT_TRUE(flood.send(repeatedBlock("bid  0", 250)));
    auto freed = freedAfterClose(server, flood, flooder);
    ASSERT_TRUE(freed) << "the closed flooder keeps its slot";
    EXPECT_LT(*freed, 1s);

    // All a client can send at once, then the close: more than its close
    // could overtake, so the flood limit ends it.
    RawClient big(server.port());
    ASSERT_TRUE(big.sendBlock("big"));
    ASSERT_TRUE(server.log().waitFor("big connected", 10s));
    SlotOf bigSlot = slotNamed(server, "big");
    ASSERT_TRUE(bigSlot.found);
    net::setSendTimeout(big.socket, 200);
    const std::string batch = repeatedBlock("bid  0", 512);
    for (std::size_t sent = 0; sent < (64u << 20) && big.send(batch); sent += batch.size()) {
    }
    freed = freedAfterClose(server, big, bigSlot);
    ASSERT_TRUE(freed) << "the closed flooder keeps its slot";
    EXPECT_LT(*freed, 1s);
    for (const std::string& line : server.log().lines()) {
        EXPECT_FALSE(line.ends_with(" disconnected")) << "the table played on\n" << server.log().transcript();
    }
}
