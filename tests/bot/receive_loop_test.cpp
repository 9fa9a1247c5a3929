#include "bot/receive_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bot/recording_host.h"
#include "net/sockets.h"
#include "net/streams.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"
#include "rules/blocks.h"
#include "support/server_blocks.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::shortBlockSize;
using dorvi::client::ClientSession;
using dorvi::client::GameState;
using dorvi::client::nextBlock;
using dorvi::client::runSession;
using dorvi::client::testing::RecordingHost;
using dorvi::testing::pointBlock;
using dorvi::testing::relayBlock;
namespace net = dorvi::net;
using net::INVALID_SOCKET;
using net::SOCKET;

namespace {

using Events = std::vector<std::string>;

std::string block128(const std::string& text) { return padBlock(text, blockSize); }
std::string block56(const std::string& text) { return padBlock(text, shortBlockSize); }

std::string dealStart() {
    return block128("name A") + block128("name B") + block128("name C") + block128("141312219182736451");
}

// A stream that hands out scripted reads, one script entry per read (an entry
// longer than the caller's size is handed out over several reads), and notes
// every call in the host's record.
class ScriptedStream : public net::Stream {
public:
    ScriptedStream(RecordingHost& host, std::deque<std::variant<std::string, int>> script)
        : host(host), script(std::move(script)) {}

    int read(char* buffer, std::size_t size) override {
        host.note(host.mutexFree() ? "read free" : "read held");
        if (script.empty()) return 0;
        if (auto* result = std::get_if<int>(&script.front())) {
            int value = *result;
            script.pop_front();
            return value;
        }
        std::string& bytes = std::get<std::string>(script.front());
        std::size_t n = std::min(size, bytes.size());
        bytes.copy(buffer, n);
        bytes.erase(0, n);
        if (bytes.empty()) script.pop_front();
        return static_cast<int>(n);
    }
    bool write(std::string_view data) override {
        writes.emplace_back(data);
        return true;
    }
    void shutdown() override { host.note("shutdown"); }
    void close() override { host.note("close"); }

    std::vector<std::string> writes;

private:
    RecordingHost& host;
    std::deque<std::variant<std::string, int>> script;
};

}  // namespace

TEST(NextBlock, CutsByPhaseAndWaitsForWholeBlocks) {
    std::string buffer(127, 'x');
    std::string block;
    EXPECT_FALSE(nextBlock(buffer, 0, block));
    EXPECT_FALSE(nextBlock(buffer, 1, block));
    EXPECT_EQ(buffer.size(), 127u) << "an incomplete block stays in the buffer";
    buffer += "yz";
    ASSERT_TRUE(nextBlock(buffer, 1, block));
    EXPECT_EQ(block, std::string(127, 'x') + "y");
    EXPECT_EQ(buffer, "z");

    buffer = block56("okc") + block56("1 x");
    ASSERT_TRUE(nextBlock(buffer, 2, block));
    EXPECT_EQ(block, block56("okc")) << "play blocks are 56 bytes, NUL padding included";
    EXPECT_EQ(buffer, block56("1 x"));

    buffer = block128("trump").substr(0, 100);
    EXPECT_FALSE(nextBlock(buffer, 2, block)) << "a \"trump\" block in play waits for all 128 bytes";
    buffer += block128("trump").substr(100) + "rest";
    ASSERT_TRUE(nextBlock(buffer, 2, block));
    EXPECT_EQ(block, block128("trump"));
    EXPECT_EQ(buffer, "rest");

    for (const char* text : {"trum", "xtrump", "tru\0mp"}) {
        buffer = block128(text);
        ASSERT_TRUE(nextBlock(buffer, 2, block)) << text;
        EXPECT_EQ(block.size(), shortBlockSize) << "text \"" << text << "\" does not start with \"trump\"";
    }
    buffer = std::string(55, 'a');
    EXPECT_FALSE(nextBlock(buffer, 2, block));
    EXPECT_EQ(buffer.size(), 55u);
}

TEST(ReceiveLoop, CutsAcrossReadsByPhaseAndEndsOnAClosedConnection) {
    RecordingHost host;
    host.probeMutex = true;
    GameState state;
    host.state = &state;
    const std::string trumpBlock = block128("trump");
    const std::string ok = block128("ok");
    ScriptedStream stream(host, {
        dealStart() + ok.substr(0, 60),                             // a block split over two reads
        ok.substr(60) + block128("next 2") + block56("okc"),       // 128 then 56 in one read
        trumpBlock.substr(0, 100),                                 // phase 2: "trump" is 128 bytes
        trumpBlock.substr(100) + relayBlock('1', 94),
        0,
    });
    runSession(stream, state, host);

    EXPECT_EQ(host.events(), (Events{
        "active", "log:\r\nOotan teisi mängijaid...",
        "read free", "log:\r\nMäng algas", "log:\r\nPakkumine algas",
        "read free", "bidTurn", "trumpSet:2 bids 0 0 0 0", "delay:1500 free", "playTurn",
        "read free",
        "read free", "card:1,94",
        "read free", "log:\r\nMäng katkestatud", "inactive", "close",
    })) << host.joined();
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], block128("join"));
    EXPECT_EQ(state.hand[0], 0) << "the deal is reset at the end of the connection";
    EXPECT_EQ(state.cardsLeft[1], 0);
    EXPECT_FALSE(state.playTurn);
}

TEST(ReceiveLoop, ReadErrorResetsTheStateAndMatchEndShutsTheStreamDown) {
    {
        RecordingHost host;
        GameState state;
        state.trumpChoiceTurn = true;
        ScriptedStream stream(host, {dealStart() + block128("2 5"), -1});
        runSession(stream, state, host);
        Events events = host.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ((Events(events.end() - 3, events.end())),
                  (Events{"log:\r\nÜhendus serveriga katkes", "inactive", "close"}))
            << host.joined();
        EXPECT_EQ(state.bids[2], 0) << "bids reset to 0";
        EXPECT_EQ(state.hand[0], 0);
        EXPECT_FALSE(state.biddingStarted);
        EXPECT_FALSE(state.trumpChoiceTurn);
    }
    {
        RecordingHost host;
        host.probeMutex = true;
        GameState state;
        host.state = &state;
        ScriptedStream stream(host, {dealStart() + block128("next 4") + relayBlock('0', 91) + relayBlock('1', 92) +
                                         relayBlock('2', 93) + relayBlock('3', 94) + pointBlock(70, 12, 3),
                                     0});
        runSession(stream, state, host);
        EXPECT_EQ(host.events(), (Events{
            "active", "log:\r\nOotan teisi mängijaid...",
            "read free", "log:\r\nMäng algas", "log:\r\nPakkumine algas",
            "trumpSet:4 bids 0 0 0 0", "delay:1500 free",
            "card:0,91", "card:1,92", "card:2,93", "card:3,94", "trick:91,92,93,94", "delay:3000 free",
            "dealEnd:70,12,3", "show:Teie võitsite selle mängu tulemusega 70/50 free", "shutdown",
            "show:Teie võitsite terve mängu tulemusega 12/3 free",
            "read free", "log:\r\nMäng katkestatud", "inactive", "close",
        })) << host.joined();
    }
}

TEST(ReceiveLoop, DisconnectResetsTheSessionToSetup) {
    RecordingHost host;
    GameState state;
    state.parseHand(block128("141312219182736451"));
    state.bids[1] = 3;
    state.trumpChoiceTurn = state.biddingStarted = state.playTurn = true;
    ClientSession session{&state, &host, 2};
    dorvi::client::onDisconnect(session, false);
    EXPECT_EQ(session.phase, 0);
    EXPECT_EQ(state.bids[1], 0);
    EXPECT_EQ(state.cardsLeft[0], 0);
    EXPECT_FALSE(state.trumpChoiceTurn || state.biddingStarted || state.playTurn);
    EXPECT_EQ(host.events(), (Events{"log:\r\nMäng katkestatud", "inactive"}));
}

namespace {

// One scripted server connection over loopback, on either transport, with the
// bot's runSession on a thread of its own. Everything it starts is stopped in
// the destructor, whatever the test did before.
class LoopbackSession {
public:
    explicit LoopbackSession(bool webSocket) : webSocket(webSocket) {
        int error = 0;
        listener = net::listenSocket(0, 1, error);
        if (listener == INVALID_SOCKET) return;
        std::uint16_t port = net::localPort(listener);
        host.state = &state;
        host.probeMutex = true;
        client = std::thread([this, port] {
            int connectError = 0;
            std::unique_ptr<net::Stream> stream = this->webSocket ? net::connectWebSocket("127.0.0.1", port, connectError)
                                                                  : net::connectTcp("127.0.0.1", port, connectError);
            if (!stream) {
                host.note("connect failed " + std::to_string(connectError));
                net::shutdownSocket(listener);  // wakes the accept below
                return;
            }
            runSession(*stream, state, host);
            host.note("session over");
        });
        peer = net::acceptSocket(listener);
        if (peer != INVALID_SOCKET && webSocket && !net::serverHandshake(peer)) {
            net::shutdownSocket(peer);
        }
        watchdog = std::thread([this] {
            std::unique_lock<std::mutex> lock(watchdogMutex);
            if (!watchdogDone.wait_for(lock, std::chrono::seconds(20), [this] { return finished; })) {
                // Unblocks both ends so that the test fails instead of hanging.
                net::shutdownSocket(peer);
            }
        });
    }

    ~LoopbackSession() {
        if (peer != INVALID_SOCKET) net::shutdownSocket(peer);
        if (client.joinable()) client.join();
        {
            std::lock_guard<std::mutex> lock(watchdogMutex);
            finished = true;
        }
        watchdogDone.notify_all();
        if (watchdog.joinable()) watchdog.join();
        if (peer != INVALID_SOCKET) net::closeSocket(peer);
        if (listener != INVALID_SOCKET) net::closeSocket(listener);
    }

    bool connected() const { return peer != INVALID_SOCKET; }

    // One server write: over WebSocket one frame per block, all sent at once.
    void send(const std::vector<std::string>& blocks, int opcode = net::wsOpBinary) {
        std::string bytes;
        for (const auto& block : blocks) bytes += webSocket ? net::encodeFrame(opcode, block, false) : block;
        net::sendAll(peer, bytes.data(), bytes.size());
    }

    // The way the server ends a connection: a close frame of status 1000 on
    // WebSocket, then the shutdown.
    void closeFromServer() {
        if (webSocket) send({std::string("\x03\xE8", 2)}, net::wsOpClose);
        net::shutdownSocket(peer);
    }

    // The next client block, or empty when the connection ended.
    std::string receive() {
        if (webSocket) {
            net::WebSocketEndpoint endpoint{peer, [this](const std::string& frame) {
                                                net::sendAll(peer, frame.data(), frame.size());
                                            }, false};
            std::string message;
            return net::readMessage(endpoint, message) == 1 ? message : std::string();
        }
        std::string block(blockSize, '\0');
        return net::recvExact(peer, block.data(), block.size()) == 1 ? block : std::string();
    }

    RecordingHost host;
    GameState state;

private:
    bool webSocket;
    SOCKET listener = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;
    std::thread client;
    std::thread watchdog;
    std::mutex watchdogMutex;
    std::condition_variable watchdogDone;
    bool finished = false;
};

// Waits until another thread can take the mutex, and takes it.
bool lockWithin(std::mutex& mutex, std::chrono::seconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!mutex.try_lock()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

class ReceiveLoopOverLoopback : public ::testing::TestWithParam<bool> {};

TEST_P(ReceiveLoopOverLoopback, PlaysThroughTheProtocolAndShutsDownAtMatchEnd) {
    LoopbackSession session(GetParam());
    ASSERT_TRUE(session.connected()) << session.host.joined();
    RecordingHost& host = session.host;

    EXPECT_EQ(session.receive(), block128("join"));
    session.send({block128("name Ann"), block128("name B"), block128("name C"), block128("141312219182736451"),
                  block128("ok")});
    ASSERT_TRUE(host.waitFor("bidTurn")) << host.joined();

    {
        // The loop is now waiting in its read, so the host mutex must be free.
        ASSERT_TRUE(lockWithin(host.mutex, std::chrono::seconds(10))) << "host mutex held while reading";
        std::lock_guard<std::mutex> held(host.mutex, std::adopt_lock);
        EXPECT_EQ(session.state.names[0], "Ann");
        EXPECT_EQ(session.state.hand[0], 91);
        EXPECT_TRUE(session.state.bidTurn);
        session.send({block128("next 2"), block56("okc")});
    }
    ASSERT_TRUE(host.waitFor("playTurn")) << host.joined();

    session.send({block128("trump"), relayBlock('1', 94)});
    ASSERT_TRUE(host.waitFor("card:1,94")) << "a \"trump\" block in play must be cut as 128 bytes\n" << host.joined();

    session.send({pointBlock(70, 12, 3)});
    ASSERT_TRUE(host.waitFor("session over")) << host.joined();
    EXPECT_EQ(session.receive(), "") << "the bot ends the connection at match end";

    Events events = host.events();
    auto announced = std::find(events.begin(), events.end(), "trumpSet:2 bids 0 0 0 0");
    ASSERT_GE(std::distance(announced, events.end()), 3) << host.joined();
    EXPECT_EQ(Events(announced, announced + 3), (Events{"trumpSet:2 bids 0 0 0 0", "delay:1500 free", "playTurn"}))
        << "the announcement's delay runs with the mutex released, before the prompt read with it\n"
        << host.joined();
    Events expectedTail{"dealEnd:70,12,3", "show:Teie võitsite selle mängu tulemusega 70/50 free",
                        "show:Teie võitsite terve mängu tulemusega 12/3 free", "log:\r\nMäng katkestatud",
                        "inactive", "session over"};
    ASSERT_GE(events.size(), expectedTail.size());
    EXPECT_EQ(Events(events.end() - static_cast<long>(expectedTail.size()), events.end()), expectedTail)
        << host.joined();
    EXPECT_EQ(Events(events.begin(), events.begin() + 2), (Events{"active", "log:\r\nOotan teisi mängijaid..."}));
}

TEST_P(ReceiveLoopOverLoopback, ServerClosingEndsTheSessionAndDropsAPartialBlock) {
    LoopbackSession session(GetParam());
    ASSERT_TRUE(session.connected()) << session.host.joined();
    RecordingHost& host = session.host;
    EXPECT_EQ(session.receive(), block128("join"));
    session.send({block128("name Ann"), block128("name B"), block128("name C"), block128("141312219182736451"),
                  block128("ok").substr(0, 40)});
    ASSERT_TRUE(host.waitFor("log:\r\nPakkumine algas")) << host.joined();
    session.closeFromServer();
    ASSERT_TRUE(host.waitFor("session over")) << host.joined();

    Events events = host.events();
    Events expectedTail{"log:\r\nMäng katkestatud", "inactive", "session over"};
    ASSERT_GE(events.size(), expectedTail.size());
    EXPECT_EQ(Events(events.end() - static_cast<long>(expectedTail.size()), events.end()), expectedTail)
        << "the partial prompt must not be dispatched\n" << host.joined();
    std::lock_guard<std::mutex> lock(host.mutex);
    EXPECT_EQ(session.state.names[0], "") << "the deal is reset";
    EXPECT_EQ(session.state.hand[0], 0);
    EXPECT_FALSE(session.state.biddingStarted);
}

INSTANTIATE_TEST_SUITE_P(Transports, ReceiveLoopOverLoopback, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WebSocket" : "Tcp"; });
