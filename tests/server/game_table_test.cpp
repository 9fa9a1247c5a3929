// Table operations and the table thread, driven directly on a server whose
// main loop does not run; the players are loopback connections.

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "net/sockets.h"
#include "server/game_support.h"

namespace dorvi::testing {
namespace {

// A Server without its main loop: log lines stay in its queue, and the test
// plays the part of the message switch and of the connection threads.
class OfflineServer {
public:
    explicit OfflineServer(double timeScale) {
        server::ServerConfig config;
        config.timeScale = timeScale;
        config.seedSet = true;
        server = std::make_unique<server::Server>(config, stream);
        int code = 0;
        listener_ = net::listenSocket(0, 16, code);
    }

    ~OfflineServer() {
        endConnections();
        if (listener_ != net::INVALID_SOCKET) net::closeSocket(listener_);
    }

    // Closes the server's ends, as the connection threads do last.
    void endConnections() {
        for (auto s : serverSockets_) net::closeSocket(s);
        serverSockets_.clear();
    }

    // Gives slot i a live connection and returns the client's end.
    std::unique_ptr<ProtocolClient> connect(std::size_t slot, const std::string& name,
                                            Transport transport = Transport::Tcp) {
        int code = 0;
        net::SOCKET c = net::connectSocket("127.0.0.1", net::localPort(listener_), code);
        net::SOCKET s = net::acceptSocket(listener_);
        if (c == net::INVALID_SOCKET || s == net::INVALID_SOCKET) return nullptr;
        serverSockets_.push_back(s);
        server::DorviPlayer& p = server->slots[slot];
        p.connected = true;
        p.socket = s;
        p.name = name;
        p.id = slot + 1;
        p.webSocket = transport == Transport::WebSocket;
        return std::make_unique<ProtocolClient>(c, transport);
    }

    // Connects slots 0 to 3, each named "x", and seats them at table 0.
    void seatFour(std::vector<std::unique_ptr<ProtocolClient>>& clients) {
        for (std::size_t i = 0; i < 4; ++i) {
            clients.push_back(connect(i, "x"));
            ASSERT_NE(clients.back(), nullptr);
            server->tables[0].seatPlayer(&server->slots[i]);
        }
    }

    // Log lines queued so far with this text.
    int logged(const std::string& text) {
        int n = 0;
        for (const auto& m : server->queue) n += m.type == server::msgPrint && m.text == text ? 1 : 0;
        return n;
    }

    LineLog capture;
    std::ostream stream{&capture};
    std::unique_ptr<server::Server> server;

private:
    net::SOCKET listener_ = net::INVALID_SOCKET;
    std::vector<net::SOCKET> serverSockets_;
};

std::string next(ProtocolClient& c) {
    std::string block;
    auto r = c.next(block, 5s);
    return r == ProtocolClient::Read::Block ? block : "<" + c.error() + ">";
}

// runTable on a thread of the test's own, so that its end can be awaited.
struct TableThread {
    TableThread(server::Server& s, server::DorviTable& t, std::uint64_t epoch)
        : done(ended.get_future()), thread([&s, &t, epoch, this] {
              s.runTable(t, epoch);
              ended.set_value();
          }) {}
    ~TableThread() { thread.join(); }
    bool endsWithin(std::chrono::milliseconds timeout) {
        return done.wait_for(timeout) == std::future_status::ready;
    }
    std::promise<void> ended;
    std::future<void> done;
    std::thread thread;
};

TEST(GameTable, ThreadOfAnEarlierOccupationEndsAndLeavesTheNewOneAlone) {
    // Real 200 ms polls, so that the abort and the new seating both happen
    // while the first thread sleeps.
    OfflineServer off(1.0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[0];
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    for (std::size_t i = 0; i < 8; ++i) {
        clients.push_back(off.connect(i, "C" + std::to_string(i)));
        ASSERT_NE(clients.back(), nullptr);
    }

    std::unique_ptr<TableThread> first, second;
    std::unique_lock<std::mutex> lock(s.mutex);
    // However the test ends, the table is let go before its threads are joined.
    struct Release {
        std::unique_lock<std::mutex>& lock;
        server::DorviTable& table;
        ~Release() {
            if (!lock.owns_lock()) lock.lock();
            table.epoch += 1;
            table.active = false;
            lock.unlock();
        }
    } release{lock, table};
    for (std::size_t i = 0; i < 4; ++i) table.seatPlayer(&s.slots[i]);
    first = std::make_unique<TableThread>(s, table, table.epoch);
    lock.unlock();
    // Once the first thread has announced the deal it sleeps in its next
    // poll, since it holds the mutex whenever it is awake.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        lock.lock();
        if (off.logged("Game beginning") == 1) break;
        lock.unlock();
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first thread never announced its deal";
        std::this_thread::sleep_for(1ms);
    }
    table.abortTable();
    for (std::size_t i = 4; i < 8; ++i) table.seatPlayer(&s.slots[i]);
    EXPECT_EQ(table.epoch, 1u);
    lock.unlock();

    // The table is active again, but not the first thread's: it ends without
    // acting on the new occupation.
    EXPECT_TRUE(first->endsWithin(5s)) << "the first thread did not notice the new epoch";
    lock.lock();
    EXPECT_EQ(off.logged("Game beginning"), 1) << "the first thread announced a deal of the new occupation";
    EXPECT_EQ(table.phase, 0);
    second = std::make_unique<TableThread>(s, table, table.epoch);
    lock.unlock();
    // The old players were let go; the new ones get their deal from the second thread.
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(clients[i]->waitEnd(5s)) << "old player " << i;
    }
    for (std::size_t r = 0; r < 4; ++r) {
        ProtocolClient& c = *clients[4 + r];
        for (std::size_t k = 1; k <= 3; ++k) {
            EXPECT_EQ(blockText(next(c)), "name C" + std::to_string(4 + (r + k) % 4)) << "new seat " << r;
        }
        EXPECT_EQ(blockText(next(c)).size(), 18u) << "hand of new seat " << r;
    }
    EXPECT_EQ(blockText(next(*clients[4])), "ok");

    lock.lock();
    EXPECT_EQ(off.logged("Game beginning"), 2);
    table.abortTable();
    lock.unlock();
    EXPECT_TRUE(second->endsWithin(5s)) << "the second thread outlived its table";
    // Neither thread sent anything more before the table was let go.
    for (std::size_t i = 4; i < 8; ++i) {
        int extra = 0;
        EXPECT_TRUE(clients[i]->waitEnd(5s, &extra));
        EXPECT_EQ(extra, 0) << "player " << i;
    }
}

TEST(GameTable, AbortLetsEverySeatedPlayerGoAndResetsTheMatch) {
    OfflineServer off(0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[3];
    auto tcp = off.connect(0, "A");
    auto ws = off.connect(1, "B", Transport::WebSocket);
    ASSERT_TRUE(tcp && ws);

    std::lock_guard<std::mutex> guard(s.mutex);
    table.seatPlayer(&s.slots[0]);
    table.seatPlayer(&s.slots[1]);
    table.scoreA = 7;
    table.scoreB = 9;
    table.contract = 3;
    table.trick[2] = 44;
    table.pileA[0] = 91;
    table.hands[5] = 12;
    table.phase = 2;
    table.passes = 2;
    table.prompts = 3;
    table.maker = 1;
    table.current = 1;
    s.slots[0].pendingCard = 33;
    s.slots[1].inBidding = false;
    s.slots[1].promptArmed = false;
    std::uint64_t epoch = table.epoch;

    table.abortTable();
    EXPECT_EQ(table.epoch, epoch + 1);
    EXPECT_EQ(table.seated, 0);
    EXPECT_FALSE(table.active);
    for (auto* p : table.players) EXPECT_EQ(p, nullptr);
    EXPECT_EQ(table.scoreA + table.scoreB + table.phase + table.passes + table.prompts + table.maker + table.current, 0);
    EXPECT_EQ(table.hands[5], 0);
    // The contract and the cards of the last trick and pile stay.
    EXPECT_EQ(table.contract, 3);
    EXPECT_EQ(table.trick[2], 44);
    EXPECT_EQ(table.pileA[0], 91);
    for (std::size_t i = 0; i < 2; ++i) {
        const server::DorviPlayer& p = s.slots[i];
        EXPECT_FALSE(p.connected) << i;
        EXPECT_EQ(p.table, nullptr) << i;
        EXPECT_EQ(p.socket, net::INVALID_SOCKET) << i;
        EXPECT_EQ(p.pendingCard, 0) << i;
        EXPECT_TRUE(p.inBidding && p.promptArmed) << i;
        EXPECT_EQ(p.name, "") << i;
    }
    // TCP ends at once. WebSocket gets its close frame, and the stream ends
    // only when its connection thread, played here, has had the answer.
    EXPECT_TRUE(tcp->waitEnd(5s));
    EXPECT_EQ(tcp->closeFrame(), "");
    EXPECT_FALSE(ws->waitEnd(100ms)) << "the connection ended before its client could answer";
    EXPECT_EQ(ws->closeFrame(), std::string("\x88\x02\x03\xe8", 4));
    off.endConnections();
    EXPECT_TRUE(ws->waitEnd(5s));
}

TEST(GameTable, NewDealKeepsTheMatchAndRearmsEverySeat) {
    OfflineServer off(0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[0];
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    std::lock_guard<std::mutex> guard(s.mutex);
    ASSERT_NO_FATAL_FAILURE(off.seatFour(clients));
    for (std::size_t i = 0; i < 4; ++i) {
        s.slots[i].inBidding = false;
        s.slots[i].promptArmed = false;
        s.slots[i].pendingCard = 21;
    }
    table.scoreA = 11;
    table.scoreB = 11;
    EXPECT_TRUE(table.matchGoesOn());
    table.phase = 3;
    table.current = 2;
    table.passes = 3;
    table.prompts = 5;
    table.maker = 2;
    table.contract = 4;
    table.hands[0] = 11;
    table.active = false;
    table.newDeal();
    EXPECT_EQ(table.phase + table.current + table.passes + table.prompts + table.maker + table.hands[0], 0);
    EXPECT_TRUE(table.active);
    EXPECT_EQ(table.scoreA, 11);
    EXPECT_EQ(table.scoreB, 11);
    EXPECT_EQ(table.contract, 4);
    EXPECT_EQ(table.seated, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(table.players[i], &s.slots[i]);
        EXPECT_TRUE(s.slots[i].inBidding && s.slots[i].promptArmed) << i;
        EXPECT_EQ(s.slots[i].pendingCard, 21) << "a card played out of turn waits for its seat";
    }
    table.scoreB = 12;
    EXPECT_FALSE(table.matchGoesOn());
}

TEST(GameTable, BidOutOfTurnIsRelayedAsItsBiddersButTheTurnMovesOnFromTheCurrentSeat) {
    OfflineServer off(0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[0];
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    std::lock_guard<std::mutex> guard(s.mutex);
    ASSERT_NO_FATAL_FAILURE(off.seatFour(clients));
    for (std::size_t i = 0; i < 4; ++i) s.slots[i].promptArmed = false;
    // Seat 1 was prompted, seat 3 bids instead.
    table.current = 1;
    table.bid(&s.slots[3], 5);
    for (std::size_t r = 0; r < 4; ++r) {
        EXPECT_EQ(blockText(next(*clients[r])), std::to_string((r + 2) % 4) + " 5") << "bidder index at seat " << r;
    }
    EXPECT_TRUE(s.slots[1].promptArmed) << "the prompted seat is re-armed, not the bidder";
    EXPECT_FALSE(s.slots[3].promptArmed);
    EXPECT_EQ(table.current, 2) << "the turn moves on from the current seat";
}

TEST(GameTable, ScoringCapsAtTwelveAndKeepsZeroBytesInPointBlocks) {
    OfflineServer off(0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[0];
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    std::lock_guard<std::mutex> guard(s.mutex);
    ASSERT_NO_FATAL_FAILURE(off.seatFour(clients));
    // 20 card points against a maker of team 1 under contract 2: team 1 gets
    // 4, and 10 + 4 stops at 12.
    table.scoreA = 0;
    table.scoreB = 10;
    table.contract = 2;
    table.maker = 1;
    table.addDealScore(20);
    EXPECT_EQ(table.scoreA, 0);
    EXPECT_EQ(table.scoreB, 12);
    table.sendPoints(20);
    for (std::size_t r = 0; r < 4; ++r) {
        clients[r]->cutShortBlocks(true);
        std::string got = next(*clients[r]);
        std::string want = r % 2 == 0 ? pointBlock(20, 0, 12) : pointBlock(100, 12, 0);
        EXPECT_EQ(got, want) << "seat " << r << ": " << show(got);
    }

    // A full pile is summed whole; a tenth trick finds no room and is dropped.
    for (int i = 0; i < 36; ++i) table.pileA[i] = 0;
    const Trick trick{61, 51, 91, 81};
    for (int t = 0; t < 10; ++t) {
        std::copy(trick.begin(), trick.end(), table.trick);
        table.collectTrick();
    }
    EXPECT_EQ(table.cardPointsA(), 9 * (11 + 10 + 4 + 3));
    table.pileA[33] = 0;
    std::copy(trick.begin(), trick.end(), table.trick);
    table.trick[0] = 94;
    table.collectTrick();
    EXPECT_EQ(table.pileA[33], 0) << "a trick never runs past the end of the pile";
    EXPECT_EQ(table.cardPointsA(), 8 * 28 + 11);
}

TEST(GameTable, CardZeroIsRelayedButNeverTakenAsPlayed) {
    OfflineServer off(0);
    server::Server& s = *off.server;
    server::DorviTable& table = s.tables[0];
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    std::lock_guard<std::mutex> guard(s.mutex);
    ASSERT_NO_FATAL_FAILURE(off.seatFour(clients));
    table.current = 1;
    table.playCard(0);
    EXPECT_EQ(s.slots[1].pendingCard, 0);
    table.playCard(-56);  // a card byte above 127, widened with its sign
    EXPECT_EQ(s.slots[1].pendingCard, 0xFFC8);
    for (std::size_t r = 0; r < 4; ++r) {
        std::string rel(1, static_cast<char>('0' + (1 - static_cast<int>(r) + 4) % 4));
        clients[r]->cutShortBlocks(true);
        EXPECT_EQ(next(*clients[r]), padBlock(rel + std::string(" \0", 2), shortBlockSize)) << r;
        EXPECT_EQ(next(*clients[r]), padBlock(rel + " \xc8", shortBlockSize)) << r;
    }
}

TEST(GameTable, BidsTrumpsAndCardsAtATableOfThreeChangeAndSendNothing) {
    LoopbackServer server(0.01);
    ASSERT_TRUE(server.started()) << server.log().dump();
    GameRecord record;
    std::vector<std::unique_ptr<SeatClient>> seats;
    for (int i = 0; i < 3; ++i) {
        seats.push_back(std::make_unique<SeatClient>(server.port(), Transport::Tcp, "W" + std::to_string(i), i, record));
        seats.back()->join();
        ASSERT_TRUE(server.waitSeated(i + 1));
    }
    {
        server::Server& s = server.server();
        std::unique_lock<std::mutex> lock(s.mutex);
        server::DorviTable& table = s.tables[0];
        server::DorviPlayer* p = table.players[0];
        ASSERT_NE(p, nullptr);
        // Through the message switch, as the connection would post them.
        s.handle(lock, {server::msgBid, 3, p, p->id, ""});
        s.handle(lock, {server::msgBid, 0, p, p->id, ""});
        s.handle(lock, {server::msgNext, 2, p, p->id, padBlock("next 2", blockSize)});
        s.handle(lock, {server::msgCard, 41, p, p->id, ""});
        // And straight at the table, which must refuse them too.
        table.bid(p, 5);
        table.countPass();
        table.setContract(3);
        table.nextPhase();
        table.playCard(42);
        table.broadcast("next 3");
        table.promptBid();
        table.sendNames();
        table.sendPoints(60);
        EXPECT_EQ(table.seated, 3);
        EXPECT_EQ(table.phase, 0);
        EXPECT_EQ(table.passes, 0);
        EXPECT_EQ(table.contract, 0);
        EXPECT_EQ(table.current, 0);
        EXPECT_EQ(table.maker, 0);
        EXPECT_EQ(table.prompts, 0);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(table.players[i]->pendingCard, 0) << i;
            EXPECT_TRUE(table.players[i]->inBidding && table.players[i]->promptArmed) << i;
        }
        EXPECT_EQ(table.players[3], nullptr);
    }
    // The fourth player completes the table, which then deals as usual: the
    // first thing each seat hears is its name blocks.
    SeatScript quiet;
    quiet.holdAt = [](int, std::string_view t) { return t == "ok"; };
    seats.push_back(std::make_unique<SeatClient>(server.port(), Transport::Tcp, "W3", 3, record, quiet));
    seats.back()->join();
    ASSERT_TRUE(server.waitSeated(4));
    ASSERT_TRUE(record.waitFor([](const Received& e) { return e.text() == "ok"; }) &&
                record.waitUntil([](const std::vector<Received>& events) {
                    int hands = 0;
                    for (const auto& e : events) hands += e.text().size() == 18 ? 1 : 0;
                    return hands == 4;
                }))
        << showRecord(record.events());
    std::array<int, 4> firsts{};
    for (const auto& e : record.events()) {
        auto& n = firsts[static_cast<std::size_t>(e.seat)];
        if (n++ < 3) {
            EXPECT_TRUE(e.text().starts_with("name W")) << "seat " << e.seat << ": " << show(e.block);
        }
    }
}

}  // namespace
}  // namespace dorvi::testing
