#pragma once

// Player names travel as Windows-1257 bytes; consoles show UTF-8. Conversions
// go through UTF-32 and never fail: what cannot be converted becomes '?'.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace dorvi {

// Code points of the bytes 0x80-0xFF, 0 for the twelve undefined bytes.
extern const std::array<std::uint32_t, 128> cp1257Table;

std::string utf32ToUtf8(std::u32string_view text);
// One byte per code point.
std::string utf32ToCp1257(std::u32string_view text);
// No checks for overlong forms, surrogates or values above U+10FFFF.
std::u32string utf8ToUtf32(std::string_view bytes);
// One code point per byte; NUL and undefined bytes become '?'.
std::u32string cp1257ToUtf32(std::string_view bytes);

bool isCp1257Printable(char32_t codePoint);

}  // namespace dorvi
