#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/platform.h"
#include "rules/card_rules.h"

namespace dorvi::server {

struct DorviTable;

// One of the server's 52 connection slots. The slot is reset and reused, never
// freed; a thread or queued message owns it only while `connected` is true and
// `id` still equals the id it started with. Every member runs with the server
// mutex held.
class DorviPlayer {
public:
    bool promptArmed = true;
    bool connected = false;
    bool inBidding = true;
    net::SOCKET socket = net::INVALID_SOCKET;
    DorviTable* table = nullptr;
    CardCode pendingCard = 0;
    std::string name;
    uint64_t id = 0;
    bool webSocket = false;

    // Sends the text as one 128-byte block (one binary frame on WebSocket).
    void sendBlock(std::string_view text);
    // Sends the text cut or padded to `size` bytes.
    void sendPadded(std::string_view text, std::size_t size);
    // Disconnects the player and frees the slot; the socket is shut down but
    // left for the connection thread to close.
    void drop();
};

// The longest name kept from a greeting block.
inline constexpr std::size_t maxNameLength = 122;

// Real-time limits on a player's connection (not scaled by the time scale).
inline constexpr int sendTimeoutMs = 5000;
inline constexpr int greetingTimeoutMs = 10000;

// A connection with this many messages waiting in the server's queue stops
// reading until they drain, so TCP flow control holds a flooding client back
// instead of the queue growing without bound.
inline constexpr std::size_t maxQueuedPerPlayer = 16;
// Real-time step of that wait.
inline constexpr int queueDrainPollMs = 2;

// The log form of a Windows-1257 name: UTF-8, with control characters as "?"
// so that a name can neither forge log lines nor drive the terminal.
std::string logName(std::string_view name);

}  // namespace dorvi::server
