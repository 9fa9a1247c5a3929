#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bot/bot_program.h"
#include "net/platform.h"
#include "net/sockets.h"
#include "rules/blocks.h"
#include "support/line_record.h"
#include "support/process.h"
#include "support/server_blocks.h"

namespace dorvi::client {
namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
    std::chrono::steady_clock::duration took{};
};

ProgramRun runProgram(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    ProgramRun run;
    const auto start = std::chrono::steady_clock::now();
    run.status = runBotProgram(args, out, err);
    run.took = std::chrono::steady_clock::now() - start;
    run.out = out.str();
    run.err = err.str();
    return run;
}

// Accepts a bot's connection and reads its greeting and "join" blocks: the
// socket, or INVALID_SOCKET when the bot did not come (the listener's receive
// time-out) or did not join within 10 s.
net::SOCKET acceptJoinedBot(net::SOCKET listener) {
    const net::SOCKET peer = net::acceptSocket(listener);
    if (peer == net::INVALID_SOCKET) return peer;
    std::string greetingAndJoin(2 * blockSize, '\0');
    if (!net::setReceiveTimeout(peer, 10000) ||
        net::recvExact(peer, greetingAndJoin.data(), greetingAndJoin.size()) != 1) {
        net::closeSocket(peer);
        return net::INVALID_SOCKET;
    }
    return peer;
}

const std::string usage =
    "usage: dorvi-bot [--host H] [--port N] [--count N] [--name NAME] [--once] [--quiet]\n"
    "  --host H        server address (default 127.0.0.1)\n"
    "  --port N        server port (default 113)\n"
    "  --count N       number of bots (default 1), named NAME1..NAMEn\n"
    "  --name NAME     bot name (default \"bot\")\n"
    "  --once          play one match and exit (default: rejoin after each match)\n"
    "  --websocket     connect like the browser version (use the server's --ws-port)\n"
    "  --time-scale X  multiply the client-side delays by X\n"
    "  --quiet         don't print the bots' logs\n";

TEST(BotProgram, UsageAndExitStatuses) {
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> cases{
        {{"--help"}, 0},
        {{"-h"}, 0},
        {{"--port", "113", "--once", "--help"}, 0},
        {{"bogus"}, 2},
        {{"--port=113"}, 2},
        {{"--Once"}, 2},
        {{"bogus", "--help"}, 2},  // parsing stops at the first stranger
        {{"--port"}, 2},
        {{"--host"}, 2},
        {{"--name"}, 2},
        {{"--count"}, 2},
        {{"--once", "--time-scale"}, 2},
    };
    for (const Case& c : cases) {
        const ProgramRun run = runProgram(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.front();
        EXPECT_EQ(run.out, usage) << c.args.front();
        EXPECT_EQ(run.err, "") << c.args.front();
    }

    // A count below 1 starts nothing and says nothing.
    for (const char* count : {"0", "-5"}) {
        const ProgramRun run = runProgram({"--count", count, "--port", "1"});
        EXPECT_EQ(run.status, 0) << count;
        EXPECT_EQ(run.out + run.err, "") << count;
    }
}

TEST(BotProgram, BadNumbersEndBeforeAnyBotStarts) {
    struct Case {
        std::vector<std::string> args;
        std::string option;
        std::string value;
    };
    const std::vector<Case> cases{
        {{"--port", "abc", "--once"}, "--port", "abc"},
        {{"--count", "99999999999"}, "--count", "99999999999"},
        {{"--count", ""}, "--count", ""},
        {{"--time-scale", "fast"}, "--time-scale", "fast"},
        {{"--time-scale", "1e999"}, "--time-scale", "1e999"},
        {{"--time-scale", "nan"}, "--time-scale", "nan"},
        {{"--port", "113", "--port", "x1"}, "--port", "x1"},
    };
    for (const Case& c : cases) {
        const ProgramRun run = runProgram(c.args);
        EXPECT_EQ(run.status, 2) << c.value;
        EXPECT_EQ(run.out, "") << "no bot may have printed anything for " << c.value;
        // One line that names the option and the value.
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(c.option), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("\"" + c.value + "\""), std::string::npos) << run.err;
    }
}

TEST(BotProgram, OptionValues) {
    const BotCommandLine defaults = parseBotCommandLine({});
    EXPECT_EQ(defaults.exitStatus, -1);
    EXPECT_EQ(defaults.options.host, "127.0.0.1");
    EXPECT_EQ(defaults.options.port, 113);
    EXPECT_EQ(defaults.options.name, "bot");
    EXPECT_EQ(defaults.options.count, 1);
    EXPECT_EQ(defaults.options.timeScale, 1.0);
    EXPECT_FALSE(defaults.options.once || defaults.options.quiet || defaults.options.webSocket);

    const BotCommandLine c = parseBotCommandLine({"--name", "--once", "--port", "65649", "--count", " 3x",
                                                  "--time-scale", "0.5s", "--websocket", "--quiet",
                                                  "--host", "example", "--quiet"});
    EXPECT_EQ(c.exitStatus, -1) << c.error;
    EXPECT_EQ(c.options.name, "--once") << "a value option takes the next argument whatever it is";
    EXPECT_FALSE(c.options.once);
    EXPECT_EQ(c.options.port, 113) << "the port keeps its low 16 bits";
    EXPECT_EQ(c.options.count, 3);
    EXPECT_EQ(c.options.timeScale, 0.5);
    EXPECT_TRUE(c.options.webSocket && c.options.quiet);
    EXPECT_EQ(c.options.host, "example");

    EXPECT_EQ(parseBotCommandLine({"--port", "-1"}).options.port, 65535);
    EXPECT_EQ(parseBotCommandLine({"--port", "1", "--port", "2"}).options.port, 2);
}

// A loopback port that refuses connections: bound, never listening.
class RefusingPort {
public:
    RefusingPort() {
        net::netEnsureStarted();
        socket = net::wsa::socketTcp4();
        net::wsa::SocketAddressV4 address;
        address.family = net::wsa::addressFamilyInet;
        address.address = net::wsa::hostToNet32(0x7F000001u);
        if (socket != net::INVALID_SOCKET && net::wsa::bindListener(socket, address) == 0) port = net::localPort(socket);
    }
    ~RefusingPort() {
        if (socket != net::INVALID_SOCKET) net::closeSocket(socket);
    }
    net::SOCKET socket = net::INVALID_SOCKET;
    std::uint16_t port = 0;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(BotProgram, RefusedConnectionsNamingAndQuiet) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port, 0);
    const std::string port = std::to_string(refusing.port);
    // Three programs side by side, each paying its own fixed pause.
    auto one = std::async(std::launch::async, [&] {
        return runProgram({"--port", port, "--once", "--name", "a", "--time-scale", "0"});
    });
    auto two = std::async(std::launch::async, [&] {
        return runProgram({"--port", port, "--once", "--name", "a", "--count", "2", "--time-scale", "0"});
    });
    auto quiet = std::async(std::launch::async, [&] {
        return runProgram({"--port", port, "--once", "--quiet", "--count", "2"});
    });

    const ProgramRun single = one.get();
    EXPECT_EQ(single.status, 0);
    EXPECT_EQ(single.out, "a: Ühenduse loomine ebaõnnestus. Error 310061\n");
    EXPECT_GE(single.took, std::chrono::milliseconds(1900)) << "the pause after a failed connect is real time";
    EXPECT_LT(single.took, std::chrono::seconds(10));

    const ProgramRun pair = two.get();
    EXPECT_EQ(pair.status, 0);
    std::vector<std::string> lines = linesOf(pair.out);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"a1: Ühenduse loomine ebaõnnestus. Error 310061",
                                               "a2: Ühenduse loomine ebaõnnestus. Error 310061"}));

    const ProgramRun silent = quiet.get();
    EXPECT_EQ(silent.status, 0);
    EXPECT_EQ(silent.out + silent.err, "");
    EXPECT_GE(silent.took, std::chrono::milliseconds(1900));
}

TEST(BotProgram, ThreadThatCannotStartStopsFurtherStarts) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port, 0);
    BotOptions options;
    options.port = refusing.port;
    options.name = "t";
    options.count = 5;
    options.once = true;
    int starts = 0;
    const BotThreadStarter failSecond = [&starts](std::function<void()> body) {
        if (++starts == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    testing::LineLog outLines;
    std::ostream out(&outLines);
    std::ostringstream err;
    err.tie(&out);  // as std::cerr is tied to std::cout
    const int status = runBots(options, out, err, failSecond);
    EXPECT_EQ(starts, 2) << "no start after the failed one";
    EXPECT_NE(status, 0);
    EXPECT_EQ(outLines.lines(), std::vector<std::string>{"t1: Ühenduse loomine ebaõnnestus. Error 310061"})
        << "the started bot ran and was joined";
    const std::vector<std::thread::id> flushers = outLines.flushers();
    EXPECT_EQ(std::count(flushers.begin(), flushers.end(), std::this_thread::get_id()), 0)
        << "the error line flushed the bots' output without their mutex";
    const std::string errors = err.str();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find("t2"), std::string::npos) << errors;
}

TEST(BotProgram, PlaySessionWithoutServerReturnsTheInitialRecord) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port, 0);
    std::vector<std::string> logged;
    Bot bot("x", 1, 0.0, [&logged](const std::string& line) { logged.push_back(line); });
    int error = 0;
    const MatchRecord record = playSession(bot, "127.0.0.1", refusing.port, error, true);
    EXPECT_EQ(error, 310061);
    EXPECT_EQ(record.rounds, 0);
    EXPECT_EQ(record.lastCardPoints, -1);
    EXPECT_TRUE(record.failures.empty() && record.tricks.empty());
    EXPECT_TRUE(logged.empty()) << "a failed connect logs nothing";
    EXPECT_EQ(bot.stream, nullptr);
}

}  // namespace
}  // namespace dorvi::client

namespace dorvi::client {
namespace {

// A server that takes one connection, reads the greeting and "join" blocks and hangs up.
TEST(BotProgram, GreetingBlockAndAConnectionClosedBeforeAnyDeal) {
    net::netEnsureStarted();
    int error = 0;
    const net::SOCKET listener = net::listenSocket(0, 4, error);
    ASSERT_NE(listener, net::INVALID_SOCKET) << error;
    const std::uint16_t port = net::localPort(listener);
    std::string received(256, '\0');
    int readResult = -2;
    std::thread server([&] {
        const net::SOCKET peer = net::acceptSocket(listener);
        if (peer == net::INVALID_SOCKET) return;
        readResult = net::recvExact(peer, received.data(), received.size());
        net::shutdownSocket(peer);
        net::closeSocket(peer);
    });

    // Ä is in Windows-1257 (0xC4), the CJK letter is not; 130 more letters overflow the block.
    const std::string name = "\xC3\x84j\xE4\xB8\x80" + std::string(130, 'n');
    const ProgramRun run = runProgram({"--port", std::to_string(port), "--once", "--name", name, "--time-scale", "0"});
    // Closing the listener also frees the server thread if the bot never came.
    net::shutdownSocket(listener);
    net::closeSocket(listener);
    server.join();

    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(readResult, 1) << "the bot sent less than two blocks";
    const std::string expectedGreeting = ("\xC4j?" + std::string(130, 'n')).substr(0, 128);
    EXPECT_EQ(received.substr(0, 128), expectedGreeting) << "greeting cut to 128 bytes, unknown letters as ?";
    EXPECT_EQ(received.substr(128), std::string("join") + std::string(124, '\0'));

    const std::vector<std::string> lines = linesOf(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), name + ": Ootan teisi mängijaid...");
    EXPECT_EQ(lines.back(), name + ": audited 0/0 rounds, 0 failures") << run.out;
    EXPECT_LT(run.took, std::chrono::milliseconds(1500)) << "no pause after a connection that was made";
}

// A full server closes a newcomer without a byte: a looping bot reports the
// empty connection, then pauses in real time before it comes again. Its
// output pipe, left non-blocking by its parent, is full during the first
// connection's end: those lines are lost, the second's come out.
TEST(BotProgram, LoopingBotPausesAfterAnEmptyConnectionAndPrintsAgainAfterAFullPipe) {
    using namespace std::chrono_literals;
    net::netEnsureStarted();
    int error = 0;
    const net::SOCKET listener = net::listenSocket(0, 16, error);
    ASSERT_NE(listener, net::INVALID_SOCKET) << error;
    // A bot that does not come ends the accept, not the test.
    net::setReceiveTimeout(listener, 10000);
    dorvi::testing::Process bot(
        DORVI_BOT_BIN, {"--port", std::to_string(net::localPort(listener)), "--name", "full", "--time-scale", "0"},
        dorvi::testing::OutputPipe::nonBlocking);
    // Accepts a connection, waits for its join (its first line comes before
    // that), does `beforeClose` and closes it.
    std::vector<std::chrono::steady_clock::time_point> accepted;
    auto acceptJoined = [&](const std::function<bool()>& beforeClose) {
        const net::SOCKET peer = acceptJoinedBot(listener);
        accepted.push_back(std::chrono::steady_clock::now());
        if (peer == net::INVALID_SOCKET) return false;
        const bool done = beforeClose();
        net::closeSocket(peer);
        return done;
    };
    const bool first = acceptJoined([&] { return bot.fillOutput(); });
    const bool second = first && acceptJoined([&] { return bot.resumeReading(); });
    net::closeSocket(listener);
    const std::string summary = "full: audited 0/0 rounds, 0 failures";
    const bool reported = second && bot.waitForLine(summary, 10s).has_value();
    bot.kill();

    ASSERT_TRUE(second) << "the bot comes again within 10 s\n" << bot.transcript();
    EXPECT_TRUE(reported) << bot.transcript();
    const std::vector<std::string> lines = bot.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), summary), 1)
        << "the lines written into the full pipe are lost\n" << bot.transcript();
    EXPECT_GE(accepted[1] - accepted[0], 1900ms) << "the pause after an empty connection is real time";
}

// A server that lies without end, tens of MB of it: one card relay over and
// over (a trick that never completes), or deals that hold no trick. A deal
// with 61 card points ends each stream, so that its line shows that the bot
// has read everything. Memory must stay near where it was at the join; the
// bot must end on the close and count every deal and failure, printing the
// first 1,000 failure lines.
TEST(BotProgram, LyingServerCostsTheBotABoundedAmountOfMemory) {
    using namespace std::chrono_literals;
    const std::string deal = padBlock("141312219182736451", blockSize) + padBlock("next 1", blockSize);
    struct Case {
        const char* name;
        std::string head;
        std::string unit;
        std::size_t units;
        std::string tail;
    };
    const Case cases[] = {
        {"trick", deal, dorvi::testing::relayBlock('1', 91), (96u << 20) / shortBlockSize,
         dorvi::testing::pointBlock(61, 0, 0)},
        {"deals", "", deal + dorvi::testing::pointBlock(60, 0, 0), (24u << 20) / (2 * blockSize + shortBlockSize),
         deal + dorvi::testing::pointBlock(61, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net::netEnsureStarted();
        int error = 0;
        const net::SOCKET listener = net::listenSocket(0, 4, error);
        ASSERT_NE(listener, net::INVALID_SOCKET) << error;
        net::setReceiveTimeout(listener, 10000);
        dorvi::testing::Process bot(DORVI_BOT_BIN, {"--port", std::to_string(net::localPort(listener)), "--once",
                                                    "--name", "liar", "--time-scale", "0"});
        const net::SOCKET peer = acceptJoinedBot(listener);
        net::closeSocket(listener);
        ASSERT_NE(peer, net::INVALID_SOCKET) << bot.transcript();
        // A bot that stops reading fails the sends instead of holding the test.
        net::setSendTimeout(peer, 60000);
        const long start = bot.peakResidentKilobytes();

        std::string batch;
        while (batch.size() < (1u << 20)) batch += c.unit;
        const std::size_t perBatch = batch.size() / c.unit.size();
        bool sent = net::sendAll(peer, c.head.data(), c.head.size());
        for (std::size_t done = 0; sent && done < c.units; done += perBatch) {
            const std::size_t now = std::min(perBatch, c.units - done) * c.unit.size();
            sent = net::sendAll(peer, batch.data(), now);
        }
        sent = sent && net::sendAll(peer, c.tail.data(), c.tail.size());
        const bool readAll = sent && bot.waitForLine("liar: [Tulemused] Teie võitsite selle mängu tulemusega 61/59", 120s);
        const long peak = bot.peakResidentKilobytes();
        net::shutdownSocket(peer);
        net::closeSocket(peer);
        const std::optional<int> status = bot.waitExit(60s);

        ASSERT_TRUE(readAll) << "the bot read the whole stream";
        EXPECT_EQ(status, std::optional<int>(0));
        ASSERT_GT(start, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The sanitizers keep freed memory and shadows of their own.
        EXPECT_LE(peak - start, 4096) << "KiB grown from " << start << " KiB at the join";
#else
        (void)peak;
#endif
        const std::size_t deals = c.head.empty() ? c.units + 1 : 1;
        const std::vector<std::string> lines = bot.lines();
        std::vector<std::string> failures;
        for (const std::string& line : lines) {
            if (line.starts_with("AUDIT FAILED ")) failures.push_back(line);
        }
        ASSERT_EQ(failures.size(), std::min<std::size_t>(deals, 1000));
        EXPECT_EQ(failures.front(), "AUDIT FAILED liar round 1: saw 0 tricks");
        EXPECT_EQ(failures.back(), "AUDIT FAILED liar round " + std::to_string(failures.size()) + ": saw 0 tricks");
        EXPECT_EQ(lines.back(), "liar: audited 0/" + std::to_string(deals) + " rounds, " + std::to_string(deals) +
                                    " failures");
    }
}

}  // namespace
}  // namespace dorvi::client
