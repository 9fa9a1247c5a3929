#include "net/streams.h"

#include "net/sockets.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"

#include <algorithm>
#include <climits>

namespace dorvi::net {

namespace {

class TcpStream : public Stream {
public:
    explicit TcpStream(SOCKET s) : socket(s) {}

    int read(char* buffer, std::size_t size) override
    {
        return recvSome(socket, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    }

    bool write(std::string_view data) override { return sendAll(socket, data.data(), data.size()); }

    void shutdown() override { shutdownSocket(socket); }

    void close() override { closeSocket(socket); }

    SOCKET socket;
};

class WebSocketStream : public Stream {
public:
    explicit WebSocketStream(unsigned long long s)
        : socket(s),
          endpoint{s,
                   [s](const std::string& frame) {
                       static_cast<void>(sendAll(s, frame.data(), frame.size()));
                   },
                   true}
    {
    }

    int read(char* buffer, std::size_t size) override
    {
        if (size == 0)
            return 0;
        // An empty data message is legal and says nothing; returning 0 for
        // it would read as the end of the connection, so wait for the next.
        while (pending.empty()) {
            int r = readMessage(endpoint, pending);
            if (r != 1) {
                // Fragments of a message cut off by the close are no data.
                pending.clear();
                // After our close frame the match is over: the server's close,
                // its end of the stream, a reset or its silence all end it.
                return closing ? 0 : r;
            }
        }
        std::size_t n = std::min({size, pending.size(), static_cast<std::size_t>(INT_MAX)});
        std::copy_n(pending.data(), n, buffer);
        pending.erase(0, n);
        return static_cast<int>(n);
    }

    bool write(std::string_view data) override
    {
        const std::string frame = encodeFrame(wsOpBinary, data, true);
        return sendAll(socket, frame.data(), frame.size());
    }

    void shutdown() override
    {
        const std::string frame = encodeFrame(wsOpClose, std::string_view("\x03\xE8", 2), true);
        static_cast<void>(sendAll(socket, frame.data(), frame.size()));
        // Only the sending side ends, so the server's close frame still finds
        // a socket that reads it instead of one that answers it with a reset.
        shutdownSending(socket);
        setReceiveTimeout(socket, wsCloseWaitMs);
        // Our close frame was our last word: the server's is not echoed.
        endpoint.send = [](const std::string&) {};
        closing = true;
    }

    void close() override { closeSocket(socket); }

    SOCKET socket;
    WebSocketEndpoint endpoint;
    std::string pending;
    bool closing = false;
};

} // namespace

std::unique_ptr<Stream> connectTcp(const std::string& host, std::uint16_t port, int& error)
{
    SOCKET s = connectSocket(host, port, error);
    if (s == INVALID_SOCKET)
        return {};
    return std::make_unique<TcpStream>(s);
}

std::unique_ptr<Stream> connectWebSocket(const std::string& host, std::uint16_t port, int& error)
{
    SOCKET s = connectSocket(host, port, error);
    if (s == INVALID_SOCKET)
        return {};
    if (!clientHandshake(s, host, port, "/")) {
        closeSocket(s);
        error = netErrorHandshakeFailed;
        return {};
    }
    return std::make_unique<WebSocketStream>(s);
}

} // namespace dorvi::net
