#pragma once

#include <optional>
#include <string_view>

#include "server/server.h"

namespace dorvi::server {

// The message a received or typed block stands for, without sender; empty
// when the block's text holds no keyword. Keywords are tried in a fixed order,
// not by their position in the text.
std::optional<DorviMsg> messageFromBlock(std::string_view block);

// Types that only the operator console may send.
bool isConsoleOnly(int16_t type);

}  // namespace dorvi::server
