#pragma once
// Our own small stand-in for the Windows Sockets calls that the socket layer
// makes, over POSIX sockets. platform.cpp is the only file that sees the
// POSIX socket headers; everything else goes through these declarations.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dorvi::net {

// The socket handle: the file descriptor, widened to 64 bits.
using SOCKET = std::uint64_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// Windows Sockets error numbers: 10000 plus the BSD errno number.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;

// Send and receive time-outs for one socket, in milliseconds; 0 clears the
// time-out again. A send or receive that runs out of time fails like any
// other (WSAEWOULDBLOCK). Returns true when the option was set.
bool setSendTimeout(SOCKET socket, int milliseconds);
bool setReceiveTimeout(SOCKET socket, int milliseconds);

// Keepalive on accepted sockets: a peer that vanished without a word (power
// loss, a forgotten NAT mapping) is found after the idle time and the probes,
// about two minutes; a live peer's own system answers the probes. Data the
// peer leaves unacknowledged that long ends the connection too.
inline constexpr int keepAliveIdleSeconds = 60;
inline constexpr int keepAliveIntervalSeconds = 10;
inline constexpr int keepAliveProbes = 6;
inline constexpr int unacknowledgedLimitMs =
    (keepAliveIdleSeconds + keepAliveIntervalSeconds * keepAliveProbes) * 1000;

// An accepted socket's receive buffer is at least this large, as the system
// counts it (bookkeeping included), so that a peer's close can still arrive
// behind data its reader holds back; larger system defaults are kept.
inline constexpr int receiveBufferFloorBytes = 128 * 1024;

// Like send, but takes only what the socket's send buffer has room for now;
// a full buffer fails at once with WSAEWOULDBLOCK instead of waiting.
int sendNoWait(SOCKET socket, const char* data, int size);
// Bytes the peer has sent that no receive has taken yet; 0 when unknown.
std::size_t unreadBytes(SOCKET socket);
// Waits up to `milliseconds` without reading anything: -1 once the peer has
// closed or reset the connection (or the socket was shut down), 1 when data
// is waiting and `wakeOnData` is set, otherwise 0.
int waitForPeer(SOCKET socket, bool wakeOnData, int milliseconds);
// Wakes a receive that waits on the socket without ending the connection:
// nothing goes to the peer and what it still sends stays readable, but no
// later receive waits for it; unreadBytes and connectionOpen tell what came.
void wakeReceiver(SOCKET socket);
// True while neither side has ended or reset the connection.
bool connectionOpen(SOCKET socket);
// True when an error (a reset, for one) ended the connection that no receive
// has reported: the end of the stream hides a reset behind it from every
// later receive. Asking clears it.
bool hasPendingError(SOCKET socket);

namespace wsa {

// IPv4 socket address in its 16-byte layout: port and address in network
// byte order, eight zero bytes at the end.
struct SocketAddressV4 {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
    unsigned char zero[8] = {};
};
static_assert(sizeof(SocketAddressV4) == 16);

inline constexpr std::uint16_t addressFamilyInet = 2;

struct WSADATA {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
};

// Always succeeds. Also makes the whole process ignore SIGPIPE, so that a
// closed log reader costs log lines, not the program; both programs pass here
// before their first log line.
int WSAStartup(std::uint16_t version, WSADATA* data);
// The calling thread's last socket error as a Windows Sockets number.
int WSAGetLastError();

// An IPv4 TCP socket, or INVALID_SOCKET.
SOCKET socketTcp4();
// Binds a socket that is to listen; earlier connections of the port that
// linger in TIME_WAIT do not block it, a live listener does. 0 on success.
int bindListener(SOCKET socket, const SocketAddressV4& address);
int listen(SOCKET socket, int backlog);
// Waits past connections that died in the queue; fails only for the listener
// or for want of resources (descriptors, buffers, memory). The accepted socket
// sends each block at once (no Nagle holds) and carries the keepalive above.
SOCKET accept(SOCKET socket, SocketAddressV4* address, int* length);
int getsockname(SOCKET socket, SocketAddressV4* address, int* length);
// 1 when text is a dotted-decimal IPv4 address, whose network-order value
// goes to address.
int inetPton4(const std::string& text, std::uint32_t* address);
// Resolves a host name to IPv4 stream addresses and takes the first one, in
// network order. False when the name does not resolve or gives no address.
bool resolveFirstIpv4(const std::string& host, std::uint32_t* address);
// The connected socket sends each block at once (no Nagle holds).
int connect(SOCKET socket, const SocketAddressV4& address);
// Never raises SIGPIPE: a peer that went away is a failed send. A negative
// size fails send and recv alike (WSAEINVAL).
int send(SOCKET socket, const char* data, int size);
int recv(SOCKET socket, char* buffer, int size);
int shutdown(SOCKET socket, int how);
// Also wakes any thread blocked on the socket before it is released.
int closesocket(SOCKET socket);

std::uint16_t hostToNet16(std::uint16_t value);
std::uint32_t hostToNet32(std::uint32_t value);
std::uint16_t netToHost16(std::uint16_t value);

} // namespace wsa
} // namespace dorvi::net
