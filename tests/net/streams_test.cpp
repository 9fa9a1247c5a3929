#include "loopback.h"

#include "net/streams.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace dorvi::net {
namespace {

using namespace dorvi::net::testing;

// The stream closes its socket when the test is done with it.
struct OpenStream {
    std::unique_ptr<Stream> stream;
    ~OpenStream()
    {
        if (stream)
            stream->close();
    }
    Stream* operator->() const { return stream.get(); }
};

// A connected stream and the server end of its connection.
struct StreamLink {
    Listener listener = listenLoopback();
    OpenStream client;
    OwnedSocket server;
    int error = -1;
    bool serverAccepted = false;

    explicit StreamLink(bool webSocket, bool refuseUpgrade = false)
    {
        JoinedThread connector([&] {
            client.stream = webSocket ? connectWebSocket("127.0.0.1", listener.port, error)
                                      : connectTcp("127.0.0.1", listener.port, error);
        });
        server.s = acceptSocket(listener.socket.s);
        EXPECT_NE(server.s, INVALID_SOCKET);
        setReceiveTimeout(server.s, receiveLimitMs);
        if (webSocket && refuseUpgrade) {
            std::string head;
            EXPECT_TRUE(readHttpHead(server.s, head));
            const std::string refusal = "HTTP/1.1 426 Upgrade Required\r\n\r\n";
            sendBytes(server.s, refusal);
        } else if (webSocket) {
            serverAccepted = serverHandshake(server.s);
        }
    }

    std::string readFromClient(std::size_t size)
    {
        std::string buffer(size, '\0');
        int r = client->read(buffer.data(), buffer.size());
        return r > 0 ? buffer.substr(0, static_cast<std::size_t>(r)) : "<" + std::to_string(r) + ">";
    }
};

std::string block(char fill)
{
    std::string b(128, fill);
    b[0] = 'b';
    b[127] = 'e';
    return b;
}

TEST(Streams, TcpStreamCarriesRawBytes)
{
    StreamLink link(false);
    ASSERT_TRUE(link.client.stream) << "connectTcp failed with " << link.error;
    EXPECT_EQ(link.error, 0);

    ASSERT_TRUE(link.client->write(block('t')));
    EXPECT_EQ(receiveBytes(link.server.s, 128), block('t'));

    sendBytes(link.server.s, block('s'));
    std::string got;
    while (got.size() < 128) {
        std::string part = link.readFromClient(4096);
        ASSERT_NE(part[0], '<') << "read ended with " << part << " after " << got.size() << " bytes";
        got += part;
    }
    EXPECT_EQ(got, block('s'));

    link.client->shutdown();
    EXPECT_EQ(receiveAll(link.server.s), "") << "the client sent nothing more before its shutdown";
}

TEST(Streams, ConnectFailures)
{
    const std::uint16_t freePort = dorvi::testing::freePort();
    int error = -1;
    EXPECT_FALSE(connectTcp("127.0.0.1", freePort, error));
    EXPECT_EQ(error, 310061);
    error = -1;
    EXPECT_FALSE(connectWebSocket("127.0.0.1", freePort, error));
    EXPECT_EQ(error, 310061);

    const std::string badName = std::string(70, 'y') + ".invalid";
    error = -1;
    EXPECT_FALSE(connectTcp(badName, 1, error));
    EXPECT_EQ(error, netErrorResolveFailed);
    error = -1;
    EXPECT_FALSE(connectWebSocket(badName, 1, error));
    EXPECT_EQ(error, netErrorResolveFailed);

    StreamLink refused(true, true);
    EXPECT_FALSE(refused.client.stream);
    EXPECT_EQ(refused.error, netErrorHandshakeFailed);
    EXPECT_EQ(receiveAll(refused.server.s), "") << "the refused client closes its socket";
}

TEST(Streams, WebSocketStreamFramesAndMessages)
{
    StreamLink link(true);
    ASSERT_TRUE(link.serverAccepted);
    ASSERT_TRUE(link.client.stream) << "connectWebSocket failed with " << link.error;
    EXPECT_EQ(link.error, 0);

    ASSERT_TRUE(link.client->write(block('w')));
    const std::string frame = receiveBytes(link.server.s, 136);
    ASSERT_EQ(frame.size(), 136u);
    EXPECT_EQ(hexBytes(frame.substr(0, 4)), "82fe0080");
    std::string payload;
    for (std::size_t i = 0; i < 128; ++i)
        payload.push_back(static_cast<char>(frame[8 + i] ^ frame[4 + i % 4]));
    EXPECT_EQ(payload, block('w'));

    // A message is handed out in pieces and never mixed with the next one.
    sendBytes(link.server.s, encodeFrame(wsOpBinary, block('a'), false) +
                                 encodeFrame(wsOpBinary, "next", false));
    EXPECT_EQ(link.readFromClient(50), block('a').substr(0, 50));
    EXPECT_EQ(link.readFromClient(50), block('a').substr(50, 50));
    EXPECT_EQ(link.readFromClient(50), block('a').substr(100));
    EXPECT_EQ(link.readFromClient(4096), "next");

    // An empty message does not end the session; a ping on the way is
    // answered with a masked pong.
    sendBytes(link.server.s, encodeFrame(wsOpBinary, "", false) +
                                 encodeFrame(wsOpPing, "hi", false) +
                                 encodeFrame(wsOpBinary, "", false) +
                                 encodeFrame(wsOpBinary, block('c'), false));
    EXPECT_EQ(link.readFromClient(4096), block('c'));
    const std::string pong = receiveBytes(link.server.s, 8);
    ASSERT_EQ(pong.size(), 8u);
    EXPECT_EQ(hexBytes(pong.substr(0, 2)), "8a82");
    EXPECT_EQ(std::string({static_cast<char>(pong[6] ^ pong[2]), static_cast<char>(pong[7] ^ pong[3])}),
              "hi");

    // The server's close is echoed with its status, masked, and ends reading;
    // the fragment it cut off is never handed out.
    sendBytes(link.server.s, "\x02\x04open" + encodeFrame(wsOpClose, "\x03\xE8", false));
    EXPECT_EQ(link.readFromClient(4096), "<0>");
    WebSocketEndpoint serverSide{link.server.s, nullptr, false};
    std::string message;
    EXPECT_EQ(readMessage(serverSide, message), 0) << "the echo is a close frame";
    shutdownSocket(link.server.s);
    EXPECT_EQ(link.readFromClient(4096), "<0>");
}

TEST(Streams, WebSocketShutdownSendsCloseFirst)
{
    StreamLink link(true);
    ASSERT_TRUE(link.client.stream) << "connectWebSocket failed with " << link.error;
    link.client->shutdown();
    const std::string rest = receiveAll(link.server.s);
    ASSERT_EQ(rest.size(), 8u) << hexBytes(rest);
    EXPECT_EQ(hexBytes(rest.substr(0, 2)), "8882");
    EXPECT_EQ(static_cast<unsigned char>(rest[6] ^ rest[2]), 0x03);
    EXPECT_EQ(static_cast<unsigned char>(rest[7] ^ rest[3]), 0xE8);
    // Only the sending side ended: the server's close frame is read, not
    // reset, and is not echoed.
    sendBytes(link.server.s, encodeFrame(wsOpClose, std::string_view("\x03\xE8", 2), false));
    EXPECT_EQ(link.readFromClient(16), "<0>");
    EXPECT_EQ(receiveAll(link.server.s), "");

    // A server that never answers still ends the read, after a second.
    StreamLink silent(true);
    ASSERT_TRUE(silent.client.stream) << "connectWebSocket failed with " << silent.error;
    const auto start = std::chrono::steady_clock::now();
    silent.client->shutdown();
    EXPECT_EQ(receiveAll(silent.server.s).size(), 8u);
    EXPECT_EQ(silent.readFromClient(16), "<0>");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << "the read did not wait for the server";
    EXPECT_LT(waited, std::chrono::seconds(2));
}

} // namespace
} // namespace dorvi::net
