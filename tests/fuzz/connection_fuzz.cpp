// A server connection thread from its first byte to its end: the upgrade on
// the WebSocket port, the greeting block, then blocks cut from the TCP stream
// or from WebSocket messages. Whatever arrives, the player may queue only its
// own join, next, bid and card messages, a log line never carries control
// characters, and the slot is free again once the peer has gone.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "rules/blocks.h"
#include "server/server.h"

using namespace dorvi;
using namespace dorvi::server;

namespace {

// Messages queued during the current input; guarded by the server mutex.
// Never destroyed: the drain thread below outlives every static.
std::vector<DorviMsg>& taken = *new std::vector<DorviMsg>;

// The peer's end of the current input's socket, or -1; the drain thread
// reads the server's replies (426, 101, pongs, close echoes) from it, as a
// client would, so that a flood of pings cannot fill the socket.
struct ReplyReader {
    std::mutex mutex;
    int fd = -1;
};
ReplyReader& replyReader = *new ReplyReader;

void readReplies() {
    std::lock_guard<std::mutex> guard(replyReader.mutex);
    if (replyReader.fd < 0) return;
    char chunk[4096];
    while (::recv(replyReader.fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
}

void setReplyPeer(int fd) {
    std::lock_guard<std::mutex> guard(replyReader.mutex);
    replyReader.fd = fd;
}

// Call with the server mutex held.
void takeQueue(Server& server) {
    for (DorviMsg& msg : server.queue) taken.push_back(std::move(msg));
    server.queue.clear();
}

Server& fuzzServer() {
    static std::ostringstream log;
    static Server* server = [] {
        ServerConfig config;
        config.port = 0;
        config.wsPort = -1;
        config.timeScale = 0;
        auto* created = new Server(config, log);
        // The main loop's part: empty the queue now and then, so that a reader
        // that waits for its messages to drain goes on.
        std::thread([created] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                readReplies();
                std::lock_guard<std::mutex> guard(created->mutex);
                takeQueue(*created);
            }
        }).detach();
        return created;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > fuzz::maxFedBytes) return 0;
    const bool webSocket = (data[0] & 1) != 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    Server& server = fuzzServer();
    fuzz::FedSocket socket(input);
    DorviPlayer* player = &server.slots[0];
    std::uint64_t id;
    {
        std::lock_guard<std::mutex> guard(server.mutex);
        server.queue.clear();
        taken.clear();
        // What the accept thread sets up before it starts the connection thread.
        *player = DorviPlayer{};
        player->socket = socket.socket();
        player->connected = true;
        player->id = id = ++server.connectionCounter;
        player->webSocket = webSocket;
    }

    setReplyPeer(socket.peer());
    server.getPlayerMsg(player, id, socket.release(), webSocket);
    setReplyPeer(-1);

    std::lock_guard<std::mutex> guard(server.mutex);
    FUZZ_CHECK(!player->connected && player->socket == net::INVALID_SOCKET,
               "the slot was not freed after the peer closed");
    takeQueue(server);
    std::size_t fromPlayer = 0;
    for (const DorviMsg& msg : taken) {
        if (msg.type == msgPrint) {
            FUZZ_CHECK(msg.player == nullptr, "a log line carries a player");
            for (unsigned char c : msg.text)
                FUZZ_CHECK(c >= 0x20 && c != 0x7F, "a log line carries a control character");
            continue;
        }
        ++fromPlayer;
        FUZZ_CHECK(msg.type == msgJoin || msg.type == msgNext || msg.type == msgBid || msg.type == msgCard,
                   "a connection queued a console message");
        FUZZ_CHECK(msg.player == player && msg.playerId == id, "message not tied to its connection");
        if (msg.type == msgNext && msg.text != "next 1")
            FUZZ_CHECK(msg.text.size() == blockSize, "a relayed contract announcement is not a whole block");
    }
    FUZZ_CHECK(fromPlayer * blockSize <= input.size(), "more blocks parsed than bytes received");
    return 0;
}
