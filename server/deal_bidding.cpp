#include <cstdio>
#include <string>

#include "server/player.h"
#include "server/table.h"

namespace dorvi::server {

void DorviTable::sendNames() {
    if (!full()) return;
    for (int r = 0; r < 4; ++r) {
        for (int k = 1; k <= 3; ++k) {
            std::string text = "name ";
            text += players[(r + k) % 4]->name;
            players[r]->sendBlock(text);
        }
    }
}

void DorviTable::deal(std::mt19937& engine) {
    for (auto& slot : hands) slot = 0;
    // Deck order: ascending codes. Each card takes the slot of the first draw
    // that finds it free; no distribution object, so a seed gives the same deal
    // on every platform.
    for (int rank = 1; rank <= 9; ++rank) {
        for (int suit = 1; suit <= 4; ++suit) {
            std::uint32_t x;
            do {
                x = engine() % 36u;
            } while (hands[x] != 0);
            hands[x] = static_cast<CardCode>(rank * 10 + suit);
        }
    }
    if (!full()) return;
    for (int seat = 0; seat < 4; ++seat) {
        const CardCode* h = hands + 9 * seat;
        char text[64];
        std::snprintf(text, sizeof text, "%d%d%d%d%d%d%d%d%d", h[0], h[1], h[2], h[3], h[4], h[5],
                      h[6], h[7], h[8]);
        players[seat]->sendBlock(text);
    }
}

void DorviTable::promptBid() {
    if (!full()) return;
    if (passes == 4) {
        maker = static_cast<std::int16_t>(current);
        contract = contractAllPassed;
        for (DorviPlayer* player : players) player->inBidding = true;
        for (DorviPlayer* player : players) player->sendBlock("next 1");
        phase += 1;
        return;
    }
    DorviPlayer* player = players[current];
    if (!player->inBidding || !player->promptArmed) return;
    player->promptArmed = false;
    if (prompts >= 4 && passes >= 3) {
        player->sendBlock("trump");
    } else {
        player->sendBlock("ok");
        prompts += 1;
    }
}

void DorviTable::bid(DorviPlayer* bidder, int value) {
    if (!full()) return;
    int s = -1;
    for (int seat = 0; seat < 4; ++seat) {
        if (players[seat] == bidder) {
            s = seat;
            break;
        }
    }
    if (s < 0) return;
    for (int k = 0; k < 4; ++k) {
        char text[32];
        std::snprintf(text, sizeof text, "%d %d", k, value);
        players[(s + 3 + k) % 4]->sendBlock(text);
    }
    players[current]->promptArmed = true;
    // The search ends on the current seat itself, so a last passer stays
    // current and becomes the maker of an all-pass deal.
    for (int step = 1; step <= 4; ++step) {
        int seat = (current + step) % 4;
        if (players[seat]->inBidding) {
            current = static_cast<std::uint16_t>(seat);
            return;
        }
    }
    current = static_cast<std::uint16_t>((current + 1) % 4);
}

void DorviTable::setContract(int value) {
    if (!full()) return;
    maker = static_cast<std::int16_t>(current);
    contract = static_cast<std::int16_t>(value);
    for (DorviPlayer* player : players) player->inBidding = true;
}

void DorviTable::countPass() {
    if (!full()) return;
    passes += 1;
}

void DorviTable::nextSeat() { current = current >= 3 ? 0 : current + 1; }

}  // namespace dorvi::server
