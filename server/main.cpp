#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "server/server.h"
#include "server/server_options.h"

int main(int argc, char** argv) {
    using namespace dorvi::server;

    ServerOptions options = parseServerOptions(argc, argv);
    if (options.showUsage) {
        std::puts(std::string(serverUsageText()).c_str());
        if (options.viaExit) {
            std::exit(options.exitStatus);
        }
        return options.exitStatus;
    }

    // Lives until the process ends: detached threads keep using it.
    Server* server = new Server(options.config, std::cout);
    server->startConsole(std::cin);
    int status = server->run();
    std::cout.flush();
    std::fflush(stdout);
    // End at once: detached threads are not joined and the server is not destroyed.
    std::_Exit(status);
}
