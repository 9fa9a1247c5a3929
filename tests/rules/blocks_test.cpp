#include "rules/blocks.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace dorvi {
namespace {

TEST(Blocks, PadBlockPadsWithNulAndCutsToSize)
{
    EXPECT_EQ(padBlock("join", blockSize), "join" + std::string(124, '\0'));
    EXPECT_EQ(padBlock("", shortBlockSize), std::string(56, '\0'));

    std::string longText;
    for (int i = 0; i < 200; ++i) longText += static_cast<char>('a' + i % 26);
    EXPECT_EQ(padBlock(longText, blockSize), longText.substr(0, 128));

    const std::string exact(128, 'x');
    EXPECT_EQ(padBlock(exact, blockSize), exact) << "a full-size text gets no NUL";

    // Raw fields may hold NUL bytes; they are copied, not treated as the end.
    const std::string raw = "a\0b\x80"s;
    EXPECT_EQ(padBlock(raw, shortBlockSize), raw + std::string(52, '\0'));
}

TEST(Blocks, BlockTextEndsAtTheFirstNul)
{
    EXPECT_EQ(blockText(std::string(128, '\0')), "");
    const std::string noNul(56, 'q');
    EXPECT_EQ(blockText(noNul), noNul);
    const std::string point = padBlock("point\0\x05\x07"s, shortBlockSize);
    EXPECT_EQ(blockText(point), "point");
    EXPECT_EQ(blockText(point).data(), point.data()) << "the text refers into the block";
}

TEST(Blocks, BlockContainsSearchesOnlyTheText)
{
    const std::string okc = padBlock("okc", blockSize);
    EXPECT_TRUE(blockContains(okc, "ok"));
    EXPECT_TRUE(blockContains(okc, "okc"));
    EXPECT_TRUE(blockContains(padBlock("xxokyy", blockSize), "ok"));
    EXPECT_FALSE(blockContains(padBlock("oK", blockSize), "ok")) << "case matters";
    EXPECT_FALSE(blockContains(padBlock("o k", blockSize), "ok"));

    EXPECT_TRUE(blockContains(padBlock("", blockSize), ""));
    EXPECT_TRUE(blockContains("", ""));
    EXPECT_TRUE(blockContains(okc, ""));
    EXPECT_FALSE(blockContains(padBlock("ok", blockSize), "okc")) << "keyword longer than the text";
    EXPECT_FALSE(blockContains(padBlock("name\0join"s, blockSize), "join")) << "behind the first NUL";
    EXPECT_FALSE(blockContains(padBlock("jo\0in"s, blockSize), "join"));
}

}  // namespace
}  // namespace dorvi
