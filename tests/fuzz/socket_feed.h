#pragma once
// A connected socket pair whose far end has already sent the fuzz input and
// closed its sending side, so that the code under test reads exactly those
// bytes and then sees the peer's end of stream.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "net/platform.h"

namespace dorvi::fuzz {

// Inputs are capped below the socket buffers, so the whole input is queued
// before the code under test starts reading.
inline constexpr std::size_t maxFedBytes = 200000;

class FedSocket {
public:
    explicit FedSocket(std::string_view bytes) {
        int fds[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "socketpair failed");
        near = fds[0];
        far = fds[1];
        const int buffer = 1 << 20;
        ::setsockopt(far, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        ::setsockopt(near, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        while (!bytes.empty()) {
            ssize_t sent = ::send(far, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            FUZZ_CHECK(sent > 0, "the fuzz input did not fit into the socket buffer");
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        ::shutdown(far, SHUT_WR);
    }
    FedSocket(const FedSocket&) = delete;
    FedSocket& operator=(const FedSocket&) = delete;
    ~FedSocket() {
        if (near >= 0) ::close(near);
        ::close(far);
    }

    // The end the code under test reads from and replies on.
    net::SOCKET socket() const { return static_cast<net::SOCKET>(near); }
    // The same end, for code that closes it itself.
    net::SOCKET release() {
        const int fd = near;
        near = -1;
        return static_cast<net::SOCKET>(fd);
    }

    // The peer's end, for reading the replies from another thread.
    int peer() const { return far; }

    // Everything the code under test has sent back so far.
    std::string replies() const {
        std::string all;
        char chunk[4096];
        for (;;) {
            ssize_t got = ::recv(far, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0) break;
            all.append(chunk, static_cast<std::size_t>(got));
        }
        return all;
    }

private:
    int near = -1;
    int far = -1;
};

}  // namespace dorvi::fuzz
