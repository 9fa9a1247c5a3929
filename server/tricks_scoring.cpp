#include <algorithm>
#include <string>

#include "rules/blocks.h"
#include "rules/card_rules.h"
#include "server/player.h"
#include "server/server.h"
#include "server/table.h"

namespace dorvi::server {

int Server::waitCard(std::unique_lock<std::mutex>& lock, DorviTable& table, uint64_t startEpoch,
                     DorviPlayer* player) {
    player->sendPadded("okc", shortBlockSize);
    for (;;) {
        // A card that arrived before the prompt is taken at once.
        if (player->pendingCard != 0) {
            int card = player->pendingCard;
            player->pendingCard = 0;
            return card;
        }
        pause(lock, 200);
        if (!table.active || table.epoch != startEpoch) return -1;
    }
}

int Server::playTricks(std::unique_lock<std::mutex>& lock, DorviTable& table, uint64_t startEpoch) {
    table.nextSeat();
    std::fill(std::begin(table.pileA), std::end(table.pileA), CardCode{0});
    int leader = table.current;
    for (int t = 0; t < 9; ++t) {
        for (int j = 0; j < 4; ++j) {
            int seat = (leader + j) % 4;
            table.current = static_cast<std::uint16_t>(seat);
            int card = waitCard(lock, table, startEpoch, table.players[seat]);
            if (card < 0) return -1;
            table.trick[j] = static_cast<CardCode>(card);
        }
        int winner = (leader + table.trickWinner()) % 4;
        if (winner % 2 == 0) table.collectTrick();
        // Leaves the players time to see the finished trick.
        pause(lock, 3000);
        if (!table.active || table.epoch != startEpoch) return -1;
        leader = winner;
    }
    return table.cardPointsA();
}

void DorviTable::playCard(int card) {
    if (!full()) return;
    players[current]->pendingCard = static_cast<CardCode>(card);
    for (int i = 0; i < 4; ++i) {
        // The player at `current` as receiver i sees it: 0 itself, 1 next, 2 partner, 3 previous.
        int relative = ((current - i) % 4 + 4) % 4;
        const char text[3] = {static_cast<char>('0' + relative), ' ',
                              static_cast<char>(static_cast<unsigned char>(card & 0xFF))};
        players[i]->sendPadded(std::string_view(text, sizeof text), shortBlockSize);
    }
}

int DorviTable::trickWinner() const { return findTrickWinner(trick, contract); }

void DorviTable::collectTrick() {
    for (int i = 0; i < 36; ++i) {
        if (pileA[i] != 0) continue;
        if (i <= 32) std::copy(std::begin(trick), std::end(trick), pileA + i);
        return;
    }
}

int DorviTable::cardPointsA() const {
    int sum = 0;
    for (CardCode card : pileA) {
        if (card == 0) break;
        sum += cardPoints(card);
    }
    return sum;
}

void DorviTable::addDealScore(int points) {
    DealScore score = dealScore(points, contract, maker);
    if (score.team == 0) {
        scoreA = static_cast<std::int16_t>(std::min(scoreA + score.gamePoints, 12));
    } else {
        scoreB = static_cast<std::int16_t>(std::min(scoreB + score.gamePoints, 12));
    }
}

void DorviTable::sendPoints(int points) {
    if (!full()) return;
    // Raw bytes at fixed offsets 5-7; a 0 among them stays in place.
    std::string forA = "point";
    forA += static_cast<char>(points & 0xFF);
    forA += static_cast<char>(scoreA & 0xFF);
    forA += static_cast<char>(scoreB & 0xFF);
    std::string forB = "point";
    forB += static_cast<char>((120 - points) & 0xFF);
    forB += static_cast<char>(scoreB & 0xFF);
    forB += static_cast<char>(scoreA & 0xFF);
    players[0]->sendPadded(forA, shortBlockSize);
    players[2]->sendPadded(forA, shortBlockSize);
    players[1]->sendPadded(forB, shortBlockSize);
    players[3]->sendPadded(forB, shortBlockSize);
}

}  // namespace dorvi::server
