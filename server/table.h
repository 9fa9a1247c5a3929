#pragma once

#include <cstdint>
#include <random>
#include <string_view>

#include "rules/card_rules.h"

namespace dorvi::server {

class Server;
class DorviPlayer;

// One four-seat table. The server holds 13 of them for its whole life and
// resets them between matches. Every member runs with the server mutex held.
struct DorviTable {
    std::int16_t contract = 0;
    std::uint16_t seated = 0;
    std::uint16_t phase = 0;
    std::uint16_t current = 0;
    std::uint16_t passes = 0;
    CardCode hands[36] = {};
    CardCode trick[4] = {};
    CardCode pileA[36] = {};
    std::int16_t scoreA = 0;
    std::int16_t scoreB = 0;
    std::int16_t maker = 0;
    bool active = false;
    std::int32_t prompts = 0;
    DorviPlayer* players[4] = {};
    std::uint64_t epoch = 0;

    // Seating, phases, match life (table.cpp).
    void seatPlayer(DorviPlayer* player);
    void nextPhase();
    bool matchGoesOn() const;
    void newDeal();
    void abortTable();
    void broadcast(std::string_view text);
    // Bids, trump choices and cards address all four seats, so the message
    // switch applies them only when this is true (four seated players); the
    // operations below also do nothing at a table that is not full.
    bool full() const;

    // Deal and bidding (deal_bidding.cpp).
    void sendNames();
    // Draws from the server's one engine, shared by all tables.
    void deal(std::mt19937& engine);
    void promptBid();
    void bid(DorviPlayer* bidder, int value);
    void setContract(int value);
    void countPass();
    void nextSeat();

    // Tricks and scoring (tricks_scoring.cpp).
    void playCard(int card);
    int trickWinner() const;
    void collectTrick();
    int cardPointsA() const;
    void addDealScore(int points);
    void sendPoints(int points);
};

}  // namespace dorvi::server
