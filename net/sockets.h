#pragma once
// Blocking IPv4 TCP sockets: listen, accept, connect, send and receive.
// Failures of listen and connect come back as a staged netErrorCode.

#include "net/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dorvi::net {

// 0 for success; otherwise step * 100000 + the Windows Sockets error number.
using netErrorCode = std::int32_t;
inline constexpr netErrorCode netErrorResolveFailed = 310049;
inline constexpr netErrorCode netErrorHandshakeFailed = 310054;

// Set by the first start of the socket library; never set back.
extern std::atomic<bool> netStarted;

void netStartup();
void netEnsureStarted();
int netLastError();

SOCKET listenSocket(std::uint16_t port, int backlog, int& error);
SOCKET acceptSocket(SOCKET listener);
std::uint16_t localPort(SOCKET socket);
SOCKET connectSocket(const std::string& host, std::uint16_t port, int& error);

bool sendAll(SOCKET socket, const void* data, std::size_t size);
// Sends all bytes only if the send buffer has room for them now; false when
// it has not (what fitted is gone) or the send failed. Never waits.
bool sendAllNow(SOCKET socket, const void* data, std::size_t size);
// One receive: the count (> 0), 0 when the peer closed, -1 on error.
int recvSome(SOCKET socket, void* buffer, int size);
// 1 when exactly size bytes were read, 0 when the peer closed first, -1 on error.
int recvExact(SOCKET socket, void* buffer, std::size_t size);

void shutdownSocket(SOCKET socket);
// Ends only this side's sending; what the peer sends can still be read.
void shutdownSending(SOCKET socket);
void closeSocket(SOCKET socket);

} // namespace dorvi::net
