#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rules/card_rules.h"

namespace dorvi::client {

// One bot's view of the deal in progress. Seat-indexed arrays follow the
// numbering the server uses for that kind of block: trick and cardsLeft by
// relativeSeat, bids by bidderIndex (bids[1] is the bot's own bid).
struct GameState {
    int32_t trump = 0;
    CardCode trick[4] = {0, 0, 0, 0};
    bool bidTurn = false;
    bool playTurn = false;
    int32_t cardsLeft[4] = {0, 0, 0, 0};
    // The first cardsLeft[0] entries are the cards still held, in sortHand order.
    CardCode hand[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    // -1 passed, 0 no bid yet, 1-9 the value bid.
    int32_t bids[4] = {0, 0, 0, 0};
    // UTF-8, in arrival order: next player, partner, previous player.
    std::string names[3];
    bool biddingStarted = false;
    bool trumpChoiceTurn = false;

    // Each parser takes the whole block as cut from the stream, NUL padding included.
    void parseHand(std::string_view block);
    void parseBid(std::string_view block);
    // True when the trick now holds four cards.
    bool parseCardPlayed(std::string_view block);
    void storePlayerName(std::string_view block);

    void clearTrick();
    void startTrumpChoice();
    void resetBidding();
    void resetDeal();
};

// An answer to a prompt: the block text for the server and a line for the log.
// Either may be empty; an empty line means nothing is sent.
struct Command {
    std::string line;
    std::string text;
};

Command makePass(GameState& state);
Command makeDiamondsBid(GameState& state);
Command makeBid(GameState& state, int bid);
Command makeTrumpChoice(GameState& state, int suit);
// index is a position in state.hand.
Command makePlay(GameState& state, int index);

}  // namespace dorvi::client
