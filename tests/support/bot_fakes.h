#pragma once

// Test doubles for driving a Bot without a server: a stream that records what
// the bot sends, and a table-side helper that feeds it server blocks through
// the real dispatcher and performs the actions the dispatcher hands back.

#include <string>
#include <string_view>
#include <vector>

#include "bot/bot.h"
#include "bot/dispatcher.h"
#include "net/streams.h"
#include "rules/blocks.h"

namespace dorvi::testing {

// Keeps every write; reads report the end of the connection.
class RecordingStream : public net::Stream {
public:
    int read(char*, std::size_t) override { return 0; }
    bool write(std::string_view data) override {
        writes.emplace_back(data);
        return true;
    }
    void shutdown() override { ++shutdowns; }
    void close() override { ++closes; }

    // The texts of the blocks written, NUL padding cut off.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        for (const std::string& block : writes) result.emplace_back(blockText(block));
        return result;
    }

    std::vector<std::string> writes;
    int shutdowns = 0;
    int closes = 0;
};

// A Bot on a recording stream, fed server blocks the way runSession feeds it.
struct DrivenBot {
    explicit DrivenBot(std::uint32_t seed, std::string name = "bot")
        : bot(std::move(name), seed, 0.0, [this](const std::string& line) { log.push_back(line); }) {
        bot.stream = &stream;
        session.state = &bot.state;
        session.host = &bot;
    }
    DrivenBot(const DrivenBot&) = delete;
    DrivenBot& operator=(const DrivenBot&) = delete;

    // One server block, padded to the size the protocol gives it in this phase.
    void feed(std::string_view text) {
        const bool shortBlock = session.phase == 2 && !(text.size() > 4 && text.substr(0, 5) == "trump");
        const std::string block = padBlock(text, shortBlock ? shortBlockSize : blockSize);
        for (const client::SessionAction& action : client::dispatchBlock(session, block)) {
            if (action.kind == client::SessionAction::ClearTrick) bot.state.clearTrick();
            if (action.kind == client::SessionAction::ShowText) bot.showResult(action.text);
        }
    }

    // The card byte of the last "scard" line sent, or 0.
    unsigned char lastCard() const {
        for (auto it = stream.writes.rbegin(); it != stream.writes.rend(); ++it) {
            if (it->compare(0, 5, "scard") == 0 && it->size() > 5) return static_cast<unsigned char>((*it)[5]);
        }
        return 0;
    }

    RecordingStream stream;
    std::vector<std::string> log;
    client::Bot bot;
    client::ClientSession session;
};

// A card relay: the relative seat digit, a blank and the card byte.
inline std::string cardRelay(int relativeSeat, unsigned char card) {
    std::string text = "0 ";
    text[0] = static_cast<char>('0' + relativeSeat);
    text.push_back(static_cast<char>(card));
    return text;
}

}  // namespace dorvi::testing
