// The bot's audit of every deal: it notes who led each trick and what was
// played, and when the point block comes it replays the deal with the shared
// rules and records each disagreement with the server.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bot/bot.h"

namespace dorvi::client {

namespace {

constexpr std::size_t tricksPerDeal = 9;

}  // namespace

void Bot::onCardPlayed(int relativeSeat, int /*card*/) {
    int filled = 0;
    for (CardCode card : state.trick) {
        if (card != 0) ++filled;
    }
    // The relayed card is already in the trick, so one filled slot means it opened the trick.
    if (filled == 1 && !keepFirst(trickLeaders, tricksPerDeal, relativeSeat)) ++leadersBeyondDeal;
}

void Bot::onTrumpSet(int suit) {
    dealTrump = suit;
    allPassed = std::all_of(std::begin(state.bids), std::end(state.bids),
                            [](int bid) { return bid == -1; });
}

void Bot::onTrickComplete(const CardCode trick[4], const GameState& gameState) {
    const std::array<CardCode, 4> cards{trick[0], trick[1], trick[2], trick[3]};
    record.addTrick(cards);
    record.partnerName = gameState.names[1];
    if (!keepFirst(trickList, tricksPerDeal, cards)) ++tricksBeyondDeal;
}

void Bot::onDealEnd(int cardPoints, int ownGamePoints, int otherGamePoints) {
    record.rounds += 1;
    auditDeal(cardPoints, ownGamePoints, otherGamePoints);
    previousOwnGamePoints = ownGamePoints;
    previousOtherGamePoints = otherGamePoints;
    trickLeaders.clear();
    trickList.clear();
    leadersBeyondDeal = 0;
    tricksBeyondDeal = 0;
    record.lastCardPoints = cardPoints;
    record.addCardPoints(cardPoints);
    record.ownGamePoints = ownGamePoints;
    record.otherGamePoints = otherGamePoints;
}

void Bot::auditDeal(int c, int a, int b) {
    const std::int64_t leaders = static_cast<std::int64_t>(trickLeaders.size()) + leadersBeyondDeal;
    const std::int64_t tricks = static_cast<std::int64_t>(trickList.size()) + tricksBeyondDeal;
    if (leaders != tricksPerDeal || tricks != tricksPerDeal) {
        recordFailure("saw " + std::to_string(tricks) + " tricks");
        return;
    }
    const int contract = allPassed ? contractAllPassed : dealTrump;

    int ours = 0;
    for (int k = 0; k < 9; ++k) {
        const int leader = trickLeaders[k];
        const auto& trick = trickList[k];
        const std::array<CardCode, 4> inPlayOrder{trick[leader % 4], trick[(leader + 1) % 4],
                                                  trick[(leader + 2) % 4], trick[(leader + 3) % 4]};
        const int winner = (leader + findTrickWinner(inPlayOrder, contract)) % 4;
        if (k < 8 && trickLeaders[k + 1] != winner) {
            recordFailure("trick " + std::to_string(k + 1) + " won by seat " + std::to_string(winner) +
                          " by our rules, but seat " + std::to_string(trickLeaders[k + 1]) + " led next");
        }
        if (winner == 0 || winner == 2) {
            for (CardCode card : trick) ours += cardPoints(card);
        }
    }
    if (ours != c) {
        recordFailure("card points " + std::to_string(ours) + " vs server's " + std::to_string(c));
    }

    // The first leader sits after the maker. The server's card points are used,
    // so a card point disagreement is not reported a second time as a score one.
    const int maker = (trickLeaders[0] + 3) % 4;
    const DealScore score = dealScore(c, contract, maker);
    int x = previousOwnGamePoints;
    int y = previousOtherGamePoints;
    if (score.team == 0) x = std::min(x + score.gamePoints, 12);
    if (score.team == 1) y = std::min(y + score.gamePoints, 12);
    if (x == a && y == b) {
        record.auditedRounds += 1;
    } else {
        recordFailure("score " + std::to_string(a) + "/" + std::to_string(b) + ", expected " +
                      std::to_string(x) + "/" + std::to_string(y) + " (trump " + std::to_string(contract) +
                      ", maker seat " + std::to_string(maker) + ", points " + std::to_string(c) + ")");
    }
}

void Bot::recordFailure(std::string text) {
    record.addFailure(name + " round " + std::to_string(record.rounds) + ": " + text);
}

}  // namespace dorvi::client
