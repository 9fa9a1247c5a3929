#include "rules/wire_text.h"

namespace dorvi {

const std::array<std::uint32_t, 128> cp1257Table = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0,      0x2030, 0,      0x2039, 0,      0x00A8, 0x02C7, 0x00B8,  // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0,      0x2122, 0,      0x203A, 0,      0x00AF, 0x02DB, 0,       // 0x98
    0x00A0, 0,      0x00A2, 0x00A3, 0x00A4, 0,      0x00A6, 0x00A7,  // 0xA0
    0x00D8, 0x00A9, 0x0156, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00C6,  // 0xA8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00F8, 0x00B9, 0x0157, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00E6,  // 0xB8
    0x0104, 0x012E, 0x0100, 0x0106, 0x00C4, 0x00C5, 0x0118, 0x0112,  // 0xC0
    0x010C, 0x00C9, 0x0179, 0x0116, 0x0122, 0x0136, 0x012A, 0x013B,  // 0xC8
    0x0160, 0x0143, 0x0145, 0x00D3, 0x014C, 0x00D5, 0x00D6, 0x00D7,  // 0xD0
    0x0172, 0x0141, 0x015A, 0x016A, 0x00DC, 0x017B, 0x017D, 0x00DF,  // 0xD8
    0x0105, 0x012F, 0x0101, 0x0107, 0x00E4, 0x00E5, 0x0119, 0x0113,  // 0xE0
    0x010D, 0x00E9, 0x017A, 0x0117, 0x0123, 0x0137, 0x012B, 0x013C,  // 0xE8
    0x0161, 0x0144, 0x0146, 0x00F3, 0x014D, 0x00F5, 0x00F6, 0x00F7,  // 0xF0
    0x0173, 0x0142, 0x015B, 0x016B, 0x00FC, 0x017C, 0x017E, 0x02D9,  // 0xF8
};

std::string utf32ToUtf8(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char32_t ch : text) {
        const std::uint32_t c = ch;
        if (c <= 0x7F) {
            out += static_cast<char>(c);
        } else if (c <= 0x7FF) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0xFFFF) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(static_cast<unsigned char>(0xF0 | (c >> 18)));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string utf32ToCp1257(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char32_t ch : text) {
        const std::uint32_t c = ch;
        if (c <= 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char byte = '?';
        for (std::size_t i = 0; i < cp1257Table.size(); ++i) {
            if (cp1257Table[i] == c) {
                byte = static_cast<char>(0x80 + i);
                break;
            }
        }
        out += byte;
    }
    return out;
}

std::u32string utf8ToUtf32(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char32_t>(lead);
            ++i;
            continue;
        }
        std::size_t following = 0;
        std::uint32_t c = 0;
        if (lead >= 0xC0 && lead <= 0xDF) {
            following = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            following = 2;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            following = 3;
            c = lead & 0x07;
        }
        bool valid = following != 0 && bytes.size() - i > following;
        for (std::size_t k = 1; valid && k <= following; ++k) {
            const unsigned char b = static_cast<unsigned char>(bytes[i + k]);
            if (b < 0x80 || b > 0xBF) {
                valid = false;
            } else {
                c = (c << 6) | (b & 0x3F);
            }
        }
        if (valid) {
            out += static_cast<char32_t>(c);
            i += 1 + following;
        } else {
            // Only the lead byte is consumed: what follows is read afresh.
            out += U'?';
            ++i;
        }
    }
    return out;
}

std::u32string cp1257ToUtf32(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const unsigned char b = static_cast<unsigned char>(ch);
        const std::uint32_t c = b < 0x80 ? b : cp1257Table[b - 0x80];
        out += c == 0 ? U'?' : static_cast<char32_t>(c);
    }
    return out;
}

bool isCp1257Printable(char32_t codePoint)
{
    const std::uint32_t c = codePoint;
    if (c < 128) return c >= 32;
    for (std::uint32_t entry : cp1257Table) {
        if (entry == c) return true;
    }
    return false;
}

}  // namespace dorvi
