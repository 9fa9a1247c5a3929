#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <random>

#include "net/sockets.h"

namespace dorvi::testing {

// The lowest port the system picks for listeners on port 0 and for outgoing
// connections, 0 when that cannot be read.
inline int systemPortRangeStart() {
    int lowest = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> lowest;
    return lowest > 2048 && lowest <= 65536 ? lowest : 0;
}

// A port nothing listens on right now. It is taken from below the range the
// system picks from: a port from that range can be given to another suite's
// listener on port 0 or become the local port of its connection before the
// server binds it, and then the server's bind fails. Each process starts at
// its own random place and never hands out a port twice, so suites running
// side by side seldom meet. Where that range cannot be read, the system
// picks the port.
inline std::uint16_t freePort() {
    net::netEnsureStarted();
    int error = 0;
    static const int below = systemPortRangeStart();
    if (below > 0) {
        const int first = below / 2;
        const int span = below - first;
        static std::atomic<int> next{static_cast<int>(std::random_device{}() % static_cast<unsigned>(span))};
        for (int tried = 0; tried < span; ++tried) {
            const auto port = static_cast<std::uint16_t>(first + next.fetch_add(1) % span);
            const net::SOCKET s = net::listenSocket(port, 1, error);
            if (s == net::INVALID_SOCKET) continue;
            net::closeSocket(s);
            return port;
        }
    }
    const net::SOCKET s = net::listenSocket(0, 1, error);
    if (s == net::INVALID_SOCKET) return 0;
    const std::uint16_t port = net::localPort(s);
    net::closeSocket(s);
    return port;
}

}  // namespace dorvi::testing
