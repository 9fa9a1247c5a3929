#pragma once

#include <mutex>
#include <string>

#include "bot/game_state.h"
#include "rules/card_rules.h"

namespace dorvi::client {

// How the receive loop and the dispatcher reach the bot. The event hooks,
// logText and setSessionActive run with hostMutex() held; showResult and
// delayMs run with it released, since they block.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    virtual void logText(const std::string& text) = 0;
    virtual void setSessionActive(bool active) = 0;
    virtual void onBidTurn() = 0;
    virtual void onTrumpTurn() = 0;
    virtual void onPlayTurn() = 0;
    // card is the relay's card byte read unsigned.
    virtual void onCardPlayed(int relativeSeat, int card) = 0;
    virtual void onTrumpSet(int suit) = 0;
    // trick is indexed by relativeSeat.
    virtual void onTrickComplete(const CardCode trick[4], const GameState& state) = 0;
    virtual void onDealEnd(int cardPoints, int ownGamePoints, int otherGamePoints) = 0;
    virtual std::mutex& hostMutex() = 0;
    virtual void showResult(const std::string& text) = 0;
    virtual void delayMs(int ms) = 0;
};

// A host whose output and delays block its thread. It gives setSessionActive
// and the event hooks empty bodies, so an implementation overrides only the
// events it cares about and supplies logText, hostMutex, showResult, delayMs.
class BlockingHost : public SessionHost {
public:
    void setSessionActive(bool active) override;
    void onBidTurn() override;
    void onTrumpTurn() override;
    void onPlayTurn() override;
    void onCardPlayed(int relativeSeat, int card) override;
    void onTrumpSet(int suit) override;
    void onTrickComplete(const CardCode trick[4], const GameState& state) override;
    void onDealEnd(int cardPoints, int ownGamePoints, int otherGamePoints) override;
};

// The state of one connection, owned by runSession.
struct ClientSession {
    GameState* state = nullptr;
    SessionHost* host = nullptr;
    // 0 deal setup, 1 bidding, 2 play; it decides how runSession cuts blocks.
    int phase = 0;
};

// One step the dispatcher hands back to runSession. Fields a kind does not use stay 0 or empty.
struct SessionAction {
    enum Kind : int {
        Delay = 0,       // ms
        ShowText = 1,    // text
        ClearTrick = 2,
        Shutdown = 3,
    };
    int kind = Delay;
    int ms = 0;
    std::string text;
};

}  // namespace dorvi::client
