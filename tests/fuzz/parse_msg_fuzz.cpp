// Every block a player sends after its greeting, and every word typed on the
// console, goes through Server::parseMsg. Whatever the bytes, a player may
// queue only join, next, bid and card messages, and only under its own id.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "rules/blocks.h"
#include "server/server.h"

using namespace dorvi;
using namespace dorvi::server;

namespace {

Server& fuzzServer() {
    static std::ostringstream log;
    static Server* server = [] {
        ServerConfig config;
        config.port = 0;
        config.wsPort = -1;
        config.timeScale = 0;
        return new Server(config, log);
    }();
    return *server;
}

bool contains(std::string_view text, std::string_view keyword) {
    return text.find(keyword) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // First byte: who sends it and how the block is shaped; the rest is the block.
    const std::uint8_t mode = data[0];
    std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool fromConsole = (mode & 1) != 0;
    // Connections always hand over whole 128-byte blocks and the console pads
    // its words; odd lengths are tried too, the parser must not read past them.
    const bool padded = (mode & 2) != 0;
    const std::string block = padded ? padBlock(raw, blockSize) : std::string(raw);

    Server& server = fuzzServer();
    DorviPlayer* player = fromConsole ? nullptr : &server.slots[mode % playerSlotCount];
    constexpr std::uint64_t playerId = 4242;
    {
        std::lock_guard<std::mutex> guard(server.mutex);
        server.queue.clear();
        if (player) {
            player->connected = true;
            player->id = playerId;
        }
    }

    server.parseMsg(block, player);

    std::lock_guard<std::mutex> guard(server.mutex);
    FUZZ_CHECK(server.queue.size() <= 1, "one block queued more than one message");
    const std::string_view text = blockText(block);
    const bool anyKeyword = contains(text, "print") || contains(text, "stop") || contains(text, "start") ||
                            contains(text, "reset") || contains(text, "join") || contains(text, "quit") ||
                            contains(text, "next") || contains(text, "bid") || contains(text, "scard");
    if (!anyKeyword) {
        FUZZ_CHECK(server.queue.empty(), "a block without a keyword was queued");
        return 0;
    }
    const bool consoleWordFirst = contains(text, "print") || contains(text, "stop") || contains(text, "start") ||
                                  contains(text, "reset");
    const bool quitBeforeRest = !consoleWordFirst && !contains(text, "join") && contains(text, "quit");
    if (player && (consoleWordFirst || quitBeforeRest)) {
        FUZZ_CHECK(server.queue.empty(), "a player's block with a console word was queued");
        return 0;
    }
    FUZZ_CHECK(server.queue.size() == 1, "a block with a keyword queued nothing");
    const DorviMsg& msg = server.queue.front();
    FUZZ_CHECK(msg.type >= msgQuit && msg.type <= msgCard, "message type out of range");
    if (player) {
        FUZZ_CHECK(msg.type == msgJoin || msg.type == msgNext || msg.type == msgBid || msg.type == msgCard,
                   "a player queued a console message");
        FUZZ_CHECK(msg.player == player && msg.playerId == playerId, "message not tied to its sender");
    } else {
        FUZZ_CHECK(msg.player == nullptr && msg.playerId == 0, "console message carries a player");
    }
    switch (msg.type) {
    case msgNext:
        FUZZ_CHECK(msg.text == block || (msg.text == "next 1" && msg.value == 1),
                   "contract announcement is neither the block nor \"next 1\"");
        break;
    case msgBid:
        FUZZ_CHECK(text.size() == 6 && msg.text.empty(), "bid message from a text that is not 6 bytes");
        FUZZ_CHECK(msg.value >= -128 - '0' && msg.value <= 127 - '0', "bid value is not a signed byte");
        break;
    case msgCard:
        FUZZ_CHECK(msg.value >= -128 && msg.value <= 127, "card value is not a signed byte");
        break;
    case msgPrint:
        FUZZ_CHECK(msg.text.size() <= text.size(), "print text longer than the block text");
        break;
    default:
        FUZZ_CHECK(msg.text.empty(), "keyword message carries text");
    }
    return 0;
}
