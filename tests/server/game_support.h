#pragma once

// Shared pieces of the game tests: an in-process server on loopback with its
// log captured, and seat clients that play the protocol on their own threads
// while every block they receive goes into one ordered record.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "rules/blocks.h"
#include "rules/card_rules.h"
#include "server/server.h"
#include "server/server_harness.h"
#include "support/line_record.h"
#include "support/protocol_client.h"
#include "support/server_blocks.h"

namespace dorvi::testing {

using namespace std::chrono_literals;
using Transport = ProtocolClient::Transport;

// A Server with its main loop on a thread, listening on free loopback ports
// (TCP and WebSocket). The stop at the end ends every table and connection.
class LoopbackServer : public InProcessServer {
public:
    explicit LoopbackServer(double timeScale, std::uint32_t seed = 1) : InProcessServer(configFor(timeScale, seed)) {
        running_ = true;
        started_ = log().waitFor("Server is accepting connections", 1, 10s);
    }

    ~LoopbackServer() { shutdown(); }

    // Stops the server (all tables ended, all players dropped) and ends its loop.
    void shutdown() {
        if (!running_) return;
        running_ = false;
        int closed = log().count("Server closed");
        command("stop");
        log().waitFor("Server closed", closed + 1, 20s);
        command("quit");
        joinLoop();
    }

    bool started() const { return started_ && port() != 0 && wsPort() != 0; }
    server::Server& server() { return raw(); }

    // Types a word on the operator console.
    void command(const std::string& word) { server().parseMsg(padBlock(word, blockSize), nullptr); }

    int seatedAt(int table) {
        std::lock_guard<std::mutex> guard(server().mutex);
        return server().tables[static_cast<std::size_t>(table)].seated;
    }

    int seatedTotal() {
        std::lock_guard<std::mutex> guard(server().mutex);
        int n = 0;
        for (const auto& t : server().tables) n += t.seated;
        return n;
    }

    // Waits until the server has seated `total` players over all tables.
    bool waitSeated(int total, std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seatedTotal() < total) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            // The seat count has no notification; look again shortly.
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

private:
    static server::ServerConfig configFor(double timeScale, std::uint32_t seed) {
        server::ServerConfig config = defaultConfig();
        config.autoStart = true;
        config.timeScale = timeScale;
        config.seed = seed;
        config.seedSet = true;
        return config;
    }

    bool running_ = false;
    bool started_ = false;
};

// Everything the seat clients of one test received, in one order: a block is
// recorded before its client answers it, so causes come before effects.
struct Received {
    int seat;
    std::string block;
    std::chrono::steady_clock::time_point at;
    std::string_view text() const { return blockText(block); }
};

class GameRecord {
public:
    void add(int seat, const std::string& block) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back({seat, block, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }
    std::vector<Received> events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    // Waits until some received block satisfies pred.
    bool waitFor(const std::function<bool(const Received&)>& pred, std::chrono::milliseconds timeout = 20s) {
        return waitUntil(
            [&](const std::vector<Received>& events) {
                for (const auto& e : events) {
                    if (pred(e)) return true;
                }
                return false;
            },
            timeout);
    }
    // Waits until the whole record satisfies pred.
    bool waitUntil(const std::function<bool(const std::vector<Received>&)>& pred,
                   std::chrono::milliseconds timeout = 20s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(events_); });
    }
    // Waits until every seat has received a block whose text starts with `prefix`
    // at least n times.
    bool waitEverySeat(const std::string& prefix, int n = 1, std::chrono::milliseconds timeout = 20s) {
        return waitUntil(
            [&](const std::vector<Received>& events) {
                std::array<int, 4> seen{};
                for (const auto& e : events) {
                    if (e.text().starts_with(prefix)) ++seen[static_cast<std::size_t>(e.seat)];
                }
                for (int c : seen) {
                    if (c < n) return false;
                }
                return true;
            },
            timeout);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> events_;
};

// What a seat answers. An empty answer sends nothing; "<close>" ends the
// connection from the client's side.
struct SeatScript {
    // Answer to the n-th "ok" (from 0) of this seat in deal d (from 0).
    std::function<std::string(int deal, int n)> onOk = [](int, int) { return std::string("bid  0"); };
    std::function<std::string(int deal)> onTrump = [](int) { return std::string("next 2"); };
    // Called at every "okc"; returns the card to play, or -1 to play the
    // first legal card of the hand. `trick` is indexed by relative seat.
    std::function<int(int deal, const Hand& hand, const Trick& trick, int trump)> onCard;
    // Stops answering once this returns true for a received block (the block
    // itself is not answered).
    std::function<bool(int deal, std::string_view text)> holdAt;
};

// One player on its own thread: greets, joins, answers prompts and plays
// legal cards until the server ends the connection.
class SeatClient {
public:
    SeatClient(std::uint16_t port, Transport transport, std::string name, int seat, GameRecord& record,
               SeatScript script = {})
        : client_(port, transport), name_(std::move(name)), seat_(seat), record_(record),
          script_(std::move(script)) {}

    ~SeatClient() {
        client_.shutdown();
        if (thread_.joinable()) thread_.join();
    }

    bool connected() const { return client_.connected(); }
    ProtocolClient& client() { return client_; }

    // Greeting and "join"; the thread starts reading at once.
    void join() {
        client_.send(name_);
        client_.send("join");
        thread_ = std::thread([this] { run(); });
    }

    bool waitDone(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return doneChanged_.wait_for(lock, timeout, [&] { return done_; });
    }

    // After waitDone: how the connection ended.
    bool endedByServer() const { return endedByServer_; }
    const std::string& error() const { return error_; }
    const std::string& closeFrame() const { return client_.closeFrame(); }
    int seat() const { return seat_; }

private:
    void run() {
        for (;;) {
            std::string block;
            auto r = client_.next(block, 60s);
            if (r != ProtocolClient::Read::Block) {
                endedByServer_ = r == ProtocolClient::Read::Ended;
                if (!endedByServer_) error_ = client_.error();
                break;
            }
            record_.add(seat_, block);
            if (!holding_) react(block);
        }
        std::lock_guard<std::mutex> guard(mutex_);
        done_ = true;
        doneChanged_.notify_all();
    }

    void answer(const std::string& text) {
        if (text.empty()) return;
        if (text == "<close>") {
            client_.shutdown();
            return;
        }
        client_.send(text);
    }

    void react(const std::string& block) {
        std::string_view text = blockText(block);
        if (script_.holdAt && script_.holdAt(deal_, text)) {
            holding_ = true;
            return;
        }
        if (text.starts_with("point")) {
            ++deal_;
            oks_ = 0;
            return;
        }
        if (text.starts_with("next")) {
            trump_ = static_cast<unsigned char>(block[5]) - '0';
            trick_ = {};
            inTrick_ = 0;
            return;
        }
        if (text == "okc") {
            int card = script_.onCard ? script_.onCard(deal_, hand_, trick_, trump_) : -1;
            if (card < 0) card = firstLegal();
            for (auto& c : hand_) {
                if (c == card) {
                    c = 0;
                    break;
                }
            }
            std::string msg = "scard";
            msg += static_cast<char>(card);
            answer(msg);
            return;
        }
        if (text == "ok") {
            answer(script_.onOk(deal_, oks_++));
            return;
        }
        if (text == "trump") {
            answer(script_.onTrump(deal_));
            return;
        }
        if (block.size() == shortBlockSize && block[1] == ' ') {
            int rel = block[0] - '0';
            if (rel >= 0 && rel < 4) trick_[static_cast<std::size_t>(rel)] = static_cast<unsigned char>(block[2]);
            if (++inTrick_ == 4) {
                trick_ = {};
                inTrick_ = 0;
            }
            return;
        }
        if (text.size() == 18 && text.find_first_not_of("0123456789") == std::string_view::npos) {
            for (std::size_t i = 0; i < 9; ++i) {
                hand_[i] = static_cast<CardCode>((text[2 * i] - '0') * 10 + (text[2 * i + 1] - '0'));
            }
        }
    }

    int firstLegal() const {
        for (CardCode c : hand_) {
            if (c != 0 && isLegalPlay(hand_, trick_, trump_, c)) return c;
        }
        return 0;
    }

    ProtocolClient client_;
    std::string name_;
    int seat_;
    GameRecord& record_;
    SeatScript script_;
    std::thread thread_;

    // Game state, touched by the client's thread only.
    Hand hand_{};
    Trick trick_{};
    int inTrick_ = 0;
    int trump_ = 1;
    int deal_ = 0;
    int oks_ = 0;
    bool holding_ = false;

    std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    bool endedByServer_ = false;
    std::string error_;
};

struct TableSetup {
    std::array<Transport, 4> transports{Transport::Tcp, Transport::Tcp, Transport::Tcp, Transport::Tcp};
    std::array<SeatScript, 4> scripts{};
    std::array<std::string, 4> names{"P0", "P1", "P2", "P3"};
};

// Four seat clients seated in order at one table of the server (seat i is
// client i): each joins only when the one before it is seated.
class Table {
public:
    Table(LoopbackServer& server, TableSetup setup = {}) {
        int before = server.seatedTotal();
        for (std::size_t i = 0; i < 4; ++i) {
            Transport t = setup.transports[i];
            seats.push_back(std::make_unique<SeatClient>(t == Transport::WebSocket ? server.wsPort() : server.port(),
                                                         t, setup.names[i], static_cast<int>(i), record,
                                                         setup.scripts[i]));
            if (!seats.back()->connected()) {
                error = "seat " + std::to_string(i) + ": " + seats.back()->client().error();
                return;
            }
            seats.back()->join();
            if (!server.waitSeated(before + static_cast<int>(i) + 1)) {
                error = "seat " + std::to_string(i) + " was not seated";
                return;
            }
        }
        ok = true;
    }

    bool waitDone(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (auto& s : seats) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (!s->waitDone(left.count() > 0 ? left : 1ms)) return false;
        }
        return true;
    }

    // Blocks of one seat, in arrival order.
    std::vector<std::string> blocksOf(int seat) {
        std::vector<std::string> out;
        for (auto& e : record.events()) {
            if (e.seat == seat) out.push_back(e.block);
        }
        return out;
    }

    GameRecord record;
    std::vector<std::unique_ptr<SeatClient>> seats;
    bool ok = false;
    std::string error;
};

// A readable form of a block for failure messages.
inline std::string show(std::string_view block) {
    // Short blocks carry raw bytes behind their text: show their first eight.
    std::string_view part = block.size() == shortBlockSize ? block.substr(0, 8) : blockText(block);
    std::string out;
    for (unsigned char c : part) {
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += "0123456789abcdef"[c >> 4];
            out += "0123456789abcdef"[c & 15];
        }
    }
    return out;
}

inline std::string showRecord(const std::vector<Received>& events) {
    std::string out;
    for (const auto& e : events) out += "  seat " + std::to_string(e.seat) + ": " + show(e.block) + "\n";
    return out;
}

// Checks every finished deal in a table's record against the rules: all
// seats see the same cards relayed with their own relative seats, the
// prompts go clockwise from the leader and then to each trick's winner, and
// the point blocks carry the card points and running scores the rules give.
// Every deal must have the given contract and maker.
struct MatchCheck {
    int deals = 0;
    int scoreA = 0;
    int scoreB = 0;
    std::string problems;
};

inline MatchCheck checkDeals(Table& table, int contract, int maker) {
    MatchCheck check;
    auto fail = [&](const std::string& what) { check.problems += what + "\n"; };
    struct Play {
        int seat;
        int card;
    };
    // Per seat, per deal: the relayed plays and the point block.
    std::array<std::vector<std::vector<Play>>, 4> plays;
    std::array<std::vector<std::string>, 4> points;
    for (int r = 0; r < 4; ++r) {
        std::vector<Play> current;
        for (const auto& b : table.blocksOf(r)) {
            if (b.size() != shortBlockSize) continue;
            if (blockText(b).starts_with("point")) {
                plays[static_cast<std::size_t>(r)].push_back(current);
                points[static_cast<std::size_t>(r)].push_back(b);
                current.clear();
            } else if (b[1] == ' ') {
                int rel = b[0] - '0';
                if (rel < 0 || rel > 3 || b != padBlock(std::string{b[0], ' ', b[2]}, shortBlockSize)) {
                    fail("seat " + std::to_string(r) + ": bad card relay " + show(b));
                }
                current.push_back({(r + rel) % 4, static_cast<unsigned char>(b[2])});
            }
        }
    }
    std::size_t deals = points[0].size();
    for (int r = 1; r < 4; ++r) {
        if (points[static_cast<std::size_t>(r)].size() != deals) fail("seats disagree on the number of deals");
    }
    std::vector<int> prompted;
    for (const auto& e : table.record.events()) {
        if (e.text() == "okc") prompted.push_back(e.seat);
    }
    int scoreA = 0;
    int scoreB = 0;
    for (std::size_t d = 0; d < deals && check.problems.empty(); ++d) {
        const auto& ref = plays[0][d];
        std::string deal = "deal " + std::to_string(d) + ": ";
        if (ref.size() != 36) fail(deal + std::to_string(ref.size()) + " cards relayed");
        for (int r = 1; r < 4 && check.problems.empty(); ++r) {
            const auto& other = plays[static_cast<std::size_t>(r)][d];
            for (std::size_t i = 0; i < ref.size() && i < other.size(); ++i) {
                if (other[i].seat != ref[i].seat || other[i].card != ref[i].card) {
                    fail(deal + "seat " + std::to_string(r) + " saw card " + std::to_string(i) + " differently");
                    break;
                }
            }
        }
        if (!check.problems.empty()) break;
        int leader = (maker + 1) % 4;
        int pointsA = 0;
        for (int t = 0; t < 9; ++t) {
            Trick cards{};
            for (int j = 0; j < 4; ++j) {
                std::size_t i = static_cast<std::size_t>(4 * t + j);
                int want = (leader + j) % 4;
                std::size_t g = 36 * d + i;
                if (ref[i].seat != want || g >= prompted.size() || prompted[g] != want) {
                    fail(deal + "trick " + std::to_string(t) + " card " + std::to_string(j) + " not from seat " +
                         std::to_string(want));
                }
                cards[static_cast<std::size_t>(j)] = static_cast<CardCode>(ref[i].card);
            }
            int winner = (leader + findTrickWinner(cards, contract)) % 4;
            if (winner % 2 == 0) {
                for (CardCode c : cards) pointsA += cardPoints(c);
            }
            leader = winner;
        }
        DealScore score = dealScore(pointsA, contract, maker);
        if (score.team == 0) scoreA = std::min(scoreA + score.gamePoints, 12);
        else scoreB = std::min(scoreB + score.gamePoints, 12);
        for (int r = 0; r < 4; ++r) {
            std::string want = r % 2 == 0 ? pointBlock(pointsA, scoreA, scoreB) : pointBlock(120 - pointsA, scoreB, scoreA);
            const std::string& got = points[static_cast<std::size_t>(r)][d];
            if (got != want) fail(deal + "seat " + std::to_string(r) + " got " + show(got) + ", not " + show(want));
        }
        check.deals = static_cast<int>(d) + 1;
    }
    check.scoreA = scoreA;
    check.scoreB = scoreB;
    return check;
}

}  // namespace dorvi::testing
