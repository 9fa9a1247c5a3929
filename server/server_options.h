#pragma once

#include <string_view>

#include "server/server.h"

namespace dorvi::server {

// What the command line asks for: run with `config`, or print the usage text
// and end with `exitStatus` (through exit() when `viaExit`, else by returning
// from main).
struct ServerOptions {
    ServerConfig config;
    bool showUsage = false;
    int exitStatus = 0;
    bool viaExit = false;
};

ServerOptions parseServerOptions(int argc, const char* const* argv);

// The usage text without its final newline (puts adds it).
std::string_view serverUsageText();

}  // namespace dorvi::server
