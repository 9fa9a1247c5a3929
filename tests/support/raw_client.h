#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/sockets.h"
#include "rules/blocks.h"

namespace dorvi::testing {

// The same 128-byte block `times` times over, for a client that floods.
inline std::string repeatedBlock(std::string_view text, int times) {
    std::string batch;
    for (int i = 0; i < times; ++i) batch += padBlock(text, blockSize);
    return batch;
}

// A loopback connection that sends whatever a test wants and notices when the
// server ends it.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        int code = 0;
        socket = net::connectSocket("127.0.0.1", port, code);
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return socket != net::INVALID_SOCKET; }
    bool send(std::string_view bytes) { return connected() && net::sendAll(socket, bytes.data(), bytes.size()); }
    bool sendBlock(std::string_view text) { return send(padBlock(text, blockSize)); }
    // As ProtocolClient names it, so a test can drive either kind alike.
    bool sendBytes(std::string_view bytes) { return send(bytes); }

    // Reads what arrives until the server ends the connection, keeping it
    // only when asked; true when the end came within the time.
    bool waitEnd(std::chrono::milliseconds timeout, bool keep = true) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (connected()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            net::setReceiveTimeout(socket, static_cast<int>(left.count()));
            int n = net::recvSome(socket, buffer, sizeof buffer);
            if (n > 0) {
                if (keep) received.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && net::netLastError() == net::WSAEWOULDBLOCK) continue;
            return true;  // closed, or reset by the server
        }
        return false;
    }

    // Wakes a thread blocked on this connection; close() comes later.
    void shutdown() {
        if (connected()) net::shutdownSocket(socket);
    }

    void close() {
        if (!connected()) return;
        net::shutdownSocket(socket);
        net::closeSocket(socket);
        socket = net::INVALID_SOCKET;
    }

    net::SOCKET socket = net::INVALID_SOCKET;
    std::string received;
};

}  // namespace dorvi::testing
