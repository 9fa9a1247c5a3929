#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/server_options.h"
#include "support/process.h"

using dorvi::server::parseServerOptions;
using dorvi::server::ServerOptions;

namespace {

ServerOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "dorvi-server");
    return parseServerOptions(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(ServerOptions, DefaultsAndValues) {
    ServerOptions none = parse({});
    EXPECT_FALSE(none.showUsage);
    EXPECT_EQ(none.config.port, 113);
    EXPECT_EQ(none.config.wsPort, 8113);
    EXPECT_FALSE(none.config.autoStart);
    EXPECT_EQ(none.config.timeScale, 1.0);
    EXPECT_FALSE(none.config.seedSet);

    ServerOptions all = parse({"--start", "--port", "2000", "--ws-port", "2001", "--time-scale", "0.01",
                               "--seed", "42", "--port", "2002"});
    EXPECT_FALSE(all.showUsage);
    EXPECT_TRUE(all.config.autoStart);
    EXPECT_EQ(all.config.port, 2002) << "a later option overrides an earlier one";
    EXPECT_EQ(all.config.wsPort, 2001);
    EXPECT_DOUBLE_EQ(all.config.timeScale, 0.01);
    EXPECT_EQ(all.config.seed, 42u);
    EXPECT_TRUE(all.config.seedSet);
}

TEST(ServerOptions, NumberConversions) {
    EXPECT_EQ(parse({"--port", "65537"}).config.port, 1) << "ports keep their low 16 bits";
    EXPECT_EQ(parse({"--port", "-1"}).config.port, 65535);
    EXPECT_EQ(parse({"--port", "abc"}).config.port, 0);
    EXPECT_EQ(parse({"--ws-port", "0"}).config.wsPort, -1);
    EXPECT_EQ(parse({"--ws-port", "-5"}).config.wsPort, -1);
    EXPECT_EQ(parse({"--ws-port", "nope"}).config.wsPort, -1);
    EXPECT_EQ(parse({"--ws-port", "70000"}).config.wsPort, 70000) << "kept as given; cut when listening";
    EXPECT_EQ(parse({"--time-scale", "x"}).config.timeScale, 0.0);
    ServerOptions seed = parse({"--seed", "many"});
    EXPECT_EQ(seed.config.seed, 0u);
    EXPECT_TRUE(seed.config.seedSet) << "a seed that is no number still counts as given";
    // Numbers read as by a 32-bit long: too large saturates, a minus sign wraps.
    EXPECT_EQ(parse({"--seed", "4294967296"}).config.seed, 4294967295u) << "not cut to the low bits";
    EXPECT_EQ(parse({"--seed", "-1"}).config.seed, 4294967295u);
    EXPECT_EQ(parse({"--seed", "-4294967295"}).config.seed, 1u);
    EXPECT_EQ(parse({"--port", "4294967297"}).config.port, 65535) << "atoi saturates at INT_MAX";

    ServerOptions portThenStart = parse({"--port", "--start"});
    EXPECT_FALSE(portThenStart.showUsage);
    EXPECT_EQ(portThenStart.config.port, 0) << "the value of --port is taken whatever it is";
    EXPECT_FALSE(portThenStart.config.autoStart);
}

TEST(ServerOptions, UsageCases) {
    ServerOptions help = parse({"--start", "--help"});
    EXPECT_TRUE(help.showUsage);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(parse({"-h"}).showUsage);

    ServerOptions unknown = parse({"--verbose", "--help"});
    EXPECT_TRUE(unknown.showUsage);
    EXPECT_EQ(unknown.exitStatus, 2) << "arguments after the first usage case are not read";

    for (const char* option : {"--port", "--ws-port", "--time-scale", "--seed"}) {
        ServerOptions last = parse({"--start", option});
        EXPECT_TRUE(last.showUsage) << option;
        EXPECT_EQ(last.exitStatus, 2) << option;
    }
    EXPECT_TRUE(parse({"--Start"}).showUsage) << "options are compared exactly";
}

TEST(ServerProgram, UsageTextAndExitStatuses) {
    const std::vector<std::string> usage = {
        "usage: dorvi-server [--start] [--port N]",
        "  --start            start accepting connections right away",
        "  --port N           listen on N instead of 113",
        "  --ws-port N        accept the browser version on N (default 8113, 0 = off)",
        "  --time-scale X     multiply all delays by X (testing)",
        "  --seed N           fixed shuffles (testing)",
        "console commands: start, stop, reset, quit",
    };
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c : {Case{{"--help"}, 0}, Case{{"-h"}, 0}, Case{{"start"}, 2}, Case{{"--seed"}, 2}}) {
        dorvi::testing::Process program(DORVI_SERVER_BIN, c.args);
        ASSERT_TRUE(program.started());
        auto status = program.waitExit(std::chrono::seconds(10));
        ASSERT_TRUE(status.has_value()) << c.args[0] << " did not end";
        EXPECT_EQ(*status, c.status) << c.args[0];
        std::vector<std::string> lines = program.lines();
        ASSERT_EQ(lines.size(), 8u) << program.transcript();
        EXPECT_EQ(lines[0], usage[0]);
        EXPECT_EQ(lines[1], usage[1]);
        EXPECT_EQ(lines[2].substr(0, 22), std::string(21, ' ') + "(") << lines[2];
        EXPECT_EQ(lines[2].back(), ')') << lines[2];
        EXPECT_NE(lines[2].find("\"start\""), std::string::npos) << lines[2];
        for (std::size_t i = 3; i < 8; ++i) EXPECT_EQ(lines[i], usage[i - 1]);
    }
}
