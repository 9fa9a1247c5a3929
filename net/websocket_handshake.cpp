#include "net/websocket_handshake.h"

namespace dorvi::net {

std::string trim(std::string_view text) { return std::string(text); }
bool readHttpHead(SOCKET, std::string&) { return false; }
std::string headerValue(std::string_view, std::string_view) { return {}; }
std::string sha1(std::string_view) { return std::string(20, '\0'); }
std::string base64Encode(std::string_view) { return {}; }
std::string webSocketAccept(std::string_view) { return {}; }
bool clientHandshake(SOCKET, const std::string&, std::uint16_t, const std::string&) { return false; }
bool serverHandshake(SOCKET) { return false; }

} // namespace dorvi::net
