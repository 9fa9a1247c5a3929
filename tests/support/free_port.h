#pragma once

#include <cstdint>

#include "net/sockets.h"

namespace dorvi::testing {

// A port nothing listens on right now: bound by the system, then let go.
inline std::uint16_t freePort() {
    net::netEnsureStarted();
    int error = 0;
    const net::SOCKET s = net::listenSocket(0, 1, error);
    if (s == net::INVALID_SOCKET) return 0;
    const std::uint16_t port = net::localPort(s);
    net::closeSocket(s);
    return port;
}

}  // namespace dorvi::testing
