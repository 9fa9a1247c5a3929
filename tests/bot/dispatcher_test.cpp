#include "bot/dispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bot/recording_host.h"
#include "rules/blocks.h"
#include "support/server_blocks.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::shortBlockSize;
using dorvi::client::ClientSession;
using dorvi::client::GameState;
using dorvi::client::SessionAction;
using dorvi::client::testing::RecordingHost;
using dorvi::testing::pointBlock;
using dorvi::testing::relayBlock;

namespace {

using Events = std::vector<std::string>;

struct Dispatch : ::testing::Test {
    GameState state;
    RecordingHost host;
    ClientSession session{&state, &host, 0};

    void SetUp() override { host.state = &state; }

    std::vector<SessionAction> send(const std::string& block) { return dorvi::client::dispatchBlock(session, block); }

    // Names and hand, then the host's record is cleared: the bidding phase.
    void dealHand(const std::string& digits = "141312219182736451") {
        send(padBlock("name A", blockSize));
        send(padBlock("name B", blockSize));
        send(padBlock("name C", blockSize));
        send(padBlock(digits, blockSize));
        host.clear();
    }
};

std::string describe(const std::vector<SessionAction>& actions) {
    static const char* names[] = {"Delay", "ShowText", "ClearTrick", "Shutdown"};
    std::string all;
    for (const auto& action : actions) {
        all += "[";
        all += action.kind >= 0 && action.kind <= 3 ? names[action.kind] : "?";
        if (action.kind == SessionAction::Delay) all += " " + std::to_string(action.ms);
        if (action.kind == SessionAction::ShowText) all += " " + action.text;
        all += "]";
    }
    return all;
}

}  // namespace

TEST_F(Dispatch, DealSetupStoresNamesThenTakesAnyOtherBlockAsTheHand) {
    send(padBlock("name Ann", blockSize));
    send(padBlock("xxnamexx", blockSize));
    EXPECT_EQ(session.phase, 0);
    EXPECT_EQ(state.names[0], "Ann");
    EXPECT_EQ(state.names[1], "exx") << "a text holding \"name\" anywhere is a name block";

    auto actions = send(padBlock("141312219182736451", blockSize));
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(session.phase, 1);
    EXPECT_TRUE(state.biddingStarted);
    EXPECT_EQ(state.hand[0], 91);
    EXPECT_EQ(host.events(), (Events{"log:\r\nMäng algas", "log:\r\nPakkumine algas"}));
}

TEST_F(Dispatch, BiddingTestsLongerKeywordsFirst) {
    dealHand();
    EXPECT_TRUE(send(padBlock("okc", blockSize)).empty());
    EXPECT_TRUE(state.playTurn);
    EXPECT_FALSE(state.bidTurn) << "\"okc\" must not be taken for a bid prompt";
    EXPECT_EQ(session.phase, 1);

    send(padBlock("ok", blockSize));
    EXPECT_TRUE(state.bidTurn);

    send(padBlock("0 3", blockSize));
    send(padBlock("2 0", blockSize));
    EXPECT_EQ(state.bids[0], 3);
    EXPECT_EQ(state.bids[2], -1);

    host.onEvent = [&](const std::string& line) {
        if (line == "trumpTurn") {
            EXPECT_TRUE(state.trumpChoiceTurn) << "startTrumpChoice runs before the hook";
        }
    };
    state.bidTurn = true;
    send(padBlock("trump", blockSize));
    EXPECT_FALSE(state.bidTurn);
    EXPECT_FALSE(state.biddingStarted);
    EXPECT_EQ(host.events(), (Events{"playTurn", "bidTurn", "log:\r\nTee trump", "trumpTurn"}));

    // "next" outranks "trump" and "ok" in one text.
    host.clear();
    host.onEvent = nullptr;
    auto actions = send(padBlock("next 3 trump ok", blockSize));
    EXPECT_EQ(describe(actions), "[Delay 1500]");
    EXPECT_EQ(session.phase, 2);
    EXPECT_EQ(host.events(), (Events{"trumpSet:3 bids 3 0 -1 0"})) << host.joined();
}

TEST_F(Dispatch, ContractAnnouncementShowsTheBidsToTheHookThenResetsThem) {
    dealHand();
    send(padBlock("2 0", blockSize));
    send(padBlock("3 0", blockSize));
    send(padBlock("0 0", blockSize));
    state.trumpChoiceTurn = true;

    auto actions = send(padBlock("next 3", blockSize));
    EXPECT_EQ(describe(actions), "[Delay 1500]");
    EXPECT_EQ(host.events(), (Events{"trumpSet:3 bids -1 0 -1 -1"}));
    EXPECT_EQ(state.trump, 3);
    EXPECT_FALSE(state.trumpChoiceTurn);
    EXPECT_EQ(state.bids[0], 0) << "bids are reset after the hook";
    EXPECT_EQ(state.bids[2], 0);
    EXPECT_EQ(session.phase, 2);
}

TEST_F(Dispatch, FourthCardCompletesTheTrickBeforeTheDelayAndClear) {
    dealHand();
    send(padBlock("next 2", blockSize));
    host.clear();

    EXPECT_TRUE(send(padBlock("okc", shortBlockSize)).empty());
    EXPECT_TRUE(state.playTurn);
    EXPECT_TRUE(send(relayBlock('1', 24)).empty());
    EXPECT_TRUE(send(relayBlock('2', 21)).empty());
    EXPECT_TRUE(send(relayBlock('7', 22)).empty()) << "a seat byte outside 0-3 is no card";
    EXPECT_TRUE(send(relayBlock('3', 200)).empty());
    auto actions = send(relayBlock('0', 91));
    EXPECT_EQ(describe(actions), "[Delay 3000][ClearTrick]");
    EXPECT_EQ(host.events(), (Events{"playTurn", "card:1,24", "card:2,21", "card:3,200", "card:0,91",
                                     "trick:91,24,21,200"}));
    EXPECT_EQ(state.trick[0], 91) << "the trick stays until the loop performs ClearTrick";
    EXPECT_EQ(session.phase, 2);
}

TEST_F(Dispatch, PointBlockTextsAndMatchEnd) {
    struct Case {
        int c, a, b;
        std::string actions;
    };
    const std::string standing = "Praegune mängupunktide seis on ";
    const std::string rule = "\n(See tiim, mis vähemalt 12 punkti saab võidab)";
    const Case cases[] = {
        {60, 3, 4, "[ShowText Teie kaotasite selle mängu tulemusega 60/60][ShowText " + standing + "3/4" + rule + "]"},
        {61, 11, 11, "[ShowText Teie võitsite selle mängu tulemusega 61/59][ShowText " + standing + "11/11" + rule + "]"},
        {0, 0, 0, "[ShowText Teie kaotasite selle mängu tulemusega 0/120][ShowText " + standing + "0/0" + rule + "]"},
        {30, 12, 5,
         "[ShowText Teie kaotasite selle mängu tulemusega 30/90][Shutdown]"
         "[ShowText Teie võitsite terve mängu tulemusega 12/5]"},
        {100, 3, 12,
         "[ShowText Teie võitsite selle mängu tulemusega 100/20][Shutdown]"
         "[ShowText Teie kaotasite terve mängu tulemusega 3/12]"},
        // The three bytes are signed: 0xC8 and 0xFF are -56 and -1, not 200 and 255.
        {-56, -1, 12,
         "[ShowText Teie kaotasite selle mängu tulemusega -56/176][Shutdown]"
         "[ShowText Teie kaotasite terve mängu tulemusega -1/12]"},
    };
    for (const Case& test : cases) {
        dealHand();
        send(padBlock("next 2", blockSize));
        host.clear();
        host.onEvent = [&](const std::string& line) {
            if (line.rfind("dealEnd:", 0) != 0) return;
            EXPECT_EQ(session.phase, 0) << "the phase is back to setup before onDealEnd";
            EXPECT_EQ(state.hand[0], 0) << "the deal is reset before onDealEnd";
            EXPECT_EQ(state.trump, 0);
        };
        auto actions = send(pointBlock(test.c, test.a, test.b));
        host.onEvent = nullptr;
        EXPECT_EQ(describe(actions), test.actions) << "point " << test.c << " " << test.a << "/" << test.b;
        EXPECT_EQ(host.events(), (Events{"dealEnd:" + std::to_string(test.c) + "," + std::to_string(test.a) + "," +
                                         std::to_string(test.b)}));
        EXPECT_EQ(session.phase, 0);
    }
}

TEST_F(Dispatch, UnknownPhaseDoesNothing) {
    session.phase = 3;
    EXPECT_TRUE(send(padBlock("141312219182736451", blockSize)).empty());
    EXPECT_TRUE(send(padBlock("next 2", blockSize)).empty());
    EXPECT_TRUE(host.events().empty());
    EXPECT_EQ(session.phase, 3);
    EXPECT_EQ(state.hand[0], 0);
}
