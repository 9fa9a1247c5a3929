#include <cerrno>
#include <cstdio>
#include <istream>
#include <string>
#include <system_error>
#include <thread>

#include "net/sockets.h"
#include "rules/blocks.h"
#include "server/server.h"

namespace dorvi::server {

namespace {

std::string formatLine(const char* format, int a) {
    char line[64];
    std::snprintf(line, sizeof line, format, a);
    return line;
}

std::string formatLine(const char* format, int a, int b) {
    char line[80];
    std::snprintf(line, sizeof line, format, a, b);
    return line;
}

// A thread that could not be started is reported like a failed listen.
int threadFailureCode(const std::system_error& error) {
    int wsaError = error.code().value() == EAGAIN ? net::WSAEWOULDBLOCK : net::WSAENOBUFS;
    return 300000 + wsaError;
}

void closeListener(net::SOCKET& listener, uint64_t& listenerId) {
    if (listener != net::INVALID_SOCKET) {
        net::shutdownSocket(listener);
        net::closeSocket(listener);
        listener = net::INVALID_SOCKET;
    }
    listenerId = 0;
}

}  // namespace

void Server::start(std::unique_lock<std::mutex>&) {
    if (accepting) {
        log(formatLine("Could not start servet. ERROR %d", 200000 + net::WSAEADDRINUSE));
        return;
    }
    int code = 0;
    net::SOCKET sock = net::listenSocket(config.port, listenBacklog, code);
    if (sock == net::INVALID_SOCKET) {
        log(formatLine("Could not start servet. ERROR %d", code));
        return;
    }
    accepting = true;
    tcpListener = sock;
    tcpListenerId = ++listenerCounter;
    boundPort = net::localPort(sock);
    // The accept thread waits for the mutex, so starting it before the line
    // is queued changes nothing, and a failed start logs only its failure.
    try {
        std::thread(&Server::acceptConnections, this, sock, false, tcpListenerId).detach();
    } catch (const std::system_error& error) {
        closeListener(tcpListener, tcpListenerId);
        accepting = false;
        boundPort = 0;
        log(formatLine("Could not start servet. ERROR %d", threadFailureCode(error)));
        return;
    }
    log("Server is accepting connections");

    if (config.wsPort < 0) {
        return;
    }
    net::SOCKET sock2 = net::listenSocket(static_cast<uint16_t>(config.wsPort), listenBacklog, code);
    if (sock2 == net::INVALID_SOCKET) {
        log(formatLine("Could not accept browsers on port %d. ERROR %d", config.wsPort, code));
        return;
    }
    wsListener = sock2;
    wsListenerId = ++listenerCounter;
    boundWsPort = net::localPort(sock2);
    try {
        std::thread(&Server::acceptConnections, this, sock2, true, wsListenerId).detach();
    } catch (const std::system_error& error) {
        closeListener(wsListener, wsListenerId);
        boundWsPort = 0;
        log(formatLine("Could not accept browsers on port %d. ERROR %d", config.wsPort,
                       threadFailureCode(error)));
        return;
    }
    log(formatLine("Accepting browsers on port %d", boundWsPort.load()));
}

void Server::stop() {
    closeListener(tcpListener, tcpListenerId);
    closeListener(wsListener, wsListenerId);
    accepting = false;
    boundPort = 0;
    boundWsPort = 0;
    for (DorviTable& table : tables) {
        if (table.seated != 0) {
            table.abortTable();
        }
    }
    for (DorviPlayer& slot : slots) {
        if (slot.connected) {
            slot.drop();
        }
    }
    log("Server closed");
}

void Server::startConsole(std::istream& in) {
    // Untied before the thread starts: a tied input flushes its log stream
    // before every read, and only the main loop may touch the log.
    in.tie(nullptr);
    auto console = [this, &in] {
        std::string word;
        while (in >> word) {
            parseMsg(padBlock(word, blockSize), nullptr);
        }
    };
    try {
        std::thread(console).detach();
    } catch (const std::system_error&) {
        // Without a thread there is no console: the server runs as after
        // the end of its input.
    }
}

}  // namespace dorvi::server
