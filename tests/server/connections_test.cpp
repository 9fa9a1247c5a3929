#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"
#include "net/websocket_frames.h"
#include "rules/blocks.h"
#include "server_harness.h"
#include "support/protocol_client.h"

using dorvi::testing::InProcessServer;
using dorvi::testing::ProtocolClient;
using Transport = dorvi::testing::ProtocolClient::Transport;
using namespace std::chrono_literals;
namespace srv = dorvi::server;

namespace {

std::unique_ptr<ProtocolClient> greeted(InProcessServer& server, const std::string& name,
                                        Transport transport = Transport::Tcp) {
    auto client = std::make_unique<ProtocolClient>(
        transport == Transport::Tcp ? server.port() : server.wsPort(), transport);
    EXPECT_TRUE(client->connected()) << client->error();
    std::size_t from = server.log().lines().size();
    client->send(name);
    EXPECT_TRUE(server.log().waitFor(name + " connected", 10s, from)) << server.log().transcript();
    return client;
}

}  // namespace

TEST(Connections, GreetingNamesAndTheirLogLines) {
    InProcessServer server;
    ASSERT_TRUE(server.start());

    ProtocolClient estonian(server.port(), Transport::Tcp);
    estonian.send("J\xF5ks \xDE\x81");  // cp1257: o-tilde, z-caron, and an undefined byte
    ASSERT_TRUE(server.log().waitFor("J\xC3\xB5ks \xC5\xBD? connected", 10s)) << server.log().transcript();

    ProtocolClient forger(server.port(), Transport::Tcp);
    forger.send("a\nServer closed\x1b[2J\x7f");
    ASSERT_TRUE(server.log().waitFor("a?Server closed?[2J? connected", 10s)) << server.log().transcript();

    ProtocolClient anonymous(server.port(), Transport::Tcp);
    anonymous.sendBytes(std::string(dorvi::blockSize, '\0'));
    ASSERT_TRUE(server.log().waitFor(" connected", 10s)) << server.log().transcript();

    ProtocolClient longName(server.port(), Transport::Tcp);
    longName.sendBytes(std::string(dorvi::blockSize, 'n'));
    ASSERT_TRUE(server.log().waitFor(std::string(122, 'n') + " connected", 10s)) << server.log().transcript();

    // The stored names keep the raw bytes.
    server.locked([](srv::Server& s) {
        std::vector<std::string> names;
        for (const srv::DorviPlayer& p : s.slots) {
            if (p.connected) names.push_back(p.name);
        }
        EXPECT_NE(std::find(names.begin(), names.end(), "a\nServer closed\x1b[2J\x7f"), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), std::string(122, 'n')), names.end());
        return 0;
    });
}

TEST(Connections, FiftyThirdConnectionIsClosedAndAFreedSlotGetsANewId) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    for (int i = 0; i < 52; ++i) clients.push_back(greeted(server, "p" + std::to_string(i)));

    ProtocolClient extra(server.port(), Transport::Tcp);
    ASSERT_TRUE(extra.connected());
    EXPECT_TRUE(extra.waitEnd(10s)) << "the 53rd connection is closed at once";
    uint64_t oldId = server.locked([](srv::Server& s) { return s.slots[7].id; });

    clients[7]->close();
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return !s.slots[7].connected; }, 10s))
        << "the slot is freed once its connection thread sees the end";
    auto late = greeted(server, "late");
    server.locked([oldId](srv::Server& s) {
        EXPECT_TRUE(s.slots[7].connected);
        EXPECT_EQ(s.slots[7].name, "late");
        EXPECT_GT(s.slots[7].id, oldId);
        return 0;
    });
    EXPECT_FALSE(server.log().waitFor("p7 disconnected", 1ms));
}

TEST(Connections, SeatedPlayerLostEndsItsTable) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    auto a = greeted(server, "anna");
    auto b = greeted(server, "bert", Transport::WebSocket);
    auto c = greeted(server, "cara");
    a->send("join");
    b->send("join");
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return s.tables[0].seated == 2; }, 10s))
        << "both joins are handled";

    a->close();
    EXPECT_TRUE(server.log().waitFor("anna disconnected", 10s)) << server.log().transcript();
    EXPECT_TRUE(b->waitEnd(10s)) << "the other player of the table is disconnected";
    EXPECT_EQ(b->closeFrame(), std::string("\x88\x02\x03\xE8", 4));
    EXPECT_FALSE(c->waitEnd(300ms)) << "a player at no table stays";
    server.locked([](srv::Server& s) {
        EXPECT_EQ(s.tables[0].seated, 0);
        EXPECT_FALSE(s.tables[0].active);
        EXPECT_EQ(s.tables[0].epoch, 1u);
        return 0;
    });
    EXPECT_FALSE(server.log().waitFor("bert disconnected", 1ms));
}
