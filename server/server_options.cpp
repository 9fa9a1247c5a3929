#include "server/server_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace dorvi::server {

namespace {

// atoi with a 32-bit long: a value beyond int saturates instead of being
// undefined (or wrapping, as a cast of a 64-bit long would).
int toInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// strtoul with a 32-bit unsigned long: a magnitude beyond 32 bits gives the
// largest value, a minus sign negates modulo 2^32. A 64-bit strtoul would cut
// such a seed to its low bits instead.
uint32_t toUnsigned32(const char* text) {
    const char* digits = text;
    while (std::isspace(static_cast<unsigned char>(*digits))) {
        ++digits;
    }
    bool negative = *digits == '-';
    if (*digits == '-' || *digits == '+') {
        ++digits;
    }
    if (!std::isdigit(static_cast<unsigned char>(*digits))) {
        return 0;
    }
    errno = 0;
    unsigned long long magnitude = std::strtoull(digits, nullptr, 10);
    if (errno == ERANGE || magnitude > UINT32_MAX) {
        return UINT32_MAX;
    }
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
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
            config.seed = toUnsigned32(value);
            config.seedSet = true;
        }
    }
    return options;
}

}  // namespace dorvi::server
