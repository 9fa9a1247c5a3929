#include "server/player.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "net/platform.h"
#include "net/sockets.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"
#include "rules/blocks.h"
#include "rules/wire_text.h"
#include "server/server.h"

namespace dorvi::server {

namespace {

const std::string closeFrame("\x88\x02\x03\xE8", 4);

// A send that the socket cannot take at once may have left part of a block on
// the wire: shut the socket down so nothing can follow it. The connection
// thread then sees the connection end and drops the player as a lost one.
void sendOrShutdown(net::SOCKET socket, std::string_view bytes) {
    if (socket != net::INVALID_SOCKET && !net::sendAllNow(socket, bytes.data(), bytes.size())) {
        net::shutdownSocket(socket);
    }
}

// The reading side of one connection thread.
struct Connection {
    net::SOCKET socket;
    bool webSocket;
    net::WebSocketEndpoint endpoint;
    std::string pending;
    // The peer's close frame has been read.
    bool peerClosed = false;

    // 1 a whole 128-byte block is in `block`, 0 the peer closed, -1 error.
    int readBlock(std::string& block) {
        if (!webSocket) {
            return net::recvExact(socket, block.data(), blockSize);
        }
        while (pending.size() < blockSize) {
            std::string message;
            int result = net::readMessage(endpoint, message);
            if (result != 1) {
                return result;
            }
            pending += message;
        }
        block.assign(pending, 0, blockSize);
        pending.erase(0, blockSize);
        return 1;
    }
};

// After the server's close frame a WebSocket peer answers with its own and
// then waits for the end of the stream; closing before its answer is read
// would meet it with a reset. So what comes is read and dropped until the
// answer, the end of the stream or a reset, for at most wsCloseWaitMs. The
// socket no longer makes receives wait (the drop woke them), so silence is
// waited out in short real-time steps.
void awaitPeerClose(Connection& connection) {
    using Clock = std::chrono::steady_clock;
    constexpr auto step = std::chrono::milliseconds(10);
    const auto deadline = Clock::now() + std::chrono::milliseconds(net::wsCloseWaitMs);
    while (!connection.peerClosed && Clock::now() < deadline) {
        if (net::unreadBytes(connection.socket) > 0) {
            std::string message;
            if (net::readMessage(connection.endpoint, message) < 0) {
                return;
            }
        } else if (!net::connectionOpen(connection.socket)) {
            return;
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(step, deadline - Clock::now()));
        }
    }
}

// Matches the messages that one connection queued.
auto fromConnection(const DorviPlayer* player, uint64_t id) {
    return [player, id](const DorviMsg& msg) { return msg.player == player && msg.playerId == id; };
}

// Whether a message of this connection waits in the queue; the server mutex is held.
bool hasQueued(const std::vector<DorviMsg>& queue, const DorviPlayer* player, uint64_t id) {
    return std::any_of(queue.begin(), queue.end(), fromConnection(player, id));
}

// Well below what may wait unread in an accepted socket, so a flood is seen.
static_assert(floodLimitBytes * 4 <= net::receiveBufferFloorBytes);

// One step of a held-back connection, with the server mutex free meanwhile:
// -1 when the peer closed or flooded, else what waitForPeer saw (1 data).
int watchStep(std::unique_lock<std::mutex>& lock, net::SOCKET socket, bool wakeOnData, int stepMs) {
    lock.unlock();
    int event = net::waitForPeer(socket, wakeOnData, stepMs);
    bool flooding = net::unreadBytes(socket) > floodLimitBytes;
    lock.lock();
    return flooding ? -1 : event;
}

// Holds the connection's reading back until its last block has had its turn;
// `lock` owns the server mutex on entry and on return. False when the peer
// closed or flooded meanwhile. A queued message waits until the main loop has
// taken it; the server has no condition variable, so the queue is looked at
// again every step, and new data from a client that waits for its prompts
// means the message has been handled, so the first wait also ends when data
// comes. A block that queued nothing (no keyword, or a console word) waits
// one step, so that no block costs the others less than a message would.
bool waitTurn(std::unique_lock<std::mutex>& lock, const std::vector<DorviMsg>& queue, const DorviPlayer* player,
              uint64_t id, net::SOCKET socket, bool queued, int stepMs) {
    const auto ownsSlot = [&] { return player->connected && player->id == id; };
    if (!queued) {
        return !ownsSlot() || watchStep(lock, socket, false, stepMs) >= 0;
    }
    bool wakeOnData = true;
    while (ownsSlot() && hasQueued(queue, player, id)) {
        int event = watchStep(lock, socket, wakeOnData, stepMs);
        if (event < 0) {
            return false;
        }
        // Data before the message was taken: the client does not wait for its
        // prompts, and waking on data again would spin.
        wakeOnData = wakeOnData && event == 0;
    }
    return true;
}

}  // namespace

int holdBackStepMs(double timeScale) {
    const double turnMs = 100 * timeScale;
    // Written so that NaN takes the shortest step.
    if (!(turnMs >= 10)) {
        return 10;
    }
    return turnMs >= 100 ? 100 : static_cast<int>(turnMs);
}

std::string logName(std::string_view name) {
    std::u32string text = cp1257ToUtf32(name);
    for (char32_t& c : text) {
        if (c < 0x20 || c == 0x7F) {
            c = U'?';
        }
    }
    return utf32ToUtf8(text);
}

void DorviPlayer::sendBlock(std::string_view text) {
    sendPadded(text, blockSize);
}

void DorviPlayer::sendPadded(std::string_view text, std::size_t size) {
    std::string bytes = padBlock(text, size);
    if (webSocket) {
        bytes = net::encodeFrame(net::wsOpBinary, bytes, false);
    }
    sendOrShutdown(socket, bytes);
}

void DorviPlayer::drop() {
    promptArmed = true;
    connected = false;
    inBidding = true;
    table = nullptr;
    pendingCard = 0;
    name.clear();
    if (socket != net::INVALID_SOCKET) {
        if (webSocket && net::sendAllNow(socket, closeFrame.data(), closeFrame.size())) {
            // The connection thread wakes, waits for the peer's answer and
            // ends the connection then.
            net::wakeReceiver(socket);
        } else {
            net::shutdownSocket(socket);
        }
    }
    socket = net::INVALID_SOCKET;
}

void Server::acceptConnections(net::SOCKET socket, bool webSocket, uint64_t listenerId) {
    // The mutex is held.
    const auto isCurrent = [&] { return listenerId == (webSocket ? wsListenerId : tcpListenerId); };
    for (;;) {
        net::SOCKET c = net::acceptSocket(socket);
        int error = c == net::INVALID_SOCKET ? net::netLastError() : 0;
        std::unique_lock<std::mutex> lock(mutex);
        bool current = isCurrent();
        if (c == net::INVALID_SOCKET) {
            // A closed or shut listener ends the thread; a lack of descriptors,
            // buffers or memory passes, so try again once the moment is over.
            if (!current || error == net::WSAEINVAL || error == net::WSAEBADF || error == net::WSAENOTSOCK) {
                return;
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(acceptRetryMs));
            // A stop and start meanwhile may have given the new listener this
            // descriptor number: its connections are not this thread's.
            lock.lock();
            if (!isCurrent()) {
                return;
            }
            continue;
        }
        if (!current) {
            net::closeSocket(c);
            return;
        }
        auto free = std::find_if(slots.begin(), slots.end(),
                                 [](const DorviPlayer& slot) { return !slot.connected; });
        if (free == slots.end()) {
            net::closeSocket(c);
            continue;
        }
        DorviPlayer* player = &*free;
        *player = DorviPlayer{};
        player->socket = c;
        player->connected = true;
        player->id = ++connectionCounter;
        player->webSocket = webSocket;
        greetingDeadlines[static_cast<std::size_t>(free - slots.begin())] =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(greetingTimeoutMs);
        try {
            std::thread(&Server::getPlayerMsg, this, player, player->id, c, webSocket).detach();
        } catch (const std::system_error&) {
            player->drop();
            net::closeSocket(c);
        }
    }
}

void Server::getPlayerMsg(DorviPlayer* player, uint64_t id, net::SOCKET socket, bool webSocket) {
    Connection connection{socket, webSocket, {}, {}};
    connection.endpoint.socket = socket;
    connection.endpoint.maskOutgoing = false;
    // Pongs and close replies go out under the mutex like every other write,
    // so they never split a block that another thread is sending. Once the
    // slot is dropped the server's close frame has been its last word.
    connection.endpoint.send = [this, player, id, socket, &connection](const std::string& frame) {
        if ((static_cast<unsigned char>(frame[0]) & 0x0F) == net::wsOpClose) {
            connection.peerClosed = true;
        }
        std::lock_guard<std::mutex> guard(mutex);
        if (player->connected && player->id == id) {
            sendOrShutdown(socket, frame);
        }
    };
    std::string block(blockSize, '\0');

    // A silent client runs into the receive time-out; one that trickles bytes
    // is caught by the main loop's check of the greeting deadline.
    net::setReceiveTimeout(socket, greetingTimeoutMs);
    int result = -1;
    if (!webSocket || net::serverHandshake(socket)) {
        result = connection.readBlock(block);
    }
    if (result == 1) {
        net::setReceiveTimeout(socket, 0);
    }

    std::unique_lock<std::mutex> lock(mutex);
    if (player->id != id) {
        lock.unlock();
        net::closeSocket(socket);
        return;
    }
    if (result != 1) {
        player->drop();
        lock.unlock();
        net::closeSocket(socket);
        return;
    }
    player->name = std::string(blockText(block).substr(0, maxNameLength));
    greetingDeadlines[static_cast<std::size_t>(player - slots.data())] =
        std::chrono::steady_clock::time_point::max();
    log(logName(player->name) + " connected");

    bool lost = false;
    for (;;) {
        lock.unlock();
        block.assign(blockSize, '\0');
        result = connection.readBlock(block);
        // parseMsg takes the mutex itself and drops the block of a connection
        // that no longer owns the slot.
        const bool queued = result == 1 && parseMsg(block, player, id);
        lock.lock();
        if (result == 1 && !waitTurn(lock, queue, player, id, socket, queued, holdBackStepMs(config.timeScale))) {
            result = -1;
        }
        if (!player->connected || player->id != id) {
            break;
        }
        if (result != 1) {
            if (player->table != nullptr) {
                log(logName(player->name) + " disconnected");
                player->table->abortTable();
            }
            player->drop();
            lost = true;
            break;
        }
    }
    // What the connection still has in the queue no longer counts; it would
    // only cost the others a turn.
    std::erase_if(queue, fromConnection(player, id));
    lock.unlock();
    // A lost connection ends at once; one that the server ended waits for
    // the peer's close frame.
    if (webSocket && !lost) {
        awaitPeerClose(connection);
    }
    net::closeSocket(socket);
}

}  // namespace dorvi::server
