#pragma once

// Short blocks as the server sends them during play, for tests that play the
// server's part or check what it sent.

#include <string>

#include "rules/blocks.h"

namespace dorvi::testing {

// A card relay: the relative seat digit, a blank and the card byte.
inline std::string relayBlock(char seat, int card) {
    std::string block = padBlock(std::string{seat, ' '}, shortBlockSize);
    block[2] = static_cast<char>(card);
    return block;
}

// A point block: the receiver's card points, then its team's and the other
// team's match scores.
inline std::string pointBlock(int cardPoints, int own, int other) {
    std::string block = padBlock("point", shortBlockSize);
    block[5] = static_cast<char>(cardPoints);
    block[6] = static_cast<char>(own);
    block[7] = static_cast<char>(other);
    return block;
}

}  // namespace dorvi::testing
