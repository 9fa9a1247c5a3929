#pragma once
// WebSocket frames: building one, and reading frames until a whole data
// message is in, answering pings and close frames on the way.

#include "net/platform.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace dorvi::net {

inline constexpr int wsOpContinuation = 0;
inline constexpr int wsOpText = 1;
inline constexpr int wsOpBinary = 2;
inline constexpr int wsOpClose = 8;
inline constexpr int wsOpPing = 9;
inline constexpr int wsOpPong = 10;

// Largest message that readMessage accepts.
inline constexpr std::size_t wsMaxMessage = 65536;

// How long, in real time, a side that has sent its close frame waits for the
// peer's answer (its close frame or the end of the stream). It bounds a silent
// peer, not the game, so it is not scaled.
inline constexpr int wsCloseWaitMs = 1000;

// Writes one complete frame to the peer.
using SendCallback = std::function<void(const std::string&)>;

struct WebSocketEndpoint {
    SOCKET socket = INVALID_SOCKET; // not owned, never closed here
    SendCallback send;              // pong and close replies only
    bool maskOutgoing = false;      // true on the client side
};

// One frame with FIN set, in the shortest length form; masked frames get a
// fresh random key.
std::string encodeFrame(int opcode, std::string_view payload, bool mask);

// 1: one whole data message is in out; 0: the peer closed the connection or
// sent a close frame (already echoed); -1: an error or a message above 65536
// bytes.
int readMessage(WebSocketEndpoint& endpoint, std::string& out);

} // namespace dorvi::net
