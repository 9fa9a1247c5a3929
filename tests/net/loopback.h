#pragma once
// Loopback helpers for the networking tests: connected socket pairs, a peer
// thread that is always joined, and receives that cannot hang a test.

#include "net/platform.h"
#include "net/sockets.h"
#include "support/free_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace dorvi::net::testing {

// Every receive in a test gives up after this long instead of hanging.
inline constexpr int receiveLimitMs = 10000;

// Closes the socket it holds when it goes out of scope.
struct OwnedSocket {
    SOCKET s = INVALID_SOCKET;
    OwnedSocket() = default;
    explicit OwnedSocket(SOCKET socket) : s(socket) {}
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    OwnedSocket(OwnedSocket&& other) noexcept : s(std::exchange(other.s, INVALID_SOCKET)) {}
    ~OwnedSocket() { reset(); }
    void reset()
    {
        if (s != INVALID_SOCKET)
            closeSocket(std::exchange(s, INVALID_SOCKET));
    }
    SOCKET release() { return std::exchange(s, INVALID_SOCKET); }
};

struct Listener {
    OwnedSocket socket;
    std::uint16_t port = 0;
};

inline Listener listenLoopback()
{
    Listener listener;
    int error = -1;
    listener.socket.s = listenSocket(0, 8, error);
    EXPECT_NE(listener.socket.s, INVALID_SOCKET) << "listen on port 0 failed with " << error;
    listener.port = localPort(listener.socket.s);
    EXPECT_NE(listener.port, 0) << "no port learnt for the listener";
    return listener;
}

// Two ends of one loopback TCP connection, both with a receive time-out.
struct SocketPair {
    OwnedSocket client;
    OwnedSocket server;
};

inline SocketPair connectedPair()
{
    SocketPair pair;
    Listener listener = listenLoopback();
    int error = -1;
    pair.client.s = connectSocket("127.0.0.1", listener.port, error);
    EXPECT_NE(pair.client.s, INVALID_SOCKET) << "connect failed with " << error;
    pair.server.s = acceptSocket(listener.socket.s);
    EXPECT_NE(pair.server.s, INVALID_SOCKET) << "accept failed";
    setReceiveTimeout(pair.client.s, receiveLimitMs);
    setReceiveTimeout(pair.server.s, receiveLimitMs);
    return pair;
}

inline void sendBytes(SOCKET s, std::string_view bytes)
{
    ASSERT_TRUE(sendAll(s, bytes.data(), bytes.size())) << "send of " << bytes.size() << " bytes failed";
}

// Exactly count bytes, or what arrived before the peer closed or the
// receive time-out struck.
inline std::string receiveBytes(SOCKET s, std::size_t count)
{
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < count) {
        std::size_t want = std::min(sizeof buffer, count - bytes.size());
        int r = recvSome(s, buffer, static_cast<int>(want));
        if (r <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(r));
    }
    return bytes;
}

// Everything until the peer closes (or the time-out strikes).
inline std::string receiveAll(SOCKET s)
{
    std::string bytes;
    char buffer[4096];
    for (;;) {
        int r = recvSome(s, buffer, static_cast<int>(sizeof buffer));
        if (r <= 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(r));
    }
}

// A thread that is joined when the test leaves its scope, also on failure.
struct JoinedThread {
    std::thread thread;
    explicit JoinedThread(std::function<void()> body) : thread(std::move(body)) {}
    JoinedThread(const JoinedThread&) = delete;
    JoinedThread& operator=(const JoinedThread&) = delete;
    ~JoinedThread()
    {
        if (thread.joinable())
            thread.join();
    }
    void join() { thread.join(); }
};

// Waits until the thread with this kernel id sleeps in a blocking call, so
// that a test wakes a call that is really blocked. False after 5 seconds.
inline bool waitUntilBlocked(long tid)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // The state follows the command name, which is in parentheses.
        std::size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S')
            return true;
        std::this_thread::yield();
    }
    return false;
}

inline std::string hexBytes(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 15]);
    }
    return text;
}

} // namespace dorvi::net::testing
