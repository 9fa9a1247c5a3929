#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "net/platform.h"
#include "server/player.h"
#include "server/table.h"

namespace dorvi::server {

struct ServerConfig {
    uint16_t port = 113;
    int32_t wsPort = 8113;  // -1: no WebSocket listener
    bool autoStart = false;
    double timeScale = 1.0;
    uint32_t seed = 0;
    bool seedSet = false;
};

// Message types of the queue.
inline constexpr int16_t msgQuit = 100;
inline constexpr int16_t msgStart = 101;
inline constexpr int16_t msgStop = 102;
inline constexpr int16_t msgReset = 103;
inline constexpr int16_t msgJoin = 104;
inline constexpr int16_t msgPrint = 105;
inline constexpr int16_t msgNext = 106;
inline constexpr int16_t msgBid = 107;
inline constexpr int16_t msgCard = 108;

struct DorviMsg {
    int16_t type = 0;
    int32_t value = 0;
    DorviPlayer* player = nullptr;  // not owned; null for the console and the server itself
    uint64_t playerId = 0;
    std::string text;
};

inline constexpr std::size_t playerSlotCount = 52;
inline constexpr std::size_t tableCount = 13;
inline constexpr int listenBacklog = 52;

class Server {
public:
    Server(const ServerConfig& config, std::ostream& logStream);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the detached console thread reading words from `in`.
    void startConsole(std::istream& in);
    // The main loop; returns 0 after a quit message.
    int run();
    // The message switch; `lock` owns `mutex` on entry and on return.
    void handle(std::unique_lock<std::mutex>& lock, const DorviMsg& msg);
    // Queues a message; the caller must not hold `mutex`.
    void post(DorviMsg msg);
    // Queues a log line; the caller holds `mutex`.
    void log(const std::string& text);
    // Releases `lock`, waits ms times the time scale, takes it again.
    void pause(std::unique_lock<std::mutex>& lock, int ms);

    // Opens the listeners; runs with `mutex` held through `lock`.
    void start(std::unique_lock<std::mutex>& lock);
    // Closes the listeners, ends every table, drops every player; `mutex` held.
    void stop();

    // Turns a received or typed block into a queued message; takes `mutex` only to post.
    // connectionId, when not 0, is the id the calling connection thread owns
    // the slot with: a block read just before the slot changed hands is dropped
    // instead of being credited to the slot's next connection. True when a
    // message was queued.
    bool parseMsg(std::string_view block, DorviPlayer* player, std::uint64_t connectionId = 0);

    // Body of an accept thread; listenerId names the opening of its listener.
    void acceptConnections(net::SOCKET socket, bool webSocket, uint64_t listenerId);
    // Body of a connection thread.
    void getPlayerMsg(DorviPlayer* player, uint64_t id, net::SOCKET socket, bool webSocket);

    // --- Table thread and play (defined with the tables) ---
    void runTable(DorviTable& table, uint64_t startEpoch);
    int waitCard(std::unique_lock<std::mutex>& lock, DorviTable& table, uint64_t startEpoch, DorviPlayer* player);
    int playTricks(std::unique_lock<std::mutex>& lock, DorviTable& table, uint64_t startEpoch);
    // --- end of the table block ---

    ServerConfig config;
    std::ostream* logStream;
    std::mutex mutex;
    std::vector<DorviMsg> queue;
    std::array<DorviPlayer, playerSlotCount> slots;
    std::array<DorviTable, tableCount> tables{};
    net::SOCKET tcpListener = net::INVALID_SOCKET;
    net::SOCKET wsListener = net::INVALID_SOCKET;
    // Each opening of a listener gets an id that is never given again, 0
    // while closed: a reopened listener can get the old descriptor number, and
    // an accept thread of the old one must not take its connections.
    uint64_t tcpListenerId = 0;
    uint64_t wsListenerId = 0;
    uint64_t listenerCounter = 0;
    bool accepting = false;
    bool quit = false;
    uint64_t connectionCounter = 0;
    std::atomic<uint16_t> boundPort{0};
    std::atomic<uint16_t> boundWsPort{0};
    std::mt19937 rng;

    // When each slot's greeting must be in; time_point::max() once it is (or
    // for a free slot). The main loop drops connections that miss it.
    std::array<std::chrono::steady_clock::time_point, playerSlotCount> greetingDeadlines;

private:
    void seatJoiningPlayer(DorviPlayer* player);
    // Writes the log lines at the head of the queue and takes them out of it;
    // `mutex` held.
    void writeLeadingLogLines();
    void writeLogLine(const std::string& text);
    void dropLateGreetings();
};

}  // namespace dorvi::server
