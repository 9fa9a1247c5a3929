#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <istream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "net/sockets.h"
#include "server_harness.h"
#include "support/process.h"
#include "support/protocol_client.h"

using dorvi::testing::Process;
using dorvi::testing::ProtocolClient;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> serverArgs(uint16_t port, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--port", std::to_string(port), "--time-scale", "0"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

bool startsWith(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

}  // namespace

TEST(RunningServer, ConsoleCommandsAndTheirLogLines) {
    uint16_t port = dorvi::testing::freePort();
    uint16_t wsPort = dorvi::testing::freePort();
    Process server(DORVI_SERVER_BIN, serverArgs(port, {"--ws-port", std::to_string(wsPort)}));
    ASSERT_TRUE(server.started());

    server.write("start start\n");
    auto up = server.waitForLine("Server is accepting connections", 10s);
    ASSERT_TRUE(up) << server.transcript();
    auto browsers = server.waitForLine("Accepting browsers on port " + std::to_string(wsPort), 10s, *up);
    ASSERT_TRUE(browsers) << server.transcript();
    auto again = server.waitForLine("Could not start servet. ERROR 210048", 10s, *browsers);
    ASSERT_TRUE(again) << server.transcript();

    ProtocolClient tcp(port, ProtocolClient::Transport::Tcp);
    ASSERT_TRUE(tcp.connected()) << tcp.error();
    tcp.send("first");
    ASSERT_TRUE(server.waitForLine("first connected", 10s));

    server.write("print printhello reset\n");
    auto empty = server.waitForLine("", 10s, *again + 1);
    ASSERT_TRUE(empty) << server.transcript();
    ASSERT_TRUE(server.waitForLine("hello", 10s, *empty)) << server.transcript();
    auto closed = server.waitForLine("Server closed", 10s, *empty);
    ASSERT_TRUE(closed) << server.transcript();
    EXPECT_TRUE(tcp.waitEnd(10s)) << "stop drops every player";
    auto reopened = server.waitForLine("Server is accepting connections", 10s, *closed);
    ASSERT_TRUE(reopened) << server.transcript();

    ProtocolClient after(port, ProtocolClient::Transport::Tcp);
    ASSERT_TRUE(after.connected()) << "listening again after reset: " << after.error();
    after.send("second");
    ASSERT_TRUE(server.waitForLine("second connected", 10s)) << server.transcript();

    server.write("stop stop\n");
    auto firstStop = server.waitForLine("Server closed", 10s, *reopened);
    ASSERT_TRUE(firstStop) << server.transcript();
    EXPECT_TRUE(server.waitForLine("Server closed", 10s, *firstStop + 1)) << "a second stop logs again";
    server.write("quit\n");
    auto status = server.waitExit(10s);
    ASSERT_TRUE(status) << "quit did not end the server\n" << server.transcript();
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(server.waitForLine("first disconnected", 1ms)) << "unseated players leave no line";
}

// At time scale 1 a turn lasts 100 ms, long enough to see a print overtake a command.
TEST(RunningServer, PrintComesAfterTheCommandsTypedBeforeIt) {
    uint16_t port = dorvi::testing::freePort();
    Process server(DORVI_SERVER_BIN, {"--port", std::to_string(port), "--ws-port", "0", "--start"});
    ASSERT_TRUE(server.waitForLine("Server is accepting connections", 10s)) << server.transcript();
    server.write("start stop printA\n");
    ASSERT_TRUE(server.waitForLine("A", 10s)) << server.transcript();
    EXPECT_FALSE(ProtocolClient(port, ProtocolClient::Transport::Tcp).connected())
        << "the print came before the stop typed ahead of it\n" << server.transcript();
    // The start is never handled: the stop's line waits behind it when the quit ends the server.
    server.write("stop quit start\n");
    ASSERT_EQ(server.waitExit(10s), std::optional<int>(0)) << server.transcript();
    const std::vector<std::string> lines = server.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Server closed"), 2) << server.transcript();
}

// Console input that tells when the console has read it to its end.
class EndSignallingInput : public std::stringbuf {
public:
    explicit EndSignallingInput(std::string text) : std::stringbuf(std::move(text), std::ios::in) {}
    std::future<void> end() { return ended_.get_future(); }

protected:
    int_type underflow() override {
        int_type c = std::stringbuf::underflow();
        if (c == traits_type::eof() && !signalled_) {
            signalled_ = true;
            ended_.set_value();
        }
        return c;
    }

private:
    std::promise<void> ended_;
    bool signalled_ = false;
};

TEST(RunningServer, ConsoleReadsWithoutFlushingTheLog) {
    dorvi::testing::InProcessServer server;
    // The console thread is detached and may still hold its input after the
    // test, so the input is never freed; it stays reachable from here.
    static auto& kept = *new std::vector<std::pair<EndSignallingInput*, std::istream*>>;
    auto* input = new EndSignallingInput("printA printB ");
    auto* console = new std::istream(input);
    kept.emplace_back(input, console);
    console->tie(server.raw().logStream);  // as std::cin is tied to std::cout
    std::future<void> ended = input->end();
    server.raw().startConsole(*console);
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(server.log().waitFor("B", 10s)) << server.log().dump();

    const std::vector<std::thread::id> flushers = server.log().flushers();
    EXPECT_FALSE(flushers.empty()) << "the main loop flushes each line it writes";
    EXPECT_EQ(std::count(flushers.begin(), flushers.end(), server.loopThread()),
              static_cast<std::ptrdiff_t>(flushers.size()))
        << "a thread other than the main loop flushed the log";
}

TEST(RunningServer, PortsHeldByOthers) {
    int code = 0;
    dorvi::net::SOCKET held = dorvi::net::listenSocket(0, 1, code);
    ASSERT_NE(held, dorvi::net::INVALID_SOCKET);
    std::string heldPort = std::to_string(dorvi::net::localPort(held));

    {
        Process server(DORVI_SERVER_BIN, serverArgs(dorvi::net::localPort(held), {"--start", "--ws-port", "0"}));
        ASSERT_TRUE(server.waitForLine("Could not start servet. ERROR 210048", 10s)) << server.transcript();
        server.write("quit\n");
        EXPECT_EQ(server.waitExit(10s), 0);
        EXPECT_FALSE(server.waitForLine("Server is accepting connections", 1ms));
    }
    {
        uint16_t port = dorvi::testing::freePort();
        Process server(DORVI_SERVER_BIN, serverArgs(port, {"--start", "--ws-port", heldPort}));
        auto up = server.waitForLine("Server is accepting connections", 10s);
        ASSERT_TRUE(up) << server.transcript();
        ASSERT_TRUE(server.waitForLine("Could not accept browsers on port " + heldPort + ". ERROR 210048", 10s, *up))
            << server.transcript();
        ProtocolClient tcp(port, ProtocolClient::Transport::Tcp);
        EXPECT_TRUE(tcp.connected()) << "the TCP listener stays open: " << tcp.error();
        server.write("quit\n");
        EXPECT_EQ(server.waitExit(10s), 0);
    }
    dorvi::net::closeSocket(held);
}

TEST(RunningServer, StartWithoutWebSocketAndEndOfConsole) {
    uint16_t port = dorvi::testing::freePort();
    Process server(DORVI_SERVER_BIN, serverArgs(port, {"--ws-port", "-3"}));
    server.write("start\n");
    server.closeInput();
    auto up = server.waitForLine("Server is accepting connections", 10s);
    ASSERT_TRUE(up) << server.transcript();
    // With the console gone the server still serves players.
    ProtocolClient tcp(port, ProtocolClient::Transport::Tcp);
    ASSERT_TRUE(tcp.connected()) << tcp.error();
    tcp.send("late");
    ASSERT_TRUE(server.waitForLine("late connected", 10s)) << server.transcript();
    for (const std::string& line : server.lines()) {
        EXPECT_FALSE(startsWith(line, "Accepting browsers")) << "no WebSocket listener was asked for";
    }
}
