#include "net/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace dorvi::net {

namespace {

int toFd(SOCKET socket)
{
    // Handles that do not fit a descriptor (INVALID_SOCKET among them) become
    // -1, which every call refuses with EBADF.
    return socket > static_cast<SOCKET>(0x7fffffff) ? -1 : static_cast<int>(socket);
}

SOCKET fromFd(int fd)
{
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

sockaddr_in toSockaddr(const wsa::SocketAddressV4& address)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = address.port;
    result.sin_addr.s_addr = address.address;
    return result;
}

// Linux reports from accept the failure of a connection that died while it
// waited in the queue. That is no failure of the listener: a client that
// vanishes mid-handshake must not end the accept loop for everyone.
bool lostWhilePending(int error)
{
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
        return true;
    default:
        return false;
    }
}

bool setTimeout(SOCKET socket, int option, int milliseconds)
{
    if (milliseconds < 0)
        milliseconds = 0;
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ::setsockopt(toFd(socket), SOL_SOCKET, option, &value, sizeof value) == 0;
}

// Never raises SIGPIPE; a negative count would reach the system as a huge one.
int sendWithFlags(SOCKET socket, const char* data, int size, int flags)
{
    if (size < 0) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t sent;
    do {
        sent = ::send(toFd(socket), data, static_cast<size_t>(size), MSG_NOSIGNAL | flags);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? SOCKET_ERROR : static_cast<int>(sent);
}

// A block written to the socket leaves at once instead of waiting for the
// peer's delayed acknowledgement of the one before. Best effort: a socket
// that refuses the option still works, only slower.
void sendWithoutDelay(int fd)
{
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void keepAlive(int fd)
{
    int on = 1;
    int idle = keepAliveIdleSeconds;
    int interval = keepAliveIntervalSeconds;
    int probes = keepAliveProbes;
    unsigned int unacknowledged = unacknowledgedLimitMs;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Keepalive probes go out only while nothing is unacknowledged; this
    // bounds the other case, a peer that vanished while data was on its way.
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

void roomToReceive(int fd)
{
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0 || size >= receiveBufferFloorBytes)
        return;
    // The system doubles the value it is given, for its bookkeeping.
    int wanted = receiveBufferFloorBytes / 2;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
}

} // namespace

int sendNoWait(SOCKET socket, const char* data, int size)
{
    return sendWithFlags(socket, data, size, MSG_DONTWAIT);
}

std::size_t unreadBytes(SOCKET socket)
{
    int count = 0;
    if (::ioctl(toFd(socket), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::size_t>(count);
}

int waitForPeer(SOCKET socket, bool wakeOnData, int milliseconds)
{
    pollfd entry{};
    entry.fd = toFd(socket);
    entry.events = static_cast<short>(POLLRDHUP | (wakeOnData ? POLLIN : 0));
    int ready = ::poll(&entry, 1, milliseconds < 0 ? 0 : milliseconds);
    if (ready <= 0)
        return 0; // nothing, or a signal: the caller looks again
    if ((entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0)
        return -1;
    return (entry.revents & POLLIN) != 0 ? 1 : 0;
}

void wakeReceiver(SOCKET socket)
{
    // Linux sends nothing for this and keeps taking the peer's data, so the
    // peer sees no reset and its answer can still be read.
    ::shutdown(toFd(socket), SHUT_RD);
}

bool connectionOpen(SOCKET socket)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(toFd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_ESTABLISHED;
}

bool hasPendingError(SOCKET socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(toFd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0;
}

bool setSendTimeout(SOCKET socket, int milliseconds)
{
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

bool setReceiveTimeout(SOCKET socket, int milliseconds)
{
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

namespace wsa {

int WSAStartup(std::uint16_t version, WSADATA* data)
{
    // A log reader that goes away must cost log lines, not every match.
    std::signal(SIGPIPE, SIG_IGN);
    if (data != nullptr) {
        data->wVersion = version;
        data->wHighVersion = version;
    }
    return 0;
}

int WSAGetLastError()
{
    // Linux numbers its errors differently from BSD, so map by name.
    switch (errno) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN: return WSAEWOULDBLOCK;
#endif
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
#if EOPNOTSUPP != ENOTSUP
    case ENOTSUP: return WSAEOPNOTSUPP;
#endif
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    // A send to a peer that has gone away: the connection is reset.
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return 10000 + errno;
    }
}

SOCKET socketTcp4()
{
    return fromFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

int bindListener(SOCKET socket, const SocketAddressV4& address)
{
    // Lets a reset server listen again at once while the old connections of
    // the port sit in TIME_WAIT; on Linux a second live listener still fails.
    int on = 1;
    if (::setsockopt(toFd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return SOCKET_ERROR;
    sockaddr_in native = toSockaddr(address);
    return ::bind(toFd(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0
               ? 0
               : SOCKET_ERROR;
}

int listen(SOCKET socket, int backlog)
{
    return ::listen(toFd(socket), backlog) == 0 ? 0 : SOCKET_ERROR;
}

SOCKET accept(SOCKET socket, SocketAddressV4* address, int* length)
{
    sockaddr_in native{};
    socklen_t nativeLength = sizeof native;
    int fd;
    do {
        nativeLength = sizeof native;
        fd = ::accept4(toFd(socket), reinterpret_cast<sockaddr*>(&native), &nativeLength,
                       SOCK_CLOEXEC);
    } while (fd < 0 && (errno == EINTR || lostWhilePending(errno)));
    if (fd >= 0) {
        sendWithoutDelay(fd);
        keepAlive(fd);
        roomToReceive(fd);
    }
    if (fd >= 0 && address != nullptr) {
        address->family = native.sin_family;
        address->port = native.sin_port;
        address->address = native.sin_addr.s_addr;
        if (length != nullptr)
            *length = static_cast<int>(sizeof(SocketAddressV4));
    }
    return fromFd(fd);
}

int getsockname(SOCKET socket, SocketAddressV4* address, int* length)
{
    sockaddr_in native{};
    socklen_t nativeLength = sizeof native;
    if (::getsockname(toFd(socket), reinterpret_cast<sockaddr*>(&native), &nativeLength) != 0)
        return SOCKET_ERROR;
    if (native.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return SOCKET_ERROR;
    }
    if (address != nullptr) {
        address->family = addressFamilyInet;
        address->port = native.sin_port;
        address->address = native.sin_addr.s_addr;
    }
    if (length != nullptr)
        *length = static_cast<int>(sizeof(SocketAddressV4));
    return 0;
}

int inetPton4(const std::string& text, std::uint32_t* address)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return 0;
    *address = parsed.s_addr;
    return 1;
}

bool resolveFirstIpv4(const std::string& host, std::uint32_t* address)
{
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return false;
    bool found = false;
    if (list != nullptr && list->ai_addr != nullptr && list->ai_family == AF_INET) {
        *address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
        found = true;
    }
    if (list != nullptr)
        ::freeaddrinfo(list);
    return found;
}

int connect(SOCKET socket, const SocketAddressV4& address)
{
    sockaddr_in native = toSockaddr(address);
    if (::connect(toFd(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
        return SOCKET_ERROR;
    sendWithoutDelay(toFd(socket));
    return 0;
}

int send(SOCKET socket, const char* data, int size)
{
    return sendWithFlags(socket, data, size, 0);
}

int recv(SOCKET socket, char* buffer, int size)
{
    // A negative count would reach the system as a huge one and let the
    // receive run past the caller's buffer.
    if (size < 0) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    ssize_t received;
    do {
        received = ::recv(toFd(socket), buffer, static_cast<size_t>(size), 0);
    } while (received < 0 && errno == EINTR);
    return received < 0 ? SOCKET_ERROR : static_cast<int>(received);
}

int shutdown(SOCKET socket, int how)
{
    int native = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(toFd(socket), native) == 0 ? 0 : SOCKET_ERROR;
}

int closesocket(SOCKET socket)
{
    // Closing a descriptor does not wake a thread blocked in accept or recv
    // on it here, as it does on the platform the callers expect; shutting
    // it down first does. The error of a socket that was never connected is
    // of no interest.
    int fd = toFd(socket);
    int savedErrno = errno;
    ::shutdown(fd, SHUT_RDWR);
    errno = savedErrno;
    return ::close(fd) == 0 ? 0 : SOCKET_ERROR;
}

std::uint16_t hostToNet16(std::uint16_t value)
{
    return htons(value);
}

std::uint32_t hostToNet32(std::uint32_t value)
{
    return htonl(value);
}

std::uint16_t netToHost16(std::uint16_t value)
{
    return ntohs(value);
}

} // namespace wsa
} // namespace dorvi::net
