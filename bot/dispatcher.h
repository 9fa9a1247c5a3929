#pragma once

#include <string>
#include <vector>

#include "bot/session_host.h"

namespace dorvi::client {

// Interprets one server block by the session's phase: updates the game state,
// calls the host's hooks, moves the phase on. Never blocks and sends nothing
// itself; the waits and outputs come back as actions for runSession, in order.
// Call with the host mutex held.
std::vector<SessionAction> dispatchBlock(ClientSession& session, const std::string& block);

}  // namespace dorvi::client
