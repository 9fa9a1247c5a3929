#include <iostream>
#include <string>
#include <vector>

#include "bot/bot_program.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return dorvi::client::runBotProgram(args, std::cout, std::cerr);
}
