#include "bot/dispatcher.h"

#include <cstdio>

#include "rules/blocks.h"

namespace dorvi::client {

namespace {

// A raw field the block is too short to hold reads as 0.
int signedAt(const std::string& block, std::size_t offset) {
    return offset < block.size() ? static_cast<signed char>(block[offset]) : 0;
}

int unsignedAt(const std::string& block, std::size_t offset) {
    return offset < block.size() ? static_cast<unsigned char>(block[offset]) : 0;
}

SessionAction delay(int ms) { return {SessionAction::Delay, ms, {}}; }

SessionAction showText(const char* format, int first, int second) {
    char text[256];
    std::snprintf(text, sizeof text, format, first, second);
    return {SessionAction::ShowText, 0, text};
}

void dealSetup(ClientSession& session, const std::string& block) {
    GameState& state = *session.state;
    SessionHost& host = *session.host;
    if (blockContains(block, "name")) {
        state.storePlayerName(block);
        return;
    }
    state.parseHand(block);
    host.logText("\r\nMäng algas");
    state.biddingStarted = true;
    host.logText("\r\nPakkumine algas");
    session.phase = 1;
}

// "okc" holds "ok", and a contract announcement may follow any prompt, so the
// longer keywords are tested first.
std::vector<SessionAction> bidding(ClientSession& session, const std::string& block) {
    GameState& state = *session.state;
    SessionHost& host = *session.host;
    if (blockContains(block, "okc")) {
        state.playTurn = true;
        host.onPlayTurn();
        return {};
    }
    if (blockContains(block, "next")) {
        session.phase = 2;
        int suit = signedAt(block, 5) - '0';
        // The hook still sees this deal's bids; they are reset after it.
        host.onTrumpSet(suit);
        state.trump = suit;
        state.trumpChoiceTurn = false;
        state.resetBidding();
        return {delay(1500)};
    }
    if (blockContains(block, "trump")) {
        host.logText("\r\nTee trump");
        state.startTrumpChoice();
        host.onTrumpTurn();
        return {};
    }
    if (blockContains(block, "ok")) {
        state.bidTurn = true;
        host.onBidTurn();
        return {};
    }
    state.parseBid(block);
    return {};
}

std::vector<SessionAction> dealEnd(ClientSession& session, const std::string& block) {
    int cardPoints = signedAt(block, 5);
    int own = signedAt(block, 6);
    int other = signedAt(block, 7);
    session.phase = 0;
    session.state->resetDeal();
    session.host->onDealEnd(cardPoints, own, other);

    std::vector<SessionAction> actions;
    actions.push_back(showText(cardPoints > 60 ? "Teie võitsite selle mängu tulemusega %d/%d"
                                               : "Teie kaotasite selle mängu tulemusega %d/%d",
                               cardPoints, 120 - cardPoints));
    if (own > 11 || other > 11) {
        actions.push_back({SessionAction::Shutdown, 0, {}});
        actions.push_back(showText(own > 11 ? "Teie võitsite terve mängu tulemusega %d/%d"
                                            : "Teie kaotasite terve mängu tulemusega %d/%d",
                                   own, other));
    } else {
        actions.push_back(showText("Praegune mängupunktide seis on %d/%d\n"
                                   "(See tiim, mis vähemalt 12 punkti saab võidab)",
                                   own, other));
    }
    return actions;
}

std::vector<SessionAction> cardPlayed(ClientSession& session, const std::string& block) {
    GameState& state = *session.state;
    SessionHost& host = *session.host;
    bool full = state.parseCardPlayed(block);
    int seat = signedAt(block, 0) - '0';
    if (seat >= 0 && seat <= 3) host.onCardPlayed(seat, unsignedAt(block, 2));
    if (!full) return {};
    host.onTrickComplete(state.trick, state);
    // The trick stays on show during the pause and is cleared after it.
    return {delay(3000), {SessionAction::ClearTrick, 0, {}}};
}

std::vector<SessionAction> play(ClientSession& session, const std::string& block) {
    if (blockContains(block, "okc")) {
        session.state->playTurn = true;
        session.host->onPlayTurn();
        return {};
    }
    if (blockContains(block, "point")) return dealEnd(session, block);
    return cardPlayed(session, block);
}

}  // namespace

std::vector<SessionAction> dispatchBlock(ClientSession& session, const std::string& block) {
    switch (session.phase) {
    case 0:
        dealSetup(session, block);
        return {};
    case 1:
        return bidding(session, block);
    case 2:
        return play(session, block);
    default:
        return {};
    }
}

}  // namespace dorvi::client
