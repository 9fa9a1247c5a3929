#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rules/blocks.h"
#include "server/protocol.h"
#include "server/server.h"

using dorvi::blockSize;
using dorvi::padBlock;
using dorvi::server::DorviMsg;
using dorvi::server::messageFromBlock;
namespace srv = dorvi::server;

namespace {

DorviMsg parsed(std::string_view text) {
    auto msg = messageFromBlock(padBlock(text, blockSize));
    EXPECT_TRUE(msg.has_value()) << "no message for \"" << text << "\"";
    return msg.value_or(DorviMsg{});
}

}  // namespace

TEST(ParseMsg, KeywordsAndTheirMessages) {
    EXPECT_FALSE(messageFromBlock(std::string(blockSize, '\0')).has_value()) << "empty text";
    EXPECT_FALSE(messageFromBlock(padBlock("hello there", blockSize)).has_value());
    EXPECT_FALSE(messageFromBlock(padBlock("JOIN", blockSize)).has_value()) << "keywords are case-sensitive";
    std::string hidden = padBlock("x", blockSize);
    hidden.replace(2, 4, "join");
    EXPECT_FALSE(messageFromBlock(hidden).has_value()) << "bytes behind the first NUL are not searched";

    EXPECT_EQ(parsed("quit").type, srv::msgQuit);
    EXPECT_EQ(parsed("start").type, srv::msgStart);
    EXPECT_EQ(parsed("stop").type, srv::msgStop);
    EXPECT_EQ(parsed("reset").type, srv::msgReset);
    EXPECT_EQ(parsed("xxjoinyy").type, srv::msgJoin) << "letters around a keyword do not matter";

    DorviMsg print = parsed("print");
    EXPECT_EQ(print.type, srv::msgPrint);
    EXPECT_EQ(print.text, "");
    EXPECT_EQ(parsed("printhello").text, "hello");
    EXPECT_EQ(parsed("xxprint me").text, "nt me") << "print text starts at byte 5 whatever bytes 0-4 hold";
}

TEST(ParseMsg, KeywordOrderDecidesNotPosition) {
    EXPECT_EQ(parsed("quitjoin").type, srv::msgJoin);
    EXPECT_EQ(parsed("joinquit").type, srv::msgJoin);
    EXPECT_EQ(parsed("bid next 3").type, srv::msgNext);
    EXPECT_EQ(parsed("scard stop").type, srv::msgStop);
    EXPECT_EQ(parsed("start reset").type, srv::msgStart);
    EXPECT_EQ(parsed("restart").type, srv::msgStart) << "\"restart\" holds \"start\", not \"reset\"";
}

TEST(ParseMsg, BidsTrumpChoicesAndCards) {
    DorviMsg pass = parsed("bid  0");
    EXPECT_EQ(pass.type, srv::msgBid);
    EXPECT_EQ(pass.value, 0);
    EXPECT_EQ(parsed("bid  7").value, 7);
    DorviMsg shifted = parsed("xxbid7");
    EXPECT_EQ(shifted.type, srv::msgBid) << "a 6-byte text with bid anywhere";
    EXPECT_EQ(shifted.value, 7);
    EXPECT_EQ(parsed("bid  x").value, 'x' - '0') << "no range check";

    for (std::string_view diamonds : {"bid  10", "bid 5", "bid"}) {
        DorviMsg msg = parsed(diamonds);
        EXPECT_EQ(msg.type, srv::msgNext) << diamonds;
        EXPECT_EQ(msg.value, 1) << diamonds;
        EXPECT_EQ(msg.text, "next 1") << diamonds;
    }

    std::string trump = padBlock("next 3", blockSize);
    trump[100] = 'Z';  // bytes behind the first NUL travel on unchanged
    auto next = messageFromBlock(trump);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->type, srv::msgNext);
    EXPECT_EQ(next->value, 3);
    EXPECT_EQ(next->text, trump) << "the whole block is relayed, NULs included";
    DorviMsg bare = parsed("next");
    EXPECT_EQ(bare.value, -48);
    EXPECT_EQ(bare.text, padBlock("next", blockSize));
    EXPECT_EQ(messageFromBlock("next")->value, 0) << "block shorter than 6 bytes";

    DorviMsg card = parsed(std::string("scard") + char(42));
    EXPECT_EQ(card.type, srv::msgCard);
    EXPECT_EQ(card.value, 42);
    EXPECT_EQ(parsed("scard").value, 0);
    EXPECT_EQ(parsed(std::string("scard") + char(0x94)).value, 0x94 - 256) << "byte 5 is signed";
}

TEST(ParseMsg, PlayerBlocksCarryTheConnectionAndConsoleWordsAreDropped) {
    std::ostringstream out;
    srv::ServerConfig config;
    config.seedSet = true;
    srv::Server server(config, out);
    srv::DorviPlayer* player = &server.slots[5];
    player->connected = true;
    player->id = 77;

    for (std::string_view word : {"print", "stop", "start", "reset", "quit", "quit bid  1", "stopnext 1",
                                  "scardprint"}) {
        EXPECT_FALSE(server.parseMsg(padBlock(word, blockSize), player)) << word;
    }
    EXPECT_TRUE(server.queue.empty()) << "console words from a player are dropped whole";

    EXPECT_FALSE(server.parseMsg(padBlock("no keyword", blockSize), player));
    EXPECT_TRUE(server.parseMsg(padBlock("join", blockSize), player));
    server.parseMsg(padBlock("bid  4", blockSize), player);
    server.parseMsg(padBlock("print hi", blockSize), nullptr);
    server.parseMsg(padBlock("join", blockSize), nullptr);
    ASSERT_EQ(server.queue.size(), 4u);
    EXPECT_EQ(server.queue[0].type, srv::msgJoin);
    EXPECT_EQ(server.queue[0].player, player);
    EXPECT_EQ(server.queue[0].playerId, 77u);
    EXPECT_EQ(server.queue[1].type, srv::msgBid);
    EXPECT_EQ(server.queue[1].value, 4);
    EXPECT_EQ(server.queue[2].type, srv::msgPrint);
    EXPECT_EQ(server.queue[2].player, nullptr);
    EXPECT_EQ(server.queue[2].text, " hi");
    EXPECT_EQ(server.queue[3].type, srv::msgJoin) << "the console's join is queued and ignored later";
    EXPECT_EQ(server.queue[3].playerId, 0u);

    // A block read by connection 77 after its slot went to connection 78 must
    // not be credited to 78.
    server.queue.clear();
    player->id = 78;
    EXPECT_FALSE(server.parseMsg(padBlock("join", blockSize), player, 77));
    EXPECT_TRUE(server.queue.empty()) << "a block of a replaced connection is dropped";
    server.parseMsg(padBlock("join", blockSize), player, 78);
    ASSERT_EQ(server.queue.size(), 1u);
    EXPECT_EQ(server.queue[0].playerId, 78u);
}
