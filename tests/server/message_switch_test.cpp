#include <gtest/gtest.h>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "server/server.h"

namespace srv = dorvi::server;

namespace {

// Table threads are detached and may outlive a test, so these servers are
// never freed.
srv::Server& leakedServer(std::ostream& log) {
    static auto* kept = new std::vector<srv::Server*>;
    srv::ServerConfig config;
    config.seedSet = true;
    kept->push_back(new srv::Server(config, log));
    return *kept->back();
}

srv::DorviMsg message(int16_t type, srv::DorviPlayer* player = nullptr, int32_t value = 0) {
    srv::DorviMsg msg;
    msg.type = type;
    msg.value = value;
    msg.player = player;
    msg.playerId = player != nullptr ? player->id : 0;
    return msg;
}

srv::DorviPlayer* claim(srv::Server& server, std::size_t slot, uint64_t id) {
    srv::DorviPlayer* player = &server.slots[slot];
    player->connected = true;
    player->id = id;
    return player;
}

}  // namespace

TEST(MessageSwitch, PrintResetAndQuit) {
    std::ostringstream out;
    srv::Server& server = leakedServer(out);
    std::unique_lock<std::mutex> lock(server.mutex);

    srv::DorviMsg print = message(srv::msgPrint);
    print.text = "hello";
    server.handle(lock, print);
    EXPECT_EQ(out.str(), "hello\n");

    server.log("queued earlier");
    server.handle(lock, message(srv::msgReset));
    ASSERT_EQ(server.queue.size(), 3u);
    EXPECT_EQ(server.queue[0].text, "queued earlier") << "reset queues behind what is waiting";
    EXPECT_EQ(server.queue[1].type, srv::msgStop);
    EXPECT_EQ(server.queue[2].type, srv::msgStart);

    EXPECT_FALSE(server.quit);
    server.handle(lock, message(srv::msgQuit));
    EXPECT_TRUE(server.quit);
    EXPECT_TRUE(lock.owns_lock());
}

TEST(MessageSwitch, JoinSeatsInOrderAndIgnoresStaleOrRepeatedJoins) {
    std::ostringstream out;
    srv::Server& server = leakedServer(out);
    std::unique_lock<std::mutex> lock(server.mutex);

    std::vector<srv::DorviPlayer*> players;
    for (std::size_t i = 0; i < 6; ++i) players.push_back(claim(server, i, 10 + i));

    server.handle(lock, message(srv::msgJoin));
    EXPECT_EQ(server.tables[0].seated, 0) << "a console join has no player";

    srv::DorviMsg stale = message(srv::msgJoin, players[0]);
    stale.playerId = 3;
    server.handle(lock, stale);
    EXPECT_EQ(players[0]->table, nullptr) << "a message from an earlier connection of the slot";

    for (srv::DorviPlayer* p : players) server.handle(lock, message(srv::msgJoin, p));
    server.handle(lock, message(srv::msgJoin, players[1]));
    EXPECT_EQ(server.tables[0].seated, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(server.tables[0].players[i], players[i]) << "seat " << i;
        EXPECT_EQ(players[i]->table, &server.tables[0]);
    }
    EXPECT_EQ(server.tables[1].seated, 2) << "the repeated join of a seated player is ignored";
    EXPECT_TRUE(server.tables[0].active);
    EXPECT_TRUE(server.tables[1].active);

    // A bid at a table that still waits for players must not reach its empty seats.
    server.handle(lock, message(srv::msgBid, players[4], 0));
    server.handle(lock, message(srv::msgCard, players[4], 42));
    srv::DorviMsg next = message(srv::msgNext, players[4], 2);
    next.text = "next 2";
    server.handle(lock, next);
    EXPECT_EQ(server.tables[1].phase, 0);
    EXPECT_TRUE(players[4]->inBidding);

    players[5]->connected = false;
    server.handle(lock, message(srv::msgJoin, players[5]));
    server.stop();
    EXPECT_EQ(server.tables[0].seated, 0);
    EXPECT_EQ(server.tables[1].seated, 0);
    for (srv::DorviPlayer* p : players) {
        EXPECT_FALSE(p->connected);
        EXPECT_EQ(p->table, nullptr);
    }
    ASSERT_FALSE(server.queue.empty());
    EXPECT_EQ(server.queue.back().text, "Server closed");
}

TEST(MessageSwitch, FullTableTakesAStrayJoinAtTheNextTable) {
    std::ostringstream out;
    srv::Server& server = leakedServer(out);
    std::unique_lock<std::mutex> lock(server.mutex);
    for (std::size_t i = 0; i < srv::playerSlotCount; ++i) {
        server.handle(lock, message(srv::msgJoin, claim(server, i, i + 1)));
    }
    for (const srv::DorviTable& table : server.tables) EXPECT_EQ(table.seated, 4);
    // A 53rd player (a slot freed and claimed again) finds no seat and keeps its slot.
    srv::DorviPlayer extra;
    extra.connected = true;
    extra.id = 999;
    server.handle(lock, message(srv::msgJoin, &extra));
    EXPECT_EQ(extra.table, nullptr);
    EXPECT_TRUE(extra.connected);
    server.stop();
}
