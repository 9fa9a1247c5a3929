#pragma once
// Both sides of the WebSocket opening handshake on a connected socket.

#include "net/platform.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace dorvi::net {

// Without leading tabs and spaces and without trailing tabs, CRs and spaces.
std::string trim(std::string_view text);
// Reads one HTTP head, up to and including "\r\n\r\n", one byte per receive,
// at most 8192 bytes, and appends it to head.
bool readHttpHead(SOCKET socket, std::string& head);
// Trimmed value of the first header line with this name (any letter case),
// or empty.
std::string headerValue(std::string_view head, std::string_view name);
// The 20 raw bytes of the SHA-1 digest.
std::string sha1(std::string_view data);
std::string base64Encode(std::string_view data);
std::string webSocketAccept(std::string_view key);

// Neither handshake closes the socket; on false the caller does.
bool clientHandshake(SOCKET socket, const std::string& host, std::uint16_t port,
                     const std::string& path);
bool serverHandshake(SOCKET socket);

} // namespace dorvi::net
