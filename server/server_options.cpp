#include "server/server_options.h"

#include <cstdlib>
#include <cstring>

namespace dorvi::server {

namespace {

// Like atoi, but without the undefined overflow: the value wraps as the
// platform's long-to-int conversion does.
int toInt(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

bool isValueOption(const char* arg) {
    return std::strcmp(arg, "--port") == 0 || std::strcmp(arg, "--ws-port") == 0 ||
           std::strcmp(arg, "--time-scale") == 0 || std::strcmp(arg, "--seed") == 0;
}

}  // namespace

std::string_view serverUsageText() {
    return "usage: dorvi-server [--start] [--port N]\n"
           "  --start            start accepting connections right away\n"
           "                     (without it, nothing listens until the operator types \"start\")\n"
           "  --port N           listen on N instead of 113\n"
           "  --ws-port N        accept the browser version on N (default 8113, 0 = off)\n"
           "  --time-scale X     multiply all delays by X (testing)\n"
           "  --seed N           fixed shuffles (testing)\n"
           "console commands: start, stop, reset, quit";
}

ServerOptions parseServerOptions(int argc, const char* const* argv) {
    ServerOptions options;
    ServerConfig& config = options.config;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--start") == 0) {
            config.autoStart = true;
            continue;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.showUsage = true;
            options.exitStatus = 0;
            return options;
        }
        if (!isValueOption(arg)) {
            options.showUsage = true;
            options.exitStatus = 2;
            return options;
        }
        if (i + 1 >= argc) {
            options.showUsage = true;
            options.exitStatus = 2;
            options.viaExit = true;
            return options;
        }
        const char* value = argv[++i];
        if (std::strcmp(arg, "--port") == 0) {
            config.port = static_cast<uint16_t>(toInt(value));
        } else if (std::strcmp(arg, "--ws-port") == 0) {
            int port = toInt(value);
            config.wsPort = port > 0 ? port : -1;
        } else if (std::strcmp(arg, "--time-scale") == 0) {
            config.timeScale = std::atof(value);
        } else {
            config.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
            config.seedSet = true;
        }
    }
    return options;
}

}  // namespace dorvi::server
