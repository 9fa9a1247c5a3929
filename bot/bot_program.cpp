#include "bot/bot_program.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "bot/receive_loop.h"
#include "net/streams.h"
#include "rules/wire_text.h"

namespace dorvi::client {

const char* const botUsageText =
    "usage: dorvi-bot [--host H] [--port N] [--count N] [--name NAME] [--once] [--quiet]\n"
    "  --host H        server address (default 127.0.0.1)\n"
    "  --port N        server port (default 113)\n"
    "  --count N       number of bots (default 1), named NAME1..NAMEn\n"
    "  --name NAME     bot name (default \"bot\")\n"
    "  --once          play one match and exit (default: rejoin after each match)\n"
    "  --websocket     connect like the browser version (use the server's --ws-port)\n"
    "  --time-scale X  multiply the client-side delays by X\n"
    "  --quiet         don't print the bots' logs";

namespace {

std::string badValue(const std::string& option, const std::string& value) {
    return "dorvi-bot: invalid " + option + " value \"" + value + "\" (no number, or out of range)";
}

// stoi's reading: leading blanks, a number, anything after it ignored.
bool readInt(const std::string& value, int& result) {
    try {
        result = std::stoi(value);
        return true;
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

bool readDouble(const std::string& value, double& result) {
    try {
        result = std::stod(value);
        // "nan" and "inf" read as numbers but can only break the delays.
        return std::isfinite(result);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

}  // namespace

BotCommandLine parseBotCommandLine(const std::vector<std::string>& args) {
    BotCommandLine result;
    BotOptions& options = result.options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--host" || arg == "--port" || arg == "--name" || arg == "--count" ||
            arg == "--time-scale") {
            if (i + 1 >= args.size()) {
                result.printUsage = true;
                result.exitStatus = 2;
                return result;
            }
            const std::string& value = args[++i];
            if (arg == "--host") {
                options.host = value;
            } else if (arg == "--name") {
                options.name = value;
            } else if (arg == "--time-scale") {
                if (!readDouble(value, options.timeScale)) {
                    result.error = badValue(arg, value);
                    result.exitStatus = 2;
                    return result;
                }
            } else {
                int number = 0;
                if (!readInt(value, number)) {
                    result.error = badValue(arg, value);
                    result.exitStatus = 2;
                    return result;
                }
                if (arg == "--port") {
                    options.port = static_cast<std::uint16_t>(static_cast<unsigned>(number));
                } else {
                    options.count = number;
                }
            }
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--websocket") {
            options.webSocket = true;
        } else {
            result.printUsage = true;
            result.exitStatus = (arg == "--help" || arg == "-h") ? 0 : 2;
            return result;
        }
    }
    return result;
}

LinePrinter::LinePrinter(std::ostream& out, bool quiet) : out(out), quiet(quiet) {}

void LinePrinter::printLine(const std::string& line) {
    if (quiet) return;
    std::lock_guard<std::mutex> guard(mutex);
    // A line the stream could not take (a full non-blocking pipe) is lost,
    // but it must not silence the lines after it once there is room again.
    out.clear();
    out << line << std::endl;
}

MatchRecord playSession(Bot& bot, const std::string& host, std::uint16_t port, int& error,
                        bool webSocket) {
    std::unique_ptr<net::Stream> stream =
        webSocket ? net::connectWebSocket(host, port, error) : net::connectTcp(host, port, error);
    if (stream) {
        bot.stream = stream.get();
        sendBlock(*stream, utf32ToCp1257(utf8ToUtf32(bot.name)));
        runSession(*stream, bot.state, bot);
        bot.stream = nullptr;
    }
    // The copy is made before the stream goes; runSession has closed it already.
    MatchRecord copy = bot.record;
    return copy;
}

void runBot(const BotThreadSettings& settings, LinePrinter& printer) {
    for (;;) {
        bool pause = false;
        {
            Bot bot(settings.name, settings.seed, settings.timeScale,
                    [&printer](const std::string& line) { printer.printLine(line); });
            int error = 0;
            const MatchRecord record =
                playSession(bot, settings.host, settings.port, error, settings.webSocket);
            if (error != 0) {
                printer.printLine(settings.name + ": Ühenduse loomine ebaõnnestus. Error " +
                                  std::to_string(error));
                pause = true;
            } else {
                for (const std::string& failure : record.failures) {
                    printer.printLine("AUDIT FAILED " + failure);
                }
                printer.printLine(settings.name + ": audited " + std::to_string(record.auditedRounds) +
                                  "/" + std::to_string(record.rounds) + " rounds, " +
                                  std::to_string(record.failureCount) + " failures");
                // A full server closes a newcomer before any deal; only a next attempt waits.
                pause = record.rounds == 0 && !settings.once;
            }
        }
        // Real time: a server that refuses or is full must not be hammered, whatever the time scale.
        if (pause) std::this_thread::sleep_for(std::chrono::seconds(2));
        if (settings.once) return;
    }
}

int runBots(const BotOptions& options, std::ostream& out, std::ostream& err,
            const BotThreadStarter& startThread) {
    LinePrinter printer(out, options.quiet);
    // The bots' lines go out under the printer's mutex; an error stream tied
    // to them would flush them from this thread without it.
    err.tie(nullptr);
    std::random_device device("default");
    if (options.count < 1) return 0;

    std::vector<std::thread> threads;
    int status = 0;
    for (int i = 1; i <= options.count; ++i) {
        BotThreadSettings settings;
        settings.name = options.count == 1 ? options.name : options.name + std::to_string(i);
        settings.seed = static_cast<std::uint32_t>(device());
        settings.timeScale = options.timeScale;
        settings.host = options.host;
        settings.port = options.port;
        settings.webSocket = options.webSocket;
        settings.once = options.once;
        std::function<void()> body = [settings, &printer] { runBot(settings, printer); };
        try {
            std::thread thread = startThread ? startThread(std::move(body)) : std::thread(std::move(body));
            try {
                threads.push_back(std::move(thread));
            } catch (...) {
                thread.join();
                throw;
            }
        } catch (const std::system_error& e) {
            // The bots that did start play on; the program ends when they do.
            err << "dorvi-bot: could not start bot " << settings.name << ": " << e.what() << std::endl;
            status = 1;
            break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    return status;
}

int runBotProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const BotCommandLine commandLine = parseBotCommandLine(args);
    if (commandLine.printUsage) out << botUsageText << '\n' << std::flush;
    if (!commandLine.error.empty()) err << commandLine.error << std::endl;
    if (commandLine.exitStatus >= 0) return commandLine.exitStatus;
    return runBots(commandLine.options, out, err);
}

}  // namespace dorvi::client
