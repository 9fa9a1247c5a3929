#include "loopback.h"

#include "net/websocket_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dorvi::net {
namespace {

using namespace dorvi::net::testing;

std::string bytes(std::initializer_list<int> values)
{
    std::string result;
    for (int v : values)
        result.push_back(static_cast<char>(v));
    return result;
}

// A frame written by hand, for shapes that encodeFrame never makes.
std::string rawFrame(int byte0, std::string_view payload, bool masked = false, int lengthCode = -1)
{
    std::string frame(1, static_cast<char>(byte0));
    const unsigned char maskBit = masked ? 0x80 : 0;
    const std::size_t length = payload.size();
    if (lengthCode == 127 || (lengthCode < 0 && length > 65535)) {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((static_cast<std::uint64_t>(length) >> shift) & 0xFF));
    } else if (lengthCode == 126 || (lengthCode < 0 && length > 125)) {
        frame.push_back(static_cast<char>(maskBit | 126));
        frame.push_back(static_cast<char>(length >> 8));
        frame.push_back(static_cast<char>(length & 0xFF));
    } else {
        frame.push_back(static_cast<char>(maskBit | length));
    }
    const unsigned char key[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked)
        frame.append(reinterpret_cast<const char*>(key), 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(payload[i] ^ (masked ? key[i % 4] : 0)));
    return frame;
}

std::string unmask(std::string_view frame, std::size_t headSize)
{
    std::string payload;
    for (std::size_t i = headSize + 4; i < frame.size(); ++i)
        payload.push_back(static_cast<char>(frame[i] ^ frame[headSize + (i - headSize - 4) % 4]));
    return payload;
}

TEST(WebSocketFrames, EncodeUsesTheShortestLengthForm)
{
    struct Case {
        std::size_t length;
        std::string head;
    };
    const Case cases[] = {
        {0, bytes({0x82, 0x00})},
        {125, bytes({0x82, 0x7D})},
        {126, bytes({0x82, 0x7E, 0x00, 0x7E})},
        {128, bytes({0x82, 0x7E, 0x00, 0x80})},
        {65535, bytes({0x82, 0x7E, 0xFF, 0xFF})},
        {65536, bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0})},
    };
    for (const Case& c : cases) {
        const std::string payload(c.length, 'b');
        const std::string plain = encodeFrame(wsOpBinary, payload, false);
        EXPECT_EQ(hexBytes(plain.substr(0, c.head.size())), hexBytes(c.head)) << c.length;
        EXPECT_EQ(plain.size(), c.head.size() + c.length) << c.length;
        EXPECT_EQ(plain.substr(c.head.size()), payload) << c.length;

        const std::string masked = encodeFrame(wsOpBinary, payload, true);
        std::string maskedHead = c.head;
        maskedHead[1] = static_cast<char>(maskedHead[1] | 0x80);
        EXPECT_EQ(hexBytes(masked.substr(0, c.head.size())), hexBytes(maskedHead)) << c.length;
        EXPECT_EQ(masked.size(), c.head.size() + 4 + c.length) << c.length;
        EXPECT_EQ(unmask(masked, c.head.size()), payload) << c.length;
    }

    EXPECT_EQ(encodeFrame(wsOpClose, "\x03\xE8", false), bytes({0x88, 0x02, 0x03, 0xE8}));
    const std::string clientClose = encodeFrame(wsOpClose, "\x03\xE8", true);
    ASSERT_EQ(clientClose.size(), 8u);
    EXPECT_EQ(clientClose.substr(0, 2), bytes({0x88, 0x82}));
    EXPECT_EQ(unmask(clientClose, 2), "\x03\xE8");
    EXPECT_EQ(hexBytes(encodeFrame(wsOpPong, "", true).substr(0, 2)), "8a80");

    const std::string block(128, 'x');
    EXPECT_NE(encodeFrame(wsOpBinary, block, true), encodeFrame(wsOpBinary, block, true))
        << "each masked frame draws a new key";
}

// A peer socket that writes frames and a reader endpoint that records what
// readMessage sends back.
struct FramePeer {
    SocketPair pair = connectedPair();
    std::vector<std::string> replies;
    WebSocketEndpoint endpoint;

    explicit FramePeer(bool maskOutgoing)
    {
        endpoint = WebSocketEndpoint{
            pair.server.s, [this](const std::string& frame) { replies.push_back(frame); },
            maskOutgoing};
    }
    void send(std::string_view frames) { sendBytes(pair.client.s, frames); }
    int read(std::string& out) { return readMessage(endpoint, out); }
};

TEST(WebSocketFrames, MessagesGatherFragmentsAndIgnoreNoise)
{
    FramePeer peer(false);
    std::string out = "stale";

    peer.send(rawFrame(0x02, "frag") + rawFrame(0x00, "ment", true) + rawFrame(0x80, "ed"));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out, "fragmented");

    peer.send(rawFrame(0x81, "text like binary"));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out, "text like binary");

    peer.send(rawFrame(0x82, ""));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out, "") << "an empty message is still a message";

    peer.send(rawFrame(0x8A, "pong") + rawFrame(0x83, "three") + rawFrame(0x8F, "fifteen") +
              rawFrame(0xF2, "rsv bits", true) + rawFrame(0x82, "short", false, 127));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out, "rsv bits") << "skipped opcodes and RSV bits";
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out, "short") << "a long length form for a short payload";
    EXPECT_TRUE(peer.replies.empty());
}

TEST(WebSocketFrames, MessageSizeLimit)
{
    FramePeer peer(false);
    std::string out;
    peer.send(encodeFrame(wsOpBinary, std::string(65536, 'm'), false));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out.size(), 65536u);

    const std::string half(32768, 'h');
    peer.send(rawFrame(0x02, half) + rawFrame(0x80, half));
    EXPECT_EQ(peer.read(out), 1);
    EXPECT_EQ(out.size(), 65536u) << "two fragments fill a message exactly";

    // The third fragment is refused from its head alone; its payload stays
    // unread, so the next bytes in the socket are that payload.
    peer.send(rawFrame(0x02, half) + rawFrame(0x00, half) + rawFrame(0x80, "!") + "tail");
    EXPECT_EQ(peer.read(out), -1);
    EXPECT_EQ(receiveBytes(peer.pair.server.s, 5), "!tail");

    peer.send(rawFrame(0x82, std::string(65537, 'o')).substr(0, 10) + "after");
    EXPECT_EQ(peer.read(out), -1) << "a 65537-byte frame";
    EXPECT_EQ(receiveBytes(peer.pair.server.s, 5), "after") << "its payload is not read";

    peer.send(bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}) + "rest");
    EXPECT_EQ(peer.read(out), -1) << "a 64-bit length with its top bit set";
    EXPECT_EQ(receiveBytes(peer.pair.server.s, 4), "rest");
}

TEST(WebSocketFrames, PingsAreAnsweredAndCloseIsEchoed)
{
    for (bool mask : {false, true}) {
        FramePeer peer(mask);
        std::string out;
        const std::string ping200(200, 'p');
        peer.send(rawFrame(0x89, "abc", true) + rawFrame(0x09, ping200) + rawFrame(0x82, "data"));
        EXPECT_EQ(peer.read(out), 1);
        EXPECT_EQ(out, "data") << "the same call goes on after a ping";
        ASSERT_EQ(peer.replies.size(), 2u);
        if (mask) {
            EXPECT_EQ(peer.replies[0].substr(0, 2), bytes({0x8A, 0x83}));
            EXPECT_EQ(unmask(peer.replies[0], 2), "abc");
            EXPECT_EQ(peer.replies[1].substr(0, 4), bytes({0x8A, 0xFE, 0x00, 0xC8}));
            EXPECT_EQ(unmask(peer.replies[1], 4), ping200);
        } else {
            EXPECT_EQ(peer.replies[0], bytes({0x8A, 0x03}) + "abc");
            EXPECT_EQ(peer.replies[1], bytes({0x8A, 0x7E, 0x00, 0xC8}) + ping200);
        }
    }

    struct Case {
        std::string payload;
        std::string echoed;
    };
    const Case cases[] = {
        {"", ""},
        {"\x03", "\x03"},
        {"\x03\xE9going away", "\x03\xE9"},
    };
    for (const Case& c : cases) {
        FramePeer peer(false);
        std::string out;
        peer.send(rawFrame(0x02, "open ") + rawFrame(0x88, c.payload, true));
        EXPECT_EQ(peer.read(out), 0) << hexBytes(c.payload);
        ASSERT_EQ(peer.replies.size(), 1u);
        EXPECT_EQ(peer.replies[0], encodeFrame(wsOpClose, c.echoed, false)) << hexBytes(c.payload);
    }

    // No writer in the endpoint: the reply is skipped and reading goes on.
    FramePeer silent(false);
    silent.endpoint.send = nullptr;
    std::string out;
    silent.send(rawFrame(0x89, "x") + rawFrame(0x82, "still here"));
    EXPECT_EQ(silent.read(out), 1);
    EXPECT_EQ(out, "still here");
    silent.send(rawFrame(0x88, "\x03\xE8"));
    EXPECT_EQ(silent.read(out), 0);
}

TEST(WebSocketFrames, PeerClosingMidFrame)
{
    struct Case {
        std::string sent;
        int expected;
    };
    const Case cases[] = {
        {"", 0},
        {bytes({0x82}), 0},
        {bytes({0x82, 0x05}), -1},
        {bytes({0x82, 0x7E, 0x01}), -1},
        {bytes({0x82, 0x85, 1, 2}), -1},
        {bytes({0x82, 0x05}) + "abc", -1},
        {rawFrame(0x02, "open"), 0},
    };
    for (const Case& c : cases) {
        FramePeer peer(false);
        if (!c.sent.empty())
            peer.send(c.sent);
        shutdownSocket(peer.pair.client.s);
        std::string out;
        EXPECT_EQ(peer.read(out), c.expected) << "after " << hexBytes(c.sent);
    }
}

} // namespace
} // namespace dorvi::net
