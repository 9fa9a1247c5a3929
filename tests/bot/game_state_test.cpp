#include "bot/game_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rules/blocks.h"

using dorvi::CardCode;
using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::client::Command;
using dorvi::client::GameState;

namespace {

std::vector<int> handOf(const GameState& state) { return {state.hand, state.hand + 9}; }
std::vector<int> trickOf(const GameState& state) { return {state.trick, state.trick + 4}; }
std::vector<int> bidsOf(const GameState& state) { return {state.bids, state.bids + 4}; }
std::vector<int> cardsLeftOf(const GameState& state) { return {state.cardsLeft, state.cardsLeft + 4}; }

void setHand(GameState& state, std::vector<CardCode> cards) {
    cards.resize(9, 0);
    std::copy(cards.begin(), cards.end(), state.hand);
}

}  // namespace

TEST(GameStateParsers, HandIsReadSortedAndShortViewsFillWithEmptyEntries) {
    GameState state;
    state.parseHand(padBlock("141312219182736451", blockSize));
    EXPECT_EQ(handOf(state), (std::vector<int>{91, 82, 73, 64, 14, 13, 12, 51, 21}));
    EXPECT_EQ(cardsLeftOf(state), (std::vector<int>{9, 9, 9, 9}));

    GameState shortView;
    shortView.parseHand(std::string_view("1413122191827364519", 16));
    std::vector<int> held = handOf(shortView);
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, (std::vector<int>{0, 12, 13, 14, 21, 64, 73, 82, 91})) << "eight codes and one empty entry";
    EXPECT_EQ(cardsLeftOf(shortView), (std::vector<int>{9, 9, 9, 9}));

    for (std::string_view tiny : {std::string_view(""), std::string_view("9")}) {
        GameState empty;
        empty.parseHand(tiny);
        EXPECT_EQ(handOf(empty), std::vector<int>(9, 0)) << "view of " << tiny.size() << " bytes";
        EXPECT_EQ(cardsLeftOf(empty), (std::vector<int>{9, 9, 9, 9}));
    }
}

TEST(GameStateParsers, BidRelaysRecordByBidderAndIgnoreMalformedOnes) {
    GameState state;
    state.parseBid(padBlock("2 0", blockSize));
    state.parseBid(padBlock("1 7", blockSize));
    EXPECT_EQ(bidsOf(state), (std::vector<int>{0, 7, -1, 0})) << "a pass reads as -1";

    state.parseBid(padBlock("4 5", blockSize));
    state.parseBid(padBlock("0 x", blockSize));
    state.parseBid(std::string_view("0 ", 2));
    state.parseBid(padBlock("/ 5", blockSize));
    EXPECT_EQ(bidsOf(state), (std::vector<int>{0, 7, -1, 0})) << "malformed relays must change nothing";
}

TEST(GameStateParsers, CardRelaysFillTheTrickAndCountOthersCards) {
    GameState state;
    state.parseHand(padBlock("141312219182736451", blockSize));

    std::string own = padBlock("0 ", 56);
    own[2] = 91;
    EXPECT_FALSE(state.parseCardPlayed(own));
    EXPECT_EQ(state.trick[0], 91);
    EXPECT_EQ(state.cardsLeft[0], 9) << "the bot's own card was counted by makePlay";

    std::string previous = padBlock("3 ", 56);
    previous[2] = static_cast<char>(200);
    EXPECT_FALSE(state.parseCardPlayed(previous));
    EXPECT_EQ(state.trick[3], 200) << "the card byte is read unsigned";
    EXPECT_EQ(state.cardsLeft[3], 8);

    std::string partner = padBlock("2 ", 56);
    partner[2] = 0;
    EXPECT_FALSE(state.parseCardPlayed(partner)) << "a card byte of 0 leaves the slot empty";

    EXPECT_FALSE(state.parseCardPlayed(padBlock("4 A", 56)));
    EXPECT_FALSE(state.parseCardPlayed(std::string_view("1 ", 2)));
    EXPECT_EQ(trickOf(state), (std::vector<int>{91, 0, 0, 200}));
    EXPECT_EQ(cardsLeftOf(state), (std::vector<int>{9, 9, 8, 8})) << "a 0 card still counts as played";

    EXPECT_FALSE(state.parseCardPlayed(padBlock("1 \x0e", 56)));
    partner[2] = 24;
    EXPECT_TRUE(state.parseCardPlayed(partner)) << "complete once all four slots hold a card";
    EXPECT_EQ(trickOf(state), (std::vector<int>{91, 14, 24, 200}));

    for (int i = 0; i < 20; ++i) state.parseCardPlayed(previous);
    EXPECT_EQ(state.cardsLeft[3], 0) << "more relays than a seat holds cards stop at 0";
}

TEST(GameStateParsers, NamesAreConvertedAndFillTheFirstEmptySlot) {
    GameState state;
    state.storePlayerName(padBlock("name J\xF5gi", blockSize));
    state.storePlayerName(padBlock("name ", blockSize));
    EXPECT_EQ(state.names[1], "") << "a name block without a name stores nothing";
    state.storePlayerName(padBlock("xxxxxM\xE4rt", blockSize));
    state.storePlayerName(padBlock("name Ann", blockSize));
    state.storePlayerName(padBlock("name Fourth", blockSize));
    EXPECT_EQ(state.names[0], "J\xC3\xB5gi");
    EXPECT_EQ(state.names[1], "M\xC3\xA4rt") << "the first five bytes are skipped whatever they hold";
    EXPECT_EQ(state.names[2], "Ann");
}

TEST(GameStateResets, EachResetClearsOnlyItsOwnFields) {
    GameState state;
    state.parseHand(padBlock("141312219182736451", blockSize));
    state.parseBid(padBlock("2 0", blockSize));
    state.parseBid(padBlock("0 4", blockSize));
    state.parseCardPlayed(padBlock("1 \x0e", 56));
    state.storePlayerName(padBlock("name Ann", blockSize));
    state.trump = 3;
    state.bidTurn = state.playTurn = state.biddingStarted = true;

    state.resetBidding();
    EXPECT_EQ(bidsOf(state), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_FALSE(state.bidTurn);
    EXPECT_FALSE(state.biddingStarted);
    EXPECT_EQ(state.trick[1], 14) << "resetBidding must not touch the trick";

    state.bidTurn = state.biddingStarted = true;
    state.startTrumpChoice();
    EXPECT_FALSE(state.bidTurn);
    EXPECT_FALSE(state.biddingStarted);
    EXPECT_TRUE(state.trumpChoiceTurn);

    state.biddingStarted = true;
    state.parseBid(padBlock("2 0", blockSize));
    state.resetDeal();
    EXPECT_TRUE(state.trumpChoiceTurn) << "resetDeal keeps the trump choice flag";
    EXPECT_TRUE(state.biddingStarted) << "resetDeal keeps biddingStarted";
    EXPECT_FALSE(state.bidTurn);
    EXPECT_FALSE(state.playTurn);
    EXPECT_EQ(state.trump, 0);
    EXPECT_EQ(bidsOf(state), (std::vector<int>{0, 0, 0, 0})) << "bids go to 0, not -1";
    EXPECT_EQ(cardsLeftOf(state), (std::vector<int>{0, 0, 0, 0})) << "cardsLeft goes to 0, not 9";
    EXPECT_EQ(trickOf(state), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(handOf(state), std::vector<int>(9, 0));
    EXPECT_EQ(state.names[0], "");

    state.trick[2] = 33;
    state.clearTrick();
    EXPECT_EQ(trickOf(state), (std::vector<int>{0, 0, 0, 0}));
}

TEST(CommandBuilders, BidsNeedTheTurnAndARefusalKeepsIt) {
    GameState state;
    Command none = makeBid(state, 3);
    EXPECT_TRUE(none.line.empty() && none.text.empty()) << "no bid prompt, no command";
    EXPECT_TRUE(makePass(state).line.empty());
    EXPECT_TRUE(makeDiamondsBid(state).line.empty());

    state.bidTurn = true;
    state.bids[0] = 3;  // the next player bid 3, the partner 2
    state.bids[3] = 2;
    Command refused = makeBid(state, 2);
    EXPECT_EQ(refused.line, "");
    EXPECT_EQ(refused.text, "\r\nPead rohkem pakkuma v\xC3\xB5i passima");
    EXPECT_TRUE(state.bidTurn) << "a refused bid leaves the prompt open";

    Command pass = makePass(state);
    EXPECT_EQ(pass.line, "bid  0");
    EXPECT_EQ(pass.text, "\r\nPassisid");
    EXPECT_FALSE(state.bidTurn);

    state.bidTurn = true;
    Command bid = makeBid(state, 3);
    EXPECT_EQ(bid.line, "bid  3") << "equal to the next player's bid is allowed";
    EXPECT_EQ(bid.text, "\r\nPakkusid 3");
    EXPECT_FALSE(state.bidTurn);

    state.bidTurn = true;
    Command diamonds = makeDiamondsBid(state);
    EXPECT_EQ(diamonds.line, "bid  10");
    EXPECT_EQ(diamonds.text, "\r\nTegid ruutu trumbiks");
    EXPECT_FALSE(state.bidTurn);
}

TEST(CommandBuilders, TrumpChoiceChecksTheHandAndRefusesUnknownSuits) {
    GameState state;
    setHand(state, {11, 12, 13, 21, 31, 41});
    state.bids[1] = 4;
    EXPECT_TRUE(makeTrumpChoice(state, 1).line.empty()) << "no trump prompt, no command";

    state.trumpChoiceTurn = true;
    const char* refusals[] = {"\r\nSa ei saa artut trumbiks teha", "\r\nSa ei saa potit trumbiks teha",
                              "\r\nSa ei saa ristit trumbiks teha"};
    for (int suit = 2; suit <= 4; ++suit) {
        Command refused = makeTrumpChoice(state, suit);
        EXPECT_EQ(refused.line, "") << "suit " << suit;
        EXPECT_EQ(refused.text, refusals[suit - 2]);
        EXPECT_TRUE(state.trumpChoiceTurn);
    }
    for (int suit : {-1, 5, 9, 1000}) {
        Command outside = makeTrumpChoice(state, suit);
        EXPECT_TRUE(outside.line.empty() && outside.text.empty()) << "suit " << suit;
        EXPECT_TRUE(state.trumpChoiceTurn) << "suit " << suit;
    }

    Command diamonds = makeTrumpChoice(state, 1);
    EXPECT_EQ(diamonds.line, "next 1") << "Diamonds is always allowed";
    EXPECT_EQ(diamonds.text, "");
    EXPECT_FALSE(state.trumpChoiceTurn);

    state.trumpChoiceTurn = true;
    setHand(state, {71, 72, 73, 22, 12});
    EXPECT_EQ(makeTrumpChoice(state, 2).line, "next 2") << "three permanent trumps and two Hearts cover a bid of 4";
}

TEST(CommandBuilders, PlayTakesTheCardOutAndKeepsTheHandCompact) {
    GameState state;
    setHand(state, {91, 64, 44, 33, 22});
    state.cardsLeft[0] = 5;
    EXPECT_TRUE(makePlay(state, 0).line.empty()) << "no play prompt, no command";

    state.playTurn = true;
    EXPECT_TRUE(makePlay(state, 5).line.empty()) << "index equal to cardsLeft[0]";
    EXPECT_TRUE(makePlay(state, -1).line.empty()) << "negative index";
    EXPECT_TRUE(state.playTurn);

    Command played = makePlay(state, 2);
    EXPECT_EQ(played.line, std::string("scard") + '\x2c');
    EXPECT_EQ(played.text, "");
    EXPECT_EQ(handOf(state), (std::vector<int>{91, 64, 33, 22, 0, 0, 0, 0, 0}));
    EXPECT_EQ(state.cardsLeft[0], 4);
    EXPECT_FALSE(state.playTurn);
    EXPECT_EQ(trickOf(state), (std::vector<int>{0, 0, 0, 0})) << "the card enters the trick only with its relay";

    // The previous player led Spades: the Heart may not follow while a Spade is held.
    state.playTurn = true;
    state.trick[3] = 13;
    state.trump = 1;
    Command refused = makePlay(state, 3);
    EXPECT_EQ(refused.line, "");
    EXPECT_EQ(refused.text, "\r\nSa ei saa seda kaarti k\xC3\xA4ia");
    EXPECT_TRUE(state.playTurn);
    EXPECT_EQ(handOf(state), (std::vector<int>{91, 64, 33, 22, 0, 0, 0, 0, 0}));

    Command last = makePlay(state, 2);
    EXPECT_EQ(last.line, std::string("scard") + '\x21');
    EXPECT_EQ(handOf(state), (std::vector<int>{91, 64, 22, 0, 0, 0, 0, 0, 0}));
}
