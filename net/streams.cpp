#include "net/streams.h"

namespace dorvi::net {

std::unique_ptr<Stream> connectTcp(const std::string&, std::uint16_t, int& error) { error = -1; return {}; }
std::unique_ptr<Stream> connectWebSocket(const std::string&, std::uint16_t, int& error) { error = -1; return {}; }

} // namespace dorvi::net
