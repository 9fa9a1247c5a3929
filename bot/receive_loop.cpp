#include "bot/receive_loop.h"

#include <mutex>

#include "bot/dispatcher.h"
#include "net/streams.h"
#include "rules/blocks.h"

namespace dorvi::client {

namespace {

constexpr std::size_t readSize = 4096;

void perform(const SessionAction& action, std::unique_lock<std::mutex>& lock, net::Stream& stream,
             ClientSession& session) {
    switch (action.kind) {
    case SessionAction::Delay:
        lock.unlock();
        session.host->delayMs(action.ms);
        lock.lock();
        break;
    case SessionAction::ShowText:
        lock.unlock();
        session.host->showResult(action.text);
        lock.lock();
        break;
    case SessionAction::ClearTrick:
        session.state->clearTrick();
        break;
    case SessionAction::Shutdown:
        stream.shutdown();
        break;
    default:
        break;
    }
}

}  // namespace

void runSession(net::Stream& stream, GameState& state, SessionHost& host) {
    std::unique_lock<std::mutex> lock(host.hostMutex());
    ClientSession session{&state, &host, 0};
    sendBlock(stream, beginSession(session));

    std::string buffer;
    std::string block;
    char chunk[readSize];
    for (;;) {
        if (nextBlock(buffer, session.phase, block)) {
            for (const SessionAction& action : dispatchBlock(session, block)) perform(action, lock, stream, session);
            continue;
        }
        lock.unlock();
        int received = stream.read(chunk, sizeof chunk);
        lock.lock();
        if (received < 1) {
            onDisconnect(session, received < 0);
            stream.close();
            return;
        }
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
}

std::string beginSession(ClientSession& session) {
    session.host->setSessionActive(true);
    session.host->logText("\r\nOotan teisi mängijaid...");
    return "join";
}

bool nextBlock(std::string& buffer, int phase, std::string& block) {
    std::size_t size = blockSize;
    if (phase == 2) {
        if (buffer.size() < shortBlockSize) return false;
        // The trump prompt is the one 128-byte block the server sends during
        // play; every other play block is short.
        std::string_view text = blockText(std::string_view(buffer).substr(0, shortBlockSize));
        if (!(text.size() > 4 && text.substr(0, 5) == "trump")) size = shortBlockSize;
    }
    if (buffer.size() < size) return false;
    block.assign(buffer, 0, size);
    buffer.erase(0, size);
    return true;
}

bool sendBlock(net::Stream& stream, const std::string& text) {
    return stream.write(padBlock(text, blockSize));
}

void onDisconnect(ClientSession& session, bool error) {
    session.host->logText(error ? "\r\nÜhendus serveriga katkes" : "\r\nMäng katkestatud");
    session.state->resetDeal();
    session.state->resetBidding();
    session.state->trumpChoiceTurn = false;
    session.host->setSessionActive(false);
    session.phase = 0;
}

}  // namespace dorvi::client
