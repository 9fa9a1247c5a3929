#include "net/sockets.h"

#include <algorithm>
#include <climits>

namespace dorvi::net {

std::atomic<bool> netStarted{false};

void netStartup()
{
    wsa::WSADATA data;
    // The result is deliberately dropped: a failed start shows up as the
    // error of the next socket call.
    static_cast<void>(wsa::WSAStartup(0x0101, &data));
    netStarted.store(true);
}

void netEnsureStarted()
{
    // Several bot threads may get here at once; an extra start is harmless.
    if (!netStarted.load())
        netStartup();
}

int netLastError()
{
    return wsa::WSAGetLastError();
}

SOCKET listenSocket(std::uint16_t port, int backlog, int& error)
{
    netEnsureStarted();
    SOCKET s = wsa::socketTcp4();
    if (s == INVALID_SOCKET) {
        error = 100000 + wsa::WSAGetLastError();
        return INVALID_SOCKET;
    }
    wsa::SocketAddressV4 address;
    address.family = wsa::addressFamilyInet;
    address.port = wsa::hostToNet16(port);
    address.address = wsa::hostToNet32(0);
    if (wsa::bindListener(s, address) != 0) {
        error = 200000 + wsa::WSAGetLastError();
        wsa::closesocket(s);
        return INVALID_SOCKET;
    }
    if (wsa::listen(s, backlog) != 0) {
        error = 300000 + wsa::WSAGetLastError();
        wsa::closesocket(s);
        return INVALID_SOCKET;
    }
    error = 0;
    return s;
}

SOCKET acceptSocket(SOCKET listener)
{
    wsa::SocketAddressV4 peer;
    int length = static_cast<int>(sizeof peer);
    return wsa::accept(listener, &peer, &length);
}

std::uint16_t localPort(SOCKET socket)
{
    wsa::SocketAddressV4 address;
    int length = static_cast<int>(sizeof address);
    if (wsa::getsockname(socket, &address, &length) != 0)
        return 0;
    return wsa::netToHost16(address.port);
}

SOCKET connectSocket(const std::string& host, std::uint16_t port, int& error)
{
    netEnsureStarted();
    wsa::SocketAddressV4 address;
    address.family = wsa::addressFamilyInet;
    address.port = wsa::hostToNet16(port);
    if (wsa::inetPton4(host, &address.address) != 1 &&
        !wsa::resolveFirstIpv4(host, &address.address)) {
        error = netErrorResolveFailed;
        return INVALID_SOCKET;
    }
    SOCKET s = wsa::socketTcp4();
    if (s == INVALID_SOCKET) {
        error = 200000 + wsa::WSAGetLastError();
        return INVALID_SOCKET;
    }
    if (wsa::connect(s, address) != 0) {
        error = 300000 + wsa::WSAGetLastError();
        wsa::closesocket(s);
        return INVALID_SOCKET;
    }
    error = 0;
    return s;
}

namespace {

// Hands the bytes to `send` until all are gone; false at the first send that
// takes nothing.
template <class Send>
bool sendEvery(const void* data, std::size_t size, Send send)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        int sent = send(next, chunk);
        if (sent <= 0)
            return false;
        next += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

} // namespace

bool sendAll(SOCKET socket, const void* data, std::size_t size)
{
    return sendEvery(data, size, [socket](const char* next, int chunk) { return wsa::send(socket, next, chunk); });
}

bool sendAllNow(SOCKET socket, const void* data, std::size_t size)
{
    return sendEvery(data, size, [socket](const char* next, int chunk) { return sendNoWait(socket, next, chunk); });
}

int recvSome(SOCKET socket, void* buffer, int size)
{
    int received = wsa::recv(socket, static_cast<char*>(buffer), size);
    return received < 0 ? -1 : received;
}

int recvExact(SOCKET socket, void* buffer, std::size_t size)
{
    char* next = static_cast<char*>(buffer);
    while (size > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        int received = wsa::recv(socket, next, chunk);
        if (received == 0)
            return 0;
        if (received < 0)
            return -1;
        next += received;
        size -= static_cast<std::size_t>(received);
    }
    return 1;
}

void shutdownSocket(SOCKET socket)
{
    wsa::shutdown(socket, SD_BOTH);
}

void shutdownSending(SOCKET socket)
{
    wsa::shutdown(socket, SD_SEND);
}

void closeSocket(SOCKET socket)
{
    wsa::closesocket(socket);
}

} // namespace dorvi::net
