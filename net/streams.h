#pragma once
// The bot's byte stream to the server, the same over plain TCP and over
// WebSocket.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace dorvi::net {

class Stream {
public:
    // Never closes the socket: the owner calls close first.
    virtual ~Stream() = default;
    // > 0 bytes placed in buffer (at most size), 0 when the peer closed the
    // connection, -1 on error.
    virtual int read(char* buffer, std::size_t size) = 0;
    // True when every byte went out.
    virtual bool write(std::string_view data) = 0;
    virtual void shutdown() = 0;
    virtual void close() = 0;
};

// Empty result on failure, with the netErrorCode in error.
std::unique_ptr<Stream> connectTcp(const std::string& host, std::uint16_t port, int& error);
std::unique_ptr<Stream> connectWebSocket(const std::string& host, std::uint16_t port, int& error);

} // namespace dorvi::net
