#include "loopback.h"

#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace dorvi::net {
namespace {

using namespace dorvi::net::testing;

const std::string refused426 =
    "HTTP/1.1 426 Upgrade Required\r\n"
    "Upgrade: websocket\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n"
    "\r\n"
    "This is a Dorvi server. Connect to it with the game.\r\n";

TEST(WebSocketHandshake, DigestAndEncodingVectors)
{
    EXPECT_EQ(hexBytes(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexBytes(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hexBytes(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hexBytes(sha1(std::string(1000000, 'a'))),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1(std::string("\0\0", 2)).size(), 20u) << "NUL bytes are data too";

    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode("\xFB\xFF\xBF"), "+/+/") << "the last two letters of the alphabet";

    EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, TrimAndHeaderLookup)
{
    EXPECT_EQ(trim(" \t \t"), "");
    EXPECT_EQ(trim(" \r \r"), "");
    EXPECT_EQ(trim("\rword"), "\rword") << "a leading CR stays";
    EXPECT_EQ(trim(" \tword \t\r"), "word");

    const std::string head =
        "GET / HTTP/1.1\r\n"
        "Host: example.org:8080\r\n"
        "no colon here\r\n"
        "\r\n"
        "  sec-websocket-KEY :  first \r\n"
        "Sec-WebSocket-Key: second\r\n"
        "Empty:   \r\n"
        "Last: end";
    EXPECT_EQ(headerValue(head, "host"), "example.org:8080") << "split at the first colon only";
    EXPECT_EQ(headerValue(head, "Sec-WebSocket-Key"), "first") << "the first of two lines wins";
    EXPECT_EQ(headerValue(head, "Empty"), "");
    EXPECT_EQ(headerValue(head, "Last"), "end") << "a last line without CRLF";
    EXPECT_EQ(headerValue(head, "Missing"), "");
    EXPECT_EQ(headerValue("Host: a\r\nOther: b\r\n\r\n", "Host"), "")
        << "the first line is never a header";
    EXPECT_EQ(headerValue("Host: a", "Host"), "") << "a head without any CRLF";
}

// Sends raw request bytes to serverHandshake and returns whether it accepted
// and everything it replied before the connection closed.
struct ServerOutcome {
    bool accepted = false;
    std::string reply;
};

ServerOutcome runServerHandshake(const std::string& request)
{
    ServerOutcome outcome;
    SocketPair pair = connectedPair();
    {
        JoinedThread server([&] {
            outcome.accepted = serverHandshake(pair.server.s);
            shutdownSocket(pair.server.s);
        });
        sendBytes(pair.client.s, request);
        outcome.reply = receiveAll(pair.client.s);
    }
    return outcome;
}

std::string request(const std::string& firstLine, const std::string& headers)
{
    return firstLine + "\r\n" + headers + "\r\n";
}

TEST(WebSocketHandshake, ServerDecidesOnMethodKeyAndUpgrade)
{
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string accepted101 =
        "HTTP/1.1 101 Switching Protocols\r\n"
        "Upgrade: websocket\r\n"
        "Connection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
        "\r\n";
    ASSERT_EQ(accepted101.size(), 129u);
    ASSERT_EQ(refused426.size(), 152u);

    struct Case {
        const char* what;
        std::string request;
        bool accepted;
    };
    const Case cases[] = {
        {"a plain upgrade",
         request("GET / HTTP/1.1", "Upgrade: websocket\r\nConnection: Upgrade\r\n" + key +
                                       "Sec-WebSocket-Version: 13\r\n"),
         true},
        {"lower-case header name, mixed-case value with blanks",
         request("GET / HTTP/1.1", "upgrade:  WebSocket \t\r\n" + key), true},
        {"no Connection header, other path, other version",
         request("GET /elsewhere HTTP/1.0", "Upgrade: websocket\r\n" + key +
                                                "Sec-WebSocket-Version: 8\r\n"),
         true},
        {"a second protocol in Upgrade",
         request("GET / HTTP/1.1", "Upgrade: websocket, h2c\r\n" + key), false},
        {"lower-case method", request("get / HTTP/1.1", "Upgrade: websocket\r\n" + key), false},
        {"no key", request("GET / HTTP/1.1", "Upgrade: websocket\r\n"), false},
        {"a key of blanks",
         request("GET / HTTP/1.1", "Upgrade: websocket\r\nSec-WebSocket-Key:  \t \r\n"), false},
        {"no Upgrade header", request("GET / HTTP/1.1", key), false},
        {"a POST", request("POST / HTTP/1.1", "Upgrade: websocket\r\n" + key), false},
    };
    for (const Case& c : cases) {
        ServerOutcome outcome = runServerHandshake(c.request);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.what;
        EXPECT_EQ(outcome.reply, c.accepted ? accepted101 : refused426) << c.what;
    }

    ServerOutcome twoKeys = runServerHandshake(
        request("GET / HTTP/1.1", "Upgrade: websocket\r\n" + key + "Sec-WebSocket-Key: other\r\n"));
    EXPECT_TRUE(twoKeys.accepted);
    EXPECT_EQ(twoKeys.reply, accepted101) << "the first key line is the one answered";
}

TEST(WebSocketHandshake, HeadSizeLimit)
{
    // Pads a valid upgrade request to exactly the given size.
    auto sized = [](std::size_t size) {
        const std::string start = "GET / HTTP/1.1\r\nUpgrade: websocket\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nX: ";
        std::string head = start;
        head.append(size - start.size() - 4, 'p');
        head += "\r\n\r\n";
        return head;
    };
    ServerOutcome exact = runServerHandshake(sized(8192));
    EXPECT_TRUE(exact.accepted) << "a head of exactly 8192 bytes is read whole";
    EXPECT_EQ(exact.reply.substr(0, 12), "HTTP/1.1 101");

    ServerOutcome over = runServerHandshake(sized(8193));
    EXPECT_FALSE(over.accepted);
    EXPECT_EQ(over.reply, "") << "an oversized head gets no reply at all";

    SocketPair pair = connectedPair();
    sendBytes(pair.client.s, "GET / HTTP/1.1\n\n\r\n\r\nrest");
    std::string head;
    EXPECT_TRUE(readHttpHead(pair.server.s, head));
    EXPECT_EQ(head, "GET / HTTP/1.1\n\n\r\n\r\n") << "bare line feeds do not end a head";
    EXPECT_EQ(receiveBytes(pair.server.s, 4), "rest") << "nothing past the head is consumed";
}

TEST(WebSocketHandshake, BothSidesAgreeAndTheFirstFrameSurvives)
{
    SocketPair pair = connectedPair();
    bool serverOk = false;
    std::string message;
    int readResult = 0;
    {
        JoinedThread server([&] {
            serverOk = serverHandshake(pair.server.s);
            WebSocketEndpoint endpoint{pair.server.s, [](const std::string&) {}, false};
            readResult = readMessage(endpoint, message);
        });
        EXPECT_TRUE(clientHandshake(pair.client.s, "127.0.0.1", 8113, "/"));
        const std::string frame = encodeFrame(wsOpBinary, "first block", true);
        sendBytes(pair.client.s, frame);
    }
    EXPECT_TRUE(serverOk);
    EXPECT_EQ(readResult, 1);
    EXPECT_EQ(message, "first block");

    // A client's request and its first frame in one packet: the frame stays
    // in the socket for the frame reader.
    SocketPair packed = connectedPair();
    sendBytes(packed.client.s,
              "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: abc\r\n\r\n" +
                  encodeFrame(wsOpBinary, "behind", false));
    EXPECT_TRUE(serverHandshake(packed.server.s));
    WebSocketEndpoint endpoint{packed.server.s, [](const std::string&) {}, false};
    EXPECT_EQ(readMessage(endpoint, message), 1);
    EXPECT_EQ(message, "behind");
}

// Runs clientHandshake against a fake server that reads the request and
// answers with reply(key).
bool clientAgainst(std::function<std::string(const std::string& key)> reply, std::string* seen = nullptr)
{
    SocketPair pair = connectedPair();
    bool result = false;
    {
        JoinedThread client([&] { result = clientHandshake(pair.client.s, "localhost", 42, "/p"); });
        std::string head;
        EXPECT_TRUE(readHttpHead(pair.server.s, head));
        if (seen != nullptr)
            *seen = head;
        const std::string answer = reply(headerValue(head, "Sec-WebSocket-Key"));
        sendBytes(pair.server.s, answer);
        shutdownSocket(pair.server.s);
    }
    return result;
}

TEST(WebSocketHandshake, ClientChecksStatusAndAcceptValue)
{
    std::string head;
    EXPECT_TRUE(clientAgainst(
        [](const std::string& key) {
            return "HTTP/1.1 101\r\nSec-WebSocket-Accept: " + webSocketAccept(key) + "\r\n\r\n";
        },
        &head))
        << "a bare 101 status line with the right accept value";

    const std::string key = headerValue(head, "Sec-WebSocket-Key");
    EXPECT_EQ(key.size(), 24u);
    EXPECT_EQ(key.substr(22), "==");
    EXPECT_EQ(head, "GET /p HTTP/1.1\r\nHost: localhost:42\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Key: " +
                        key + "\r\nSec-WebSocket-Version: 13\r\n\r\n");

    std::string second;
    clientAgainst([](const std::string&) { return std::string("HTTP/1.1 101\r\n\r\n"); }, &second);
    EXPECT_NE(headerValue(second, "Sec-WebSocket-Key"), key) << "every call draws a new key";

    EXPECT_FALSE(clientAgainst([](const std::string& k) {
        return "HTTP/1.0 101 Switching Protocols\r\nSec-WebSocket-Accept: " + webSocketAccept(k) +
               "\r\n\r\n";
    })) << "HTTP/1.0";
    EXPECT_FALSE(clientAgainst([](const std::string& k) {
        std::string wrong = webSocketAccept(k);
        for (char& c : wrong)
            c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c)
                                                                               : std::tolower(c));
        return "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " + wrong + "\r\n\r\n";
    })) << "an accept value that differs in letter case";
    EXPECT_FALSE(clientAgainst([](const std::string&) { return refused426; })) << "426";
    EXPECT_FALSE(clientAgainst([](const std::string&) { return std::string("HTTP/1.1 101 Swi"); }))
        << "a head cut off by the close";
}

} // namespace
} // namespace dorvi::net
