#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bot/game_state.h"
#include "bot/match_record.h"
#include "bot/session_host.h"
#include "rules/card_rules.h"

namespace dorvi::net {
class Stream;
}

namespace dorvi::client {

// The two random draws of the decisions, written out so that one seed gives
// the same choices whatever standard library the program is built with.

// A real number in [0, 1) from two engine outputs, the first one low; rounding
// can give exactly 1, which callers treat as "not below" any threshold.
double drawReal(std::mt19937& rng);

// A number in 0..m-1 (m >= 1) by the nearly divisionless multiply-and-reject method.
std::uint32_t drawPick(std::mt19937& rng, std::uint32_t m);

// The automatic player: one per connection attempt. It answers the server's
// prompts with random but legal moves and audits every deal the server scores.
class Bot : public BlockingHost {
public:
    Bot(std::string name, std::uint32_t seed, double timeScale,
        std::function<void(const std::string&)> logFunction);
    ~Bot() override;

    Bot(const Bot&) = delete;
    Bot& operator=(const Bot&) = delete;

    void logText(const std::string& text) override;
    void onBidTurn() override;
    void onTrumpTurn() override;
    void onPlayTurn() override;
    void onCardPlayed(int relativeSeat, int card) override;
    void onTrumpSet(int suit) override;
    void onTrickComplete(const CardCode trick[4], const GameState& state) override;
    void onDealEnd(int cardPoints, int ownGamePoints, int otherGamePoints) override;
    std::mutex& hostMutex() override;
    void showResult(const std::string& text) override;
    void delayMs(int ms) override;

    // Logs the command's text, then sends its line on the current stream.
    void submit(const Command& command);

    // Replays the deal's tricks and compares them with the server's point block:
    // c our team's card points, a and b both teams' match scores after the deal.
    void auditDeal(int c, int a, int b);
    void recordFailure(std::string text);

    std::string name;
    std::mt19937 rng;
    double timeScale;
    std::function<void(const std::string&)> logFunction;
    std::mutex mutex;
    // Owned by playSession; set only while a connection is open.
    net::Stream* stream = nullptr;
    GameState state;
    MatchRecord record;

    // Audit state of the deal in progress. Seats are relativeSeat values.
    // A deal holds nine tricks; what a server sends beyond them is counted, not stored.
    int dealTrump = 0;
    bool allPassed = false;
    std::vector<int> trickLeaders;
    std::vector<std::array<CardCode, 4>> trickList;
    std::int64_t leadersBeyondDeal = 0;
    std::int64_t tricksBeyondDeal = 0;
    int previousOwnGamePoints = 0;
    int previousOtherGamePoints = 0;
};

}  // namespace dorvi::client
