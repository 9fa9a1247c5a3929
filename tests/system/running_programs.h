#pragma once

// The real server and bot programs for the load and fault tests: a server at
// time scale 0 on free ports, bot processes and their summary lines, raw
// loopback connections for misbehaving clients, and the checks that follow
// every fault (a fresh table plays, no slot is lost).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/sockets.h"
#include "rules/blocks.h"
#include "support/free_port.h"
#include "support/process.h"
#include "support/raw_client.h"

namespace dorvi::testing {

using namespace std::chrono_literals;

inline std::size_t countLines(const Process& p, const std::string& exact) {
    std::size_t n = 0;
    for (const std::string& line : p.lines()) n += line == exact ? 1 : 0;
    return n;
}

inline std::size_t countLinesEndingWith(const Process& p, std::string_view tail) {
    std::size_t n = 0;
    for (const std::string& line : p.lines()) n += line.ends_with(tail) ? 1 : 0;
    return n;
}

// A dorvi-server on two free ports at time scale 0, accepting at once. It is
// told to quit at the end and killed if it does not. A descriptor limit, when
// given, is set by a shell that then becomes the server. A free port can be
// taken by another suite's connection before the server binds it; then the
// server is started again on two other ports.
class ServerRun {
public:
    explicit ServerRun(const std::vector<std::string>& more = {}, int descriptorLimit = 0,
                       OutputPipe outputPipe = OutputPipe::blocking) {
        for (int attempt = 0; attempt < 5 && !ready; ++attempt) {
            if (process) {
                process->kill();
                process.reset();
            }
            port = freePort();
            wsPort = freePort();
            if (port == 0 || wsPort == 0 || port == wsPort) continue;
            std::vector<std::string> args{"--start", "--port", std::to_string(port), "--ws-port",
                                          std::to_string(wsPort), "--time-scale", "0"};
            args.insert(args.end(), more.begin(), more.end());
            if (descriptorLimit > 0) {
                args.insert(args.begin(),
                            {"-c", "ulimit -n " + std::to_string(descriptorLimit) + " && exec \"$0\" \"$@\"",
                             DORVI_SERVER_BIN});
                process = std::make_unique<Process>("/bin/sh", args, outputPipe);
            } else {
                process = std::make_unique<Process>(DORVI_SERVER_BIN, args, outputPipe);
            }
            const std::string browsers = "Accepting browsers on port " + std::to_string(wsPort);
            auto settled = process->waitForLine(
                [&](const std::string& line) { return line == browsers || line.starts_with("Could not"); }, 20s);
            ready = process->started() && settled && process->lines()[*settled] == browsers &&
                    process->waitForLine("Server is accepting connections", 1s);
        }
    }

    ~ServerRun() {
        if (!process || !process->started()) return;
        process->write("quit\n");
        EXPECT_EQ(process->waitExit(20s), std::optional<int>(0)) << "the server did not end after quit\n"
                                                                   << process->transcript();
    }

    Process& log() { return *process; }
    std::string transcript() const { return process ? process->transcript() : std::string(); }

    // Waits until lines that satisfy `match` have been logged `count` times in all.
    bool waitForCount(const std::function<bool(const std::string&)>& match, std::size_t count,
                      std::chrono::milliseconds timeout) {
        std::size_t from = 0;
        for (std::size_t found = 0; found < count; ++found) {
            auto at = process->waitForLine(match, timeout, from);
            if (!at) return false;
            from = *at + 1;
        }
        return true;
    }

    bool waitForCount(const std::string& exact, std::size_t count, std::chrono::milliseconds timeout) {
        return waitForCount([&](const std::string& line) { return line == exact; }, count, timeout);
    }

    std::unique_ptr<Process> process;
    std::uint16_t port = 0;
    std::uint16_t wsPort = 0;
    bool ready = false;
};

// "--count" bots named name1..nameN at time scale 0.
inline std::unique_ptr<Process> startBots(const std::string& name, int count, std::uint16_t port, bool webSocket,
                                          bool once) {
    std::vector<std::string> args{"--port", std::to_string(port), "--count", std::to_string(count), "--name", name,
                                  "--time-scale", "0"};
    if (once) args.push_back("--once");
    if (webSocket) args.push_back("--websocket");
    return std::make_unique<Process>(DORVI_BOT_BIN, args);
}

struct BotSummary {
    std::string name;
    int audited = 0;
    int rounds = 0;
    int failures = 0;
};

// Every summary line ("NAME: audited A/R rounds, F failures"), in order.
inline std::vector<BotSummary> botSummaries(const Process& bots) {
    std::vector<BotSummary> result;
    for (const std::string& line : bots.lines()) {
        char name[130] = {};
        BotSummary s;
        char tail[8] = {};
        if (std::sscanf(line.c_str(), "%129[^:]: audited %d/%d rounds, %d failures%7s", name, &s.audited, &s.rounds,
                        &s.failures, tail) == 4) {
            s.name = name;
            result.push_back(s);
        }
    }
    return result;
}

// No deal failed its audit, in any summary so far.
inline void expectCleanAudits(const Process& bots) {
    for (const std::string& line : bots.lines()) {
        EXPECT_EQ(line.rfind("AUDIT FAILED", 0), std::string::npos) << line;
    }
    for (const BotSummary& s : botSummaries(bots)) {
        EXPECT_EQ(s.audited, s.rounds) << s.name;
        EXPECT_EQ(s.failures, 0) << s.name;
    }
}

// Every one of `names` reported exactly one clean match of at least one deal,
// which ended as a match ends, not as a broken connection.
inline void expectCleanMatches(const Process& bots, const std::vector<std::string>& names) {
    expectCleanAudits(bots);
    const auto summaries = botSummaries(bots);
    const auto lines = bots.lines();
    for (const std::string& name : names) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), name + ": Mäng katkestatud"), 1) << name;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), name + ": Ühendus serveriga katkes"), 0) << name;
        int seen = 0;
        for (const BotSummary& s : summaries) {
            if (s.name != name) continue;
            ++seen;
            EXPECT_GE(s.rounds, 1) << name;
        }
        EXPECT_EQ(seen, 1) << "summaries from " << name << "\n" << bots.transcript();
    }
}

inline std::vector<std::string> botNames(const std::string& name, int count) {
    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i) names.push_back(name + std::to_string(i));
    return names;
}

// True once every one of `names` has been dealt a hand, so sits at a full
// table; waits up to `timeout` for each, as waitForCount does. A table
// aborted before that would take the later joins first and could leave the
// bots split over two tables that never fill.
inline bool waitUntilDealt(Process& bots, const std::vector<std::string>& names, std::chrono::milliseconds timeout) {
    for (const std::string& name : names) {
        if (!bots.waitForLine(name + ": Mäng algas", timeout)) return false;
    }
    return true;
}

// Four new bots play one whole match at a table of their own.
inline void expectFreshTablePlays(ServerRun& server, const std::string& name) {
    auto bots = startBots(name, 4, server.port, false, true);
    ASSERT_TRUE(bots->started());
    ASSERT_EQ(bots->waitExit(120s), std::optional<int>(0)) << "a fresh table did not finish its match\n"
                                                           << bots->transcript() << "--- server\n"
                                                           << server.transcript();
    expectCleanMatches(*bots, botNames(name, 4));
}

// All 52 slots take a new greeted connection and a 53rd is ended at once.
// A slot whose last owner's drop is still on its way is retried briefly.
inline void expectAllSlotsFree(ServerRun& server, const std::string& prefix) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 52; ++i) {
        const std::string name = prefix + std::to_string(i);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        bool greeted = false;
        std::size_t from = 0;
        while (!greeted && std::chrono::steady_clock::now() < deadline) {
            auto client = std::make_unique<RawClient>(server.port);
            ASSERT_TRUE(client->sendBlock(name)) << name;
            if (server.log().waitForLine(name + " connected", 2s, from)) {
                clients.push_back(std::move(client));
                greeted = true;
            } else {
                from = server.log().lines().size();
            }
        }
        ASSERT_TRUE(greeted) << "no slot for connection " << i + 1 << "\n" << server.transcript();
    }
    RawClient extra(server.port);
    EXPECT_TRUE(extra.waitEnd(10s)) << "a 53rd connection is ended at once";
    EXPECT_TRUE(extra.received.empty()) << "and gets nothing";
}

}  // namespace dorvi::testing
