#pragma once

// An in-process server for tests: the real Server, its main loop on a thread,
// its log captured line by line so a test can wait for a line.

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "net/sockets.h"
#include "server/server.h"
#include "support/free_port.h"
#include "support/line_record.h"

namespace dorvi::testing {

// The Server and its log are never freed: detached connection and table
// threads may still use them after the test. They stay reachable from here.
class InProcessServer {
public:
    explicit InProcessServer(server::ServerConfig config = defaultConfig()) {
        static std::mutex& keepMutex = *new std::mutex;
        static auto& kept = *new std::vector<std::tuple<LineLog*, std::ostream*, server::Server*>>;
        log_ = new LineLog;
        stream_ = new std::ostream(log_);
        server_ = new server::Server(config, *stream_);
        {
            std::lock_guard<std::mutex> guard(keepMutex);
            kept.emplace_back(log_, stream_, server_);
        }
        loop_ = std::thread([this] { server_->run(); });
    }

    ~InProcessServer() {
        if (!loop_.joinable()) return;
        post(server::msgStop);
        post(server::msgQuit);
        loop_.join();
    }

    static server::ServerConfig defaultConfig() {
        server::ServerConfig config;
        config.port = 0;
        config.wsPort = 0;  // listenSocket(0): a port the system picks
        config.timeScale = 0;
        return config;
    }

    // Opens the listeners; true once both are bound.
    bool start() {
        std::size_t from = log_->lines().size();
        post(server::msgStart);
        return log_->waitFor("Server is accepting connections", std::chrono::seconds(10), from).has_value() &&
               log_->waitFor([](const std::string& l) { return l.starts_with("Accepting browsers on port "); },
                             std::chrono::seconds(10), from).has_value();
    }

    void post(int16_t type, std::string text = {}) {
        server::DorviMsg msg;
        msg.type = type;
        msg.text = std::move(text);
        server_->post(std::move(msg));
    }

    template <class F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(server_->mutex);
        return f(*server_);
    }

    // Waits until the condition holds under the server mutex.
    bool waitUntil(const std::function<bool(server::Server&)>& condition, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (locked(condition)) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::yield();
        }
    }

    std::uint16_t port() const { return server_->boundPort.load(); }
    std::uint16_t wsPort() const { return server_->boundWsPort.load(); }
    LineLog& log() { return *log_; }
    std::thread::id loopThread() const { return loop_.get_id(); }
    server::Server& raw() { return *server_; }

protected:
    // Ends the main loop once it has been told to quit.
    void joinLoop() {
        if (loop_.joinable()) loop_.join();
    }

private:
    LineLog* log_;
    std::ostream* stream_;
    server::Server* server_;
    std::thread loop_;
};

// How many slots hold a connection; call it under the server mutex.
inline int connectedSlots(const server::Server& s) {
    int n = 0;
    for (const server::DorviPlayer& p : s.slots) n += p.connected ? 1 : 0;
    return n;
}

}  // namespace dorvi::testing
