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
    // Disconnects the player and frees the slot; the socket is left for the
    // connection thread to close. A WebSocket player is sent its close frame
    // and its connection thread waits for the answer; every other socket is
    // shut down at once.
    void drop();
};

// The longest name kept from a greeting block.
inline constexpr std::size_t maxNameLength = 122;

// Real-time limit on a connection's start (not scaled by the time scale): the
// WebSocket upgrade and the greeting block must be in by then.
inline constexpr int greetingTimeoutMs = 10000;

// Sends never wait for a client. Every write to a player goes out under the
// server mutex, so a send that waited for a client that does not read would
// hold up every table. A block (or pong, or close frame) that the socket's
// send buffer cannot take at once therefore ends the connection as a lost
// one: the socket is shut down, as after a failed send, and the connection
// thread drops the player (a seated player's table ends). A client that keeps
// reading never comes near: a whole deal is about 5 KB, far below the room
// the buffer has.

// At most one message of a connection waits in the server's queue. A client
// that answers prompts never has more than one; the connection thread reads
// nothing more until that one has been handled, so TCP flow control holds a
// flooding client back and every other player's message waits at most one
// extra turn for it. A block that queues nothing (no keyword, or a console
// word) holds the reading back for one step, so garbage is no cheaper. While
// it waits the thread still notices the peer's close and ends the connection
// then. A connection that meanwhile has more than floodLimitBytes unread is
// flooding, which no client that answers prompts can do; it is ended as a
// lost connection, since its close could otherwise sit behind all it had sent
// and keep its slot for as long as the queue takes.
inline constexpr std::size_t floodLimitBytes = 32 * 1024;
// How often a held-back connection looks at the queue again, in real time:
// once per turn of the main loop (100 ms times the time scale), since no
// message is taken sooner, kept between 10 and 100 ms. A client that waits
// for its prompts is not slowed by it: its next block wakes the wait.
int holdBackStepMs(double timeScale);

// An accept that fails for want of resources (descriptors, buffers, memory)
// is tried again after this real-time pause, so the port is served again as
// soon as they are free.
inline constexpr int acceptRetryMs = 100;

// The log form of a Windows-1257 name: UTF-8, with control characters as "?"
// so that a name can neither forge log lines nor drive the terminal.
std::string logName(std::string_view name);

}  // namespace dorvi::server
