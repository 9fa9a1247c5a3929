#include "loopback.h"

#include "net/platform.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace dorvi::net {
namespace {

using namespace dorvi::net::testing;

int openDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

TEST(SocketLayer, ListenersReportPortsAndStagedBindErrors)
{
    netEnsureStarted();
    EXPECT_TRUE(netStarted.load());

    Listener first = listenLoopback();
    int error = -1;
    SOCKET second = listenSocket(first.port, 8, error);
    EXPECT_EQ(second, INVALID_SOCKET) << "a second live listener on port " << first.port;
    EXPECT_EQ(error, 210048);
    if (second != INVALID_SOCKET)
        closeSocket(second);

    EXPECT_EQ(localPort(INVALID_SOCKET), 0);
    OwnedSocket unbound(wsa::socketTcp4());
    ASSERT_NE(unbound.s, INVALID_SOCKET);
    EXPECT_EQ(localPort(unbound.s), 0) << "an unbound socket has no port";
}

TEST(SocketLayer, ListenerReopensWhileOldConnectionsLinger)
{
    // A reset server must listen again on its port at once, while the
    // connections it closed itself still sit in TIME_WAIT.
    std::uint16_t port = 0;
    {
        SocketPair pair;
        Listener listener = listenLoopback();
        port = listener.port;
        int error = -1;
        pair.client.s = connectSocket("127.0.0.1", port, error);
        ASSERT_NE(pair.client.s, INVALID_SOCKET) << error;
        pair.server.s = acceptSocket(listener.socket.s);
        ASSERT_NE(pair.server.s, INVALID_SOCKET);
        pair.server.reset();
        setReceiveTimeout(pair.client.s, receiveLimitMs);
        char byte;
        EXPECT_EQ(recvSome(pair.client.s, &byte, 1), 0) << "the client should see the close";
    }
    int error = -1;
    OwnedSocket again(listenSocket(port, 8, error));
    EXPECT_NE(again.s, INVALID_SOCKET) << "reopening port " << port << " failed with " << error;
    EXPECT_EQ(error, 0);
}

TEST(SocketLayer, ConnectFailuresGiveStagedCodes)
{
    const std::uint16_t freePort = dorvi::testing::freePort();
    int error = -1;
    SOCKET s = connectSocket("127.0.0.1", freePort, error);
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(error, 310061) << "nothing listens on port " << freePort;

    // A label above 63 characters is refused by the resolver itself, so no
    // name server is ever asked.
    const std::string badName = std::string(70, 'x') + ".invalid";
    const int before = openDescriptors();
    error = -1;
    s = connectSocket(badName, 80, error);
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(error, netErrorResolveFailed);
    EXPECT_EQ(openDescriptors(), before) << "a socket was left behind by a failed resolve";
}

TEST(SocketLayer, SendAndReceiveEdges)
{
    SocketPair pair = connectedPair();
    EXPECT_TRUE(sendAll(pair.client.s, "", 0));
    char none = 0;
    EXPECT_EQ(recvExact(pair.server.s, &none, 0), 1);

    sendBytes(pair.client.s, std::string(100, 'a'));
    pair.client.reset();
    char buffer[128];
    EXPECT_EQ(recvExact(pair.server.s, buffer, sizeof buffer), 0)
        << "100 bytes and a close must not count as 128";
    EXPECT_EQ(std::string(buffer, 100), std::string(100, 'a'));
    EXPECT_EQ(recvSome(pair.server.s, buffer, 1), 0);
    EXPECT_EQ(recvSome(pair.server.s, buffer, -1), -1) << "a negative size must not read at all";
    EXPECT_EQ(netLastError(), WSAEINVAL);
}

TEST(SocketLayer, ErrorNumbersAreTheWindowsSocketsOnes)
{
    // Linux numbers most socket errors differently from BSD, whose numbers
    // the Windows Sockets codes carry; staged codes must read the same.
    const struct {
        int native;
        int expected;
    } cases[] = {
        {EINTR, 10004},        {EBADF, 10009},         {EACCES, 10013},       {EINVAL, 10022},
        {EMFILE, 10024},       {EAGAIN, 10035},        {ENOTSOCK, 10038},     {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},  {ECONNABORTED, 10053},
        {ECONNRESET, 10054},   {ENOBUFS, 10055},       {ENOTCONN, 10057},     {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061}, {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    };
    for (const auto& c : cases) {
        errno = c.native;
        EXPECT_EQ(wsa::WSAGetLastError(), c.expected) << "errno " << c.native;
    }
}

TEST(SocketLayer, SendToVanishedPeerFailsWithoutSignal)
{
    SocketPair pair = connectedPair();
    pair.server.reset();
    // The peer's reset arrives after the first send; a signal would kill the
    // whole test binary here.
    const std::string chunk(65536, 'z');
    bool failed = false;
    for (int i = 0; i < 1000 && !failed; ++i)
        failed = !sendAll(pair.client.s, chunk.data(), chunk.size());
    EXPECT_TRUE(failed) << "sending to a closed peer kept succeeding";
}

TEST(SocketLayer, ShutdownFromAnotherThreadWakesBlockedCalls)
{
    std::atomic<long> tid{0};
    auto currentTid = [] { return static_cast<long>(::syscall(SYS_gettid)); };

    Listener listener = listenLoopback();
    SOCKET accepted = 0;
    {
        JoinedThread waiter([&] {
            tid = currentTid();
            accepted = acceptSocket(listener.socket.s);
        });
        while (tid == 0)
            std::this_thread::yield();
        EXPECT_TRUE(waitUntilBlocked(tid)) << "accept never blocked";
        shutdownSocket(listener.socket.s);
    }
    EXPECT_EQ(accepted, INVALID_SOCKET);

    tid = 0;
    Listener closing = listenLoopback();
    const SOCKET closingHandle = closing.socket.s;
    {
        JoinedThread waiter([&] {
            tid = currentTid();
            accepted = acceptSocket(closingHandle);
        });
        while (tid == 0)
            std::this_thread::yield();
        EXPECT_TRUE(waitUntilBlocked(tid)) << "accept never blocked";
        closing.socket.reset();
    }
    EXPECT_EQ(accepted, INVALID_SOCKET) << "closing the listener must end a blocked accept";

    tid = 0;
    SocketPair pair = connectedPair();
    setReceiveTimeout(pair.server.s, 0);
    int received = 99;
    {
        JoinedThread reader([&] {
            tid = currentTid();
            char byte;
            received = recvSome(pair.server.s, &byte, 1);
        });
        while (tid == 0)
            std::this_thread::yield();
        EXPECT_TRUE(waitUntilBlocked(tid)) << "receive never blocked";
        shutdownSocket(pair.server.s);
    }
    EXPECT_LE(received, 0) << "a blocked receive must end when its socket is shut down";
}

TEST(SocketLayer, ReceiveTimeOutFailsAndCanBeCleared)
{
    SocketPair pair = connectedPair();
    ASSERT_TRUE(setReceiveTimeout(pair.server.s, 50));
    char byte;
    EXPECT_EQ(recvSome(pair.server.s, &byte, 1), -1);
    EXPECT_EQ(netLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(recvExact(pair.server.s, &byte, 1), -1);

    ASSERT_TRUE(setReceiveTimeout(pair.server.s, 0));
    ASSERT_TRUE(setSendTimeout(pair.client.s, 1000));
    sendBytes(pair.client.s, "k");
    EXPECT_EQ(recvSome(pair.server.s, &byte, 1), 1);
    EXPECT_EQ(byte, 'k');
}

// Sends a MiB at a time to a peer that does not read; true once a send fails.
template <class Send>
bool sendUntilRefused(Send send)
{
    const std::string chunk(1 << 20, 'q');
    for (int i = 0; i < 256; ++i) {
        if (!send(chunk))
            return true;
    }
    return false;
}

TEST(SocketLayer, SendTimeOutFailsWhenThePeerDoesNotRead)
{
    SocketPair pair = connectedPair();
    ASSERT_TRUE(setSendTimeout(pair.client.s, 100));
    EXPECT_TRUE(sendUntilRefused([&](const std::string& chunk) {
        return sendAll(pair.client.s, chunk.data(), chunk.size());
    })) << "a send into a full connection never timed out";
    EXPECT_EQ(netLastError(), WSAEWOULDBLOCK);
}

// What the server relies on for its players: blocks leave at once, dead
// peers are found, sends never wait, and a peer's close is seen without
// reading what it sent before it.
TEST(SocketLayer, PlayerSocketsSendAtOnceNeverWaitAndWatchThePeer)
{
    SocketPair pair = connectedPair();
    auto option = [](SOCKET s, int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        EXPECT_EQ(::getsockopt(static_cast<int>(s), level, name, &value, &length), 0) << name;
        return value;
    };
    EXPECT_EQ(option(pair.client.s, IPPROTO_TCP, TCP_NODELAY), 1) << "connected";
    EXPECT_EQ(option(pair.server.s, IPPROTO_TCP, TCP_NODELAY), 1) << "accepted";
    EXPECT_EQ(option(pair.server.s, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(pair.server.s, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(option(pair.server.s, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(option(pair.server.s, IPPROTO_TCP, TCP_KEEPCNT), 6);
    EXPECT_EQ(option(pair.server.s, IPPROTO_TCP, TCP_USER_TIMEOUT), 120000);

    sendBytes(pair.client.s, "abc");
    EXPECT_EQ(waitForPeer(pair.server.s, true, receiveLimitMs), 1);
    EXPECT_EQ(unreadBytes(pair.server.s), 3u);
    EXPECT_EQ(waitForPeer(pair.server.s, false, 10), 0) << "data is no close";

    EXPECT_TRUE(sendUntilRefused([&](const std::string& chunk) {
        return sendAllNow(pair.server.s, chunk.data(), chunk.size());
    })) << "a peer that does not read never filled the connection";
    EXPECT_EQ(netLastError(), WSAEWOULDBLOCK);

    pair.client.reset();
    EXPECT_EQ(waitForPeer(pair.server.s, false, receiveLimitMs), -1) << "the close behind unread data";
}

} // namespace
} // namespace dorvi::net
