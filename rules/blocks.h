#pragma once

// Every protocol message is a block: a short text padded with NUL bytes to a
// fixed size.

#include <cstddef>
#include <string>
#include <string_view>

namespace dorvi {

inline constexpr std::size_t blockSize = 128;
// The server's play prompt, card relays and point blocks.
inline constexpr std::size_t shortBlockSize = 56;

// Exactly `size` bytes: the text (cut to size, NULs kept as they are), then NULs.
std::string padBlock(std::string_view text, std::size_t size);

// The bytes before the first NUL, or the whole block when it holds none.
// Refers into the caller's bytes.
std::string_view blockText(std::string_view block);

// Whether keyword occurs anywhere in blockText(block); an empty keyword always does.
bool blockContains(std::string_view block, std::string_view keyword);

}  // namespace dorvi
