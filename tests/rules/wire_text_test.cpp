#include "rules/wire_text.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace dorvi {
namespace {

const unsigned char undefinedBytes[] = {0x81, 0x83, 0x88, 0x8A, 0x8C, 0x90,
                                        0x98, 0x9A, 0x9C, 0x9F, 0xA1, 0xA5};

bool isUndefined(unsigned b)
{
    for (unsigned char u : undefinedBytes)
        if (u == b) return true;
    return false;
}

TEST(WireText, EveryDefinedCp1257ByteRoundTripsThroughUtf8)
{
    for (unsigned b = 1; b < 256; ++b) {
        if (isUndefined(b)) continue;
        const std::string byte(1, static_cast<char>(b));
        const std::u32string wide = cp1257ToUtf32(byte);
        ASSERT_EQ(wide.size(), 1u);
        ASSERT_TRUE(b == '?' || wide[0] != U'?') << "byte " << b;
        const std::string utf8 = utf32ToUtf8(wide);
        EXPECT_EQ(utf8ToUtf32(utf8), wide) << "byte " << b;
        EXPECT_EQ(utf32ToCp1257(utf8ToUtf32(utf8)), byte) << "byte " << b;
        EXPECT_TRUE(b < 32 || isCp1257Printable(wide[0])) << "byte " << b;
    }
}

TEST(WireText, UndefinedBytesAndNulBecomeQuestionMarks)
{
    std::string bytes(1, '\0');
    for (unsigned char u : undefinedBytes) bytes += static_cast<char>(u);
    EXPECT_EQ(cp1257ToUtf32(bytes), std::u32string(13, U'?'));
    EXPECT_EQ(cp1257ToUtf32("\x80\xFF"), U"\u20AC\u02D9");
}

TEST(WireText, EncodingToCp1257)
{
    EXPECT_EQ(utf32ToCp1257(U"\u20AC\u0160\u00E4"), "\x80\xD0\xE4");
    EXPECT_EQ(utf32ToCp1257(U"\u4E00"), "?");
    EXPECT_EQ(utf32ToCp1257(U"a\0b"s), "a\0b"s) << "NUL passes through";
    EXPECT_EQ(utf32ToCp1257(U"\u0081"), "?") << "undefined bytes are never produced";
    EXPECT_EQ(utf32ToCp1257(std::u32string(1, 0x110000)), "?");
}

TEST(WireText, EncodingToUtf8)
{
    EXPECT_EQ(utf32ToUtf8(U"\u00E4"), "\xC3\xA4");
    EXPECT_EQ(utf32ToUtf8(U"\u20AC"), "\xE2\x82\xAC");
    EXPECT_EQ(utf32ToUtf8(U"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf32ToUtf8(U"a\0"s), "a\0"s);
}

TEST(WireText, MalformedUtf8GivesOneQuestionMarkPerUnusableByte)
{
    EXPECT_EQ(utf8ToUtf32("\xC3\xA4"), U"\u00E4");
    EXPECT_EQ(utf8ToUtf32("\xC3\x28"), U"?(");
    EXPECT_EQ(utf8ToUtf32("\xE2\x82"), U"??") << "cut short by the end";
    EXPECT_EQ(utf8ToUtf32("\x80"), U"?");
    EXPECT_EQ(utf8ToUtf32("\xE2\x28\xA1"), U"?(?") << "each stray continuation byte";
    EXPECT_EQ(utf8ToUtf32("\xF8\xFF" "a"), U"??a");
    EXPECT_EQ(utf8ToUtf32("\xF0\x9F\x98"), U"???");
    // Overlong forms, surrogates and values above U+10FFFF are decoded as they stand.
    EXPECT_EQ(utf8ToUtf32("\xC0\x80"), std::u32string(1, 0));
    EXPECT_EQ(utf8ToUtf32("\xED\xA0\x80"), std::u32string(1, 0xD800));
    EXPECT_EQ(utf8ToUtf32("\xF7\xBF\xBF\xBF"), std::u32string(1, 0x1FFFFF));
}

TEST(WireText, NameSurvivesTheWholeWay)
{
    const std::string name = "J\xC3\xBC" "ri \xC5\xA0" "abl\xC4\x97 \xE2\x82\xAC";  // Jüri Šablė €
    const std::string cp1257 = utf32ToCp1257(utf8ToUtf32(name));
    EXPECT_EQ(cp1257, "J\xFCri \xD0" "abl\xEB \x80");
    EXPECT_EQ(utf32ToUtf8(cp1257ToUtf32(cp1257)), name);
}

TEST(WireText, Printability)
{
    EXPECT_FALSE(isCp1257Printable(0x1F));
    EXPECT_FALSE(isCp1257Printable(0x81));
    EXPECT_FALSE(isCp1257Printable(0));
    EXPECT_TRUE(isCp1257Printable(0x20));
    EXPECT_TRUE(isCp1257Printable(0x7F));
    EXPECT_TRUE(isCp1257Printable(0xE4));
    EXPECT_TRUE(isCp1257Printable(0x20AC));
}

}  // namespace
}  // namespace dorvi
