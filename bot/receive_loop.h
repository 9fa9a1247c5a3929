#pragma once

#include <string>

#include "bot/game_state.h"
#include "bot/session_host.h"

namespace dorvi::net {
class Stream;
}

namespace dorvi::client {

// The receive loop of one open connection: sends "join", cuts and dispatches
// the server's blocks, performs their actions, and returns once a read reports
// the end of the connection; the stream is closed by then. Takes
// host.hostMutex() itself and releases it only around reads, delays and results.
void runSession(net::Stream& stream, GameState& state, SessionHost& host);

// The login step; returns the text of the first block to send.
std::string beginSession(ClientSession& session);

// Cuts one block off the front of buffer: 128 bytes, or 56 in the play phase
// unless the text starts with "trump". False, buffer untouched, when not all
// of the block is there yet.
bool nextBlock(std::string& buffer, int phase, std::string& block);

// Sends text padded to a 128-byte block in one write; the write's result.
bool sendBlock(net::Stream& stream, const std::string& text);

// The end of a connection as the game state sees it.
void onDisconnect(ClientSession& session, bool error);

}  // namespace dorvi::client
