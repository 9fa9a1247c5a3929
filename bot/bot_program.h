#pragma once

// The dorvi-bot program: its options, the bot threads and one connection
// attempt of a bot. Everything takes its output streams as arguments, so the
// program can run inside a test as well as from main.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bot/bot.h"
#include "bot/match_record.h"

namespace dorvi::client {

struct BotOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 113;
    std::string name = "bot";
    int count = 1;
    bool once = false;
    bool quiet = false;
    bool webSocket = false;
    double timeScale = 1.0;
};

// The nine usage lines, without the newline that follows the last.
extern const char* const botUsageText;

// What the command line asks for: run the bots with `options`, or end at once
// with `exitStatus` after printing the usage text or the error line.
struct BotCommandLine {
    BotOptions options;
    int exitStatus = -1;  // -1: run the bots
    bool printUsage = false;
    std::string error;  // one line for standard error, or empty
};

BotCommandLine parseBotCommandLine(const std::vector<std::string>& args);

// The shared log function of all bots: whole lines, one at a time, nothing when quiet.
class LinePrinter {
public:
    LinePrinter(std::ostream& out, bool quiet);
    void printLine(const std::string& line);

private:
    std::ostream& out;
    const bool quiet;
    std::mutex mutex;
};

// What one bot thread is fixed with when it starts.
struct BotThreadSettings {
    std::string name;
    std::uint32_t seed = 0;
    double timeScale = 1.0;
    std::string host;
    std::uint16_t port = 0;
    bool webSocket = false;
    bool once = false;
};

// One connection attempt: connect, greet, play until the connection ends.
// error receives the connect's staged code, 0 when it connected.
MatchRecord playSession(Bot& bot, const std::string& host, std::uint16_t port, int& error,
                        bool webSocket);

// The body of a bot thread: connection after connection, or one with "once".
void runBot(const BotThreadSettings& settings, LinePrinter& printer);

// Starts a thread for a bot; tests replace it to make starts fail.
using BotThreadStarter = std::function<std::thread(std::function<void()>)>;

// Starts the bots and joins them all.
int runBots(const BotOptions& options, std::ostream& out, std::ostream& err,
            const BotThreadStarter& startThread = {});

// The whole program on the arguments after the program name.
int runBotProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dorvi::client
