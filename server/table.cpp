#include "server/table.h"

#include "server/player.h"
#include "server/server.h"

namespace dorvi::server {

void DorviTable::seatPlayer(DorviPlayer* player) {
    if (player == nullptr || seated >= 4) return;
    players[seated] = player;
    player->table = this;
    seated += 1;
    active = true;
}

void DorviTable::nextPhase() {
    if (!full()) return;
    phase += 1;
}

bool DorviTable::matchGoesOn() const { return scoreA <= 11 && scoreB <= 11; }

void DorviTable::newDeal() {
    maker = 0;
    phase = 0;
    current = 0;
    passes = 0;
    prompts = 0;
    active = true;
    for (auto& card : hands) card = 0;
    for (DorviPlayer* player : players) {
        if (player == nullptr) continue;
        player->promptArmed = true;
        player->inBidding = true;
    }
}

void DorviTable::abortTable() {
    for (DorviPlayer*& player : players) {
        if (player == nullptr) break;
        // Resets the slot and sends a WebSocket player its close frame (or
        // shuts a TCP socket down); the player's connection thread ends the
        // connection.
        player->drop();
        player = nullptr;
    }
    epoch += 1;
    scoreA = 0;
    scoreB = 0;
    maker = 0;
    seated = 0;
    phase = 0;
    current = 0;
    passes = 0;
    prompts = 0;
    active = false;
    for (auto& card : hands) card = 0;
}

void DorviTable::broadcast(std::string_view text) {
    if (!full()) return;
    for (DorviPlayer* player : players) player->sendBlock(text);
}

bool DorviTable::full() const {
    if (seated != 4) return false;
    for (const DorviPlayer* player : players) {
        if (player == nullptr) return false;
    }
    return true;
}

void Server::runTable(DorviTable& table, uint64_t startEpoch) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!table.active || table.epoch != startEpoch) return;
    for (;;) {
        pause(lock, 200);
        if (!table.active || table.epoch != startEpoch) return;
        switch (table.phase) {
        case 0:
            if (table.seated == 4) {
                table.nextPhase();
                log("Game beginning");
            }
            break;
        case 1:
            table.sendNames();
            table.deal(rng);
            table.nextPhase();
            table.promptBid();
            break;
        case 2:
            table.promptBid();
            break;
        case 3: {
            int points = playTricks(lock, table, startEpoch);
            if (points < 0) return;
            table.addDealScore(points);
            table.sendPoints(points);
            if (table.matchGoesOn()) {
                table.newDeal();
            } else {
                table.abortTable();
            }
            break;
        }
        default:
            // A trump choice outside the bidding can push the phase past the
            // play; the table then idles until it is aborted.
            break;
        }
        if (!table.active || table.epoch != startEpoch) return;
    }
}

}  // namespace dorvi::server
