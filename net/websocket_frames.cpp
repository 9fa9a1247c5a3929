#include "net/websocket_frames.h"

#include "net/sockets.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace dorvi::net {

namespace {

// Hands a reply frame to the endpoint's writer. An endpoint built without
// one just does not answer; the read goes on as if the reply had gone out.
void sendReply(WebSocketEndpoint& endpoint, const std::string& frame)
{
    if (endpoint.send)
        endpoint.send(frame);
}

} // namespace

std::string encodeFrame(int opcode, std::string_view payload, bool mask)
{
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame.push_back(static_cast<char>(0x80 | (opcode & 0x0F)));

    const unsigned char maskBit = mask ? 0x80 : 0x00;
    const std::uint64_t length = payload.size();
    if (length <= 125) {
        frame.push_back(static_cast<char>(maskBit | length));
    } else if (length <= 65535) {
        frame.push_back(static_cast<char>(maskBit | 126));
        frame.push_back(static_cast<char>((length >> 8) & 0xFF));
        frame.push_back(static_cast<char>(length & 0xFF));
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }

    if (!mask) {
        frame.append(payload);
        return frame;
    }
    std::random_device device("default");
    unsigned char key[4];
    for (unsigned char& k : key)
        k = static_cast<unsigned char>(device() & 0xFFu);
    for (unsigned char k : key)
        frame.push_back(static_cast<char>(k));
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(static_cast<unsigned char>(payload[i]) ^ key[i % 4]));
    return frame;
}

int readMessage(WebSocketEndpoint& endpoint, std::string& out)
{
    out.clear();
    for (;;) {
        unsigned char head[2];
        int r = recvExact(endpoint.socket, head, 2);
        if (r != 1)
            return r;
        const bool fin = (head[0] & 0x80) != 0;
        const int opcode = head[0] & 0x0F;
        const bool masked = (head[1] & 0x80) != 0;
        const int lengthCode = head[1] & 0x7F;

        std::uint64_t length = static_cast<std::uint64_t>(lengthCode);
        if (lengthCode == 126) {
            unsigned char extended[2];
            if (recvExact(endpoint.socket, extended, 2) != 1)
                return -1;
            length = (static_cast<std::uint64_t>(extended[0]) << 8) | extended[1];
        } else if (lengthCode == 127) {
            unsigned char extended[8];
            if (recvExact(endpoint.socket, extended, 8) != 1)
                return -1;
            length = 0;
            for (unsigned char byte : extended)
                length = (length << 8) | byte;
            if (length > wsMaxMessage)
                return -1;
        }
        // Checked before any payload byte is read, control frames included.
        if (length + out.size() > wsMaxMessage)
            return -1;

        unsigned char key[4] = {};
        if (masked && recvExact(endpoint.socket, key, 4) != 1)
            return -1;
        std::string payload(static_cast<std::size_t>(length), '\0');
        if (length > 0 && recvExact(endpoint.socket, payload.data(), payload.size()) != 1)
            return -1;
        if (masked) {
            for (std::size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(static_cast<unsigned char>(payload[i]) ^ key[i % 4]);
        }

        switch (opcode) {
        case wsOpPing:
            sendReply(endpoint, encodeFrame(wsOpPong, payload, endpoint.maskOutgoing));
            break;
        case wsOpClose:
            sendReply(endpoint,
                      encodeFrame(wsOpClose,
                                  std::string_view(payload).substr(0, std::min<std::size_t>(
                                                                          2, payload.size())),
                                  endpoint.maskOutgoing));
            return 0;
        case wsOpContinuation:
        case wsOpText:
        case wsOpBinary:
            out += payload;
            if (fin)
                return 1;
            break;
        default:
            break;
        }
    }
}

} // namespace dorvi::net
