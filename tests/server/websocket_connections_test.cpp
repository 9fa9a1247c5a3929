#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/sockets.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"
#include "rules/blocks.h"
#include "server_harness.h"
#include "support/protocol_client.h"
#include "support/raw_client.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::testing::connectedSlots;
using dorvi::testing::InProcessServer;
using dorvi::testing::ProtocolClient;
using dorvi::testing::RawClient;
using Transport = dorvi::testing::ProtocolClient::Transport;
using namespace std::chrono_literals;
namespace net = dorvi::net;
namespace srv = dorvi::server;

TEST(WebSocketConnections, UpgradeGreetingJoinAndBlocksInFrames) {
    InProcessServer server;
    ASSERT_TRUE(server.start());

    // The greeting split over two messages, then "join" in one message with
    // the first half of a block that never completes.
    ProtocolClient browser(server.wsPort(), Transport::WebSocket);
    ASSERT_TRUE(browser.connected()) << browser.error();
    std::string greeting = padBlock("Liis", blockSize);
    browser.sendBytes(greeting.substr(0, 50));
    browser.sendBytes(greeting.substr(50));
    ASSERT_TRUE(server.log().waitFor("Liis connected", 10s)) << server.log().transcript();
    browser.sendBytes(padBlock("join", blockSize) + padBlock("scard", blockSize).substr(0, 64));
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return s.tables[0].seated == 1; }, 10s));

    // A second browser sends its greeting and "join" together in one message.
    ProtocolClient second(server.wsPort(), Transport::WebSocket);
    second.sendBytes(padBlock("Rein", blockSize) + padBlock("join", blockSize));
    ASSERT_TRUE(server.log().waitFor("Rein connected", 10s)) << server.log().transcript();
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return s.tables[0].seated == 2; }, 10s))
        << "both browsers are seated";
    server.locked([](srv::Server& s) {
        EXPECT_EQ(s.tables[0].players[0]->name, "Liis");
        EXPECT_TRUE(s.tables[0].players[0]->webSocket);
        return 0;
    });

    ProtocolClient tcp1(server.port(), Transport::Tcp);
    ProtocolClient tcp2(server.port(), Transport::Tcp);
    tcp1.send("Tonu");
    tcp1.send("join");
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return s.tables[0].seated == 3; }, 10s));
    tcp2.send("Ulle");
    tcp2.send("join");
    ASSERT_TRUE(server.log().waitFor("Game beginning", 10s)) << server.log().transcript();

    std::string block;
    ASSERT_EQ(browser.next(block), ProtocolClient::Read::Block) << browser.error();
    EXPECT_EQ(block, padBlock("name Rein", blockSize));
    EXPECT_EQ(browser.lastFrameHeader(), std::string("\x82\x7E\x00\x80", 4)) << "one unmasked binary frame";
    ASSERT_EQ(tcp1.next(block), ProtocolClient::Read::Block) << tcp1.error();
    EXPECT_EQ(block, padBlock("name Ulle", blockSize)) << "TCP players get bare blocks";
}

TEST(WebSocketConnections, PingAnsweredAndRefusedUpgrade) {
    InProcessServer server;
    ASSERT_TRUE(server.start());

    int code = 0;
    net::SOCKET raw = net::connectSocket("127.0.0.1", server.wsPort(), code);
    ASSERT_NE(raw, net::INVALID_SOCKET);
    ASSERT_TRUE(net::clientHandshake(raw, "127.0.0.1", server.wsPort(), "/"));
    std::string greeting = net::encodeFrame(net::wsOpBinary, padBlock("Pille", blockSize), true);
    std::string ping = net::encodeFrame(net::wsOpPing, "hi", true);
    ASSERT_TRUE(net::sendAll(raw, greeting.data(), greeting.size()));
    ASSERT_TRUE(net::sendAll(raw, ping.data(), ping.size()));
    ASSERT_TRUE(server.log().waitFor("Pille connected", 10s));
    char pong[4] = {};
    net::setReceiveTimeout(raw, 10000);
    ASSERT_EQ(net::recvExact(raw, pong, 4), 1);
    EXPECT_EQ(std::string(pong, 4), "\x8A\x02hi");
    net::closeSocket(raw);

    RawClient plain(server.wsPort());
    ASSERT_TRUE(plain.connected());
    plain.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    plain.waitEnd(10s);
    plain.close();
    const std::string& reply = plain.received;
    EXPECT_EQ(reply.rfind("HTTP/1.1 426", 0), 0u) << reply;
    EXPECT_TRUE(server.waitUntil([](srv::Server& s) { return connectedSlots(s) == 0; }, 10s))
        << "both slots are free again";
    for (const std::string& line : server.log().lines()) {
        if (line.ends_with("connected")) {
            EXPECT_EQ(line, "Pille connected") << "a refused upgrade leaves no line";
        }
    }
}

// Browsers answer the server's close frame and call the end clean only when
// the stream then ends without a reset: the server reads their answer before
// it lets the connection go, seated or not. A client that never answers is
// given a second.
TEST(WebSocketConnections, ClientsThatAnswerTheCloseFrameSeeACleanEndAfterStop) {
    InProcessServer server;
    ASSERT_TRUE(server.start());
    ProtocolClient silent(server.wsPort(), Transport::WebSocket);
    silent.send("silent");
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    for (int i = 0; i < 20; ++i) {
        auto client = std::make_unique<ProtocolClient>(server.wsPort(), Transport::WebSocket);
        ASSERT_TRUE(client->connected()) << client->error();
        client->answerCloseFrames();
        client->send("b" + std::to_string(i));
        if (i < 8) client->send("join");
        clients.push_back(std::move(client));
    }
    ASSERT_TRUE(server.waitUntil([](srv::Server& s) { return connectedSlots(s) == 21 && s.tables[1].seated == 4; },
                                 10s));
    const auto stopped = std::chrono::steady_clock::now();
    server.post(srv::msgStop);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ProtocolClient& client = *clients[i];
        EXPECT_TRUE(client.waitEnd(10s)) << i << ": " << client.error();
        EXPECT_EQ(client.closeFrame(), std::string("\x88\x02\x03\xe8", 4)) << i;
        EXPECT_FALSE(client.wasReset()) << i;
    }
    EXPECT_TRUE(silent.waitEnd(10s)) << silent.error();
    const auto waited = std::chrono::steady_clock::now() - stopped;
    EXPECT_GE(waited, 900ms) << "the server did not wait for the answer";
    EXPECT_LT(waited, 2s) << "a silent client was kept too long";
}
