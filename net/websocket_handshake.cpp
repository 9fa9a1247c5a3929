#include "net/websocket_handshake.h"

#include "net/sockets.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

namespace dorvi::net {

namespace {

constexpr std::size_t maxHeadSize = 8192;
constexpr std::string_view webSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr std::string_view refusedReply =
    "HTTP/1.1 426 Upgrade Required\r\n"
    "Upgrade: websocket\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n"
    "\r\n"
    "This is a Dorvi server. Connect to it with the game.\r\n";

std::string lowerAscii(std::string_view text)
{
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

std::uint32_t rotateLeft(std::uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

} // namespace

std::string trim(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size() && (text[begin] == '\t' || text[begin] == ' '))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && (text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == ' '))
        --end;
    return std::string(text.substr(begin, end - begin));
}

bool readHttpHead(SOCKET socket, std::string& head)
{
    // One byte per receive, so that whatever follows the blank line (the
    // peer's first frame) stays in the socket.
    for (;;) {
        if (head.size() >= maxHeadSize)
            return false;
        char byte = 0;
        if (recvExact(socket, &byte, 1) != 1)
            return false;
        head.push_back(byte);
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
            return true;
    }
}

std::string headerValue(std::string_view head, std::string_view name)
{
    const std::string wanted = lowerAscii(name);
    std::size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos)
        return {};
    for (;;) {
        std::size_t start = lineEnd + 2;
        if (start >= head.size())
            return {};
        lineEnd = head.find("\r\n", start);
        std::string_view line = head.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        std::size_t colon = line.find(':');
        if (!line.empty() && colon != std::string_view::npos &&
            lowerAscii(trim(line.substr(0, colon))) == wanted)
            return trim(line.substr(colon + 1));
        if (lineEnd == std::string_view::npos)
            return {};
    }
}

std::string sha1(std::string_view data)
{
    std::array<std::uint32_t, 5> h = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                      0xC3D2E1F0u};

    std::string message(data);
    const std::uint64_t bitLength = static_cast<std::uint64_t>(data.size()) * 8u;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56)
        message.push_back('\0');
    for (int shift = 56; shift >= 0; shift -= 8)
        message.push_back(static_cast<char>((bitLength >> shift) & 0xFFu));

    std::array<std::uint32_t, 80> w{};
    for (std::size_t block = 0; block < message.size(); block += 64) {
        for (std::size_t t = 0; t < 16; ++t) {
            w[t] = 0;
            for (std::size_t k = 0; k < 4; ++k)
                w[t] = (w[t] << 8) | static_cast<unsigned char>(message[block + t * 4 + k]);
        }
        for (std::size_t t = 16; t < 80; ++t)
            w[t] = rotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (std::size_t t = 0; t < 80; ++t) {
            std::uint32_t f, k;
            if (t < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999u;
            } else if (t < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1u;
            } else if (t < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDCu;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6u;
            }
            std::uint32_t temp = rotateLeft(a, 5) + f + e + k + w[t];
            e = d;
            d = c;
            c = rotateLeft(b, 30);
            b = a;
            a = temp;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }

    std::string digest;
    digest.reserve(20);
    for (std::uint32_t word : h) {
        for (int shift = 24; shift >= 0; shift -= 8)
            digest.push_back(static_cast<char>((word >> shift) & 0xFFu));
    }
    return digest;
}

std::string base64Encode(std::string_view data)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string result;
    result.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        std::uint32_t group = (static_cast<unsigned char>(data[i]) << 16) |
                              (static_cast<unsigned char>(data[i + 1]) << 8) |
                              static_cast<unsigned char>(data[i + 2]);
        result.push_back(alphabet[(group >> 18) & 63]);
        result.push_back(alphabet[(group >> 12) & 63]);
        result.push_back(alphabet[(group >> 6) & 63]);
        result.push_back(alphabet[group & 63]);
    }
    std::size_t rest = data.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16;
        if (rest == 2)
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
        result.push_back(alphabet[(group >> 18) & 63]);
        result.push_back(alphabet[(group >> 12) & 63]);
        result.push_back(rest == 2 ? alphabet[(group >> 6) & 63] : '=');
        result.push_back('=');
    }
    return result;
}

std::string webSocketAccept(std::string_view key)
{
    std::string text(key);
    text.append(webSocketGuid);
    return base64Encode(sha1(text));
}

bool clientHandshake(SOCKET socket, const std::string& host, std::uint16_t port,
                     const std::string& path)
{
    std::random_device device("default");
    std::string keyBytes;
    for (int i = 0; i < 16; ++i)
        keyBytes.push_back(static_cast<char>(device() & 0xFFu));
    const std::string key = base64Encode(keyBytes);

    std::string request;
    request += "GET " + path + " HTTP/1.1\r\n";
    request += "Host: " + host + ":" + std::to_string(port) + "\r\n";
    request += "Upgrade: websocket\r\n";
    request += "Connection: Upgrade\r\n";
    request += "Sec-WebSocket-Key: " + key + "\r\n";
    request += "Sec-WebSocket-Version: 13\r\n";
    request += "\r\n";
    if (!sendAll(socket, request.data(), request.size()))
        return false;

    std::string head;
    if (!readHttpHead(socket, head))
        return false;
    if (head.size() <= 11 || head.compare(0, 12, "HTTP/1.1 101") != 0)
        return false;
    return headerValue(head, "Sec-WebSocket-Accept") == webSocketAccept(key);
}

bool serverHandshake(SOCKET socket)
{
    std::string head;
    if (!readHttpHead(socket, head))
        return false;
    const std::string key = headerValue(head, "Sec-WebSocket-Key");
    const bool accepted = head.compare(0, 4, "GET ") == 0 && !key.empty() &&
                          lowerAscii(headerValue(head, "Upgrade")) == "websocket";
    if (!accepted) {
        static_cast<void>(sendAll(socket, refusedReply.data(), refusedReply.size()));
        return false;
    }
    std::string reply;
    reply += "HTTP/1.1 101 Switching Protocols\r\n";
    reply += "Upgrade: websocket\r\n";
    reply += "Connection: Upgrade\r\n";
    reply += "Sec-WebSocket-Accept: " + webSocketAccept(key) + "\r\n";
    reply += "\r\n";
    return sendAll(socket, reply.data(), reply.size());
}

} // namespace dorvi::net
