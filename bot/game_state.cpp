#include "bot/game_state.h"

#include <cstdio>

#include "rules/blocks.h"
#include "rules/wire_text.h"

namespace dorvi::client {

namespace {

int signedByte(std::string_view bytes, std::size_t offset) {
    return static_cast<signed char>(bytes[offset]);
}

bool isSeatDigit(char c) { return c >= '0' && c <= '3'; }

}  // namespace

void GameState::parseHand(std::string_view block) {
    // The server sends two decimal digits per card; like the server, no
    // check is made that they are digits.
    for (std::size_t i = 0; i < 9; ++i) {
        if (block.size() >= 2 * i + 2) {
            int code = 10 * (signedByte(block, 2 * i) - '0') + (signedByte(block, 2 * i + 1) - '0');
            hand[i] = static_cast<CardCode>(code);
        } else {
            hand[i] = 0;
        }
    }
    for (auto& left : cardsLeft) left = 9;
    sortHand(hand);
}

void GameState::parseBid(std::string_view block) {
    if (block.size() < 3) return;
    char seat = block[0];
    char value = block[2];
    if (value < '0' || value > '9' || !isSeatDigit(seat)) return;
    bids[seat - '0'] = value == '0' ? -1 : value - '0';
}

bool GameState::parseCardPlayed(std::string_view block) {
    if (block.size() < 3 || !isSeatDigit(block[0])) return false;
    int seat = block[0] - '0';
    trick[seat] = static_cast<unsigned char>(block[2]);
    // The bot's own card left cardsLeft[0] when makePlay accepted it. A server
    // that relays more cards than a seat holds finds it at 0.
    if (seat != 0 && cardsLeft[seat] > 0) --cardsLeft[seat];
    return trick[0] != 0 && trick[1] != 0 && trick[2] != 0 && trick[3] != 0;
}

void GameState::storePlayerName(std::string_view block) {
    std::string_view text = blockText(block);
    std::string_view raw = text.size() > 5 ? text.substr(5) : std::string_view{};
    std::string name = utf32ToUtf8(cp1257ToUtf32(raw));
    for (auto& slot : names) {
        if (slot.empty()) {
            slot = std::move(name);
            return;
        }
    }
}

void GameState::clearTrick() {
    for (auto& card : trick) card = 0;
}

void GameState::startTrumpChoice() {
    bidTurn = false;
    biddingStarted = false;
    trumpChoiceTurn = true;
}

void GameState::resetBidding() {
    for (auto& bid : bids) bid = 0;
    biddingStarted = false;
    bidTurn = false;
}

void GameState::resetDeal() {
    bidTurn = false;
    playTurn = false;
    for (auto& name : names) name.clear();
    trump = 0;
    for (auto& bid : bids) bid = 0;
    for (auto& left : cardsLeft) left = 0;
    clearTrick();
    for (auto& card : hand) card = 0;
}

Command makePass(GameState& state) {
    if (!state.bidTurn) return {};
    state.bidTurn = false;
    return {"bid  0", "\r\nPassisid"};
}

Command makeDiamondsBid(GameState& state) {
    if (!state.bidTurn) return {};
    state.bidTurn = false;
    // Any "bid" text not six bytes long reads on the server as "next 1".
    return {"bid  10", "\r\nTegid ruutu trumbiks"};
}

Command makeBid(GameState& state, int bid) {
    if (!state.bidTurn) return {};
    if (!isBidAllowed(bid, state.bids)) return {"", "\r\nPead rohkem pakkuma või passima"};
    state.bidTurn = false;
    char text[128];
    std::snprintf(text, sizeof text, "\r\nPakkusid %d", bid);
    return {"bid  " + std::to_string(bid), text};
}

Command makeTrumpChoice(GameState& state, int suit) {
    static const char* const refusals[5] = {
        "",
        "",
        "\r\nSa ei saa artut trumbiks teha",
        "\r\nSa ei saa potit trumbiks teha",
        "\r\nSa ei saa ristit trumbiks teha",
    };
    if (!state.trumpChoiceTurn) return {};
    // No refusal text exists beyond suit 4; such a suit is refused silently
    // rather than read past the table.
    if (suit < 0 || suit > 4) return {};
    if (!canMakeTrump(state.hand, suit, state.bids[1])) return {"", refusals[suit]};
    state.trumpChoiceTurn = false;
    return {"next " + std::to_string(suit), ""};
}

Command makePlay(GameState& state, int index) {
    int held = state.cardsLeft[0];
    if (held > 9) held = 9;
    if (!state.playTurn || index < 0 || index >= held) return {};
    CardCode card = state.hand[index];
    if (!isLegalPlay(state.hand, state.trick, state.trump, card)) return {"", "\r\nSa ei saa seda kaarti käia"};
    for (int i = index; i + 1 < held; ++i) state.hand[i] = state.hand[i + 1];
    state.hand[held - 1] = 0;
    state.cardsLeft[0] = held - 1;
    state.playTurn = false;
    std::string line = "scard";
    line.push_back(static_cast<char>(card & 0xFF));
    return {line, ""};
}

}  // namespace dorvi::client
