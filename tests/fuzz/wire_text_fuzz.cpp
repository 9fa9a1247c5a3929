// Names arrive as arbitrary bytes in greeting and name blocks; the block and
// text conversions must take any of them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "rules/blocks.h"
#include "rules/wire_text.h"

using namespace dorvi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Windows-1257: one code point per byte, and back to the same byte unless
    // the byte had no character ('?').
    const std::u32string fromCp = cp1257ToUtf32(bytes);
    FUZZ_CHECK(fromCp.size() == bytes.size(), "cp1257ToUtf32 must give one code point per byte");
    const std::string backToCp = utf32ToCp1257(fromCp);
    FUZZ_CHECK(backToCp.size() == bytes.size(), "utf32ToCp1257 must give one byte per code point");
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (fromCp[i] == U'?') {
            FUZZ_CHECK(backToCp[i] == '?', "a byte without a character must come back as '?'");
        } else {
            FUZZ_CHECK(backToCp[i] == bytes[i], "a Windows-1257 byte must survive the round trip");
            FUZZ_CHECK(isCp1257Printable(fromCp[i]) || fromCp[i] < 32,
                       "a decoded character above the controls must count as printable");
        }
    }

    // UTF-8: at most one code point per byte; what was decoded encodes and
    // decodes to the same code points (values up to 21 bits, surrogates and
    // overlong forms included).
    const std::u32string fromUtf8 = utf8ToUtf32(bytes);
    FUZZ_CHECK(fromUtf8.size() <= bytes.size(), "utf8ToUtf32 gave more code points than bytes");
    for (char32_t c : fromUtf8)
        FUZZ_CHECK(c <= 0x1FFFFF, "utf8ToUtf32 gave a value longer than 21 bits");
    const std::string reencoded = utf32ToUtf8(fromUtf8);
    FUZZ_CHECK(utf8ToUtf32(reencoded) == fromUtf8, "UTF-8 round trip changed the code points");
    // The bot's own name goes UTF-8 -> UTF-32 -> Windows-1257.
    FUZZ_CHECK(utf32ToCp1257(fromUtf8).size() == fromUtf8.size(), "utf32ToCp1257 length");

    // Blocks: any text pads to exactly the size, and the text read back is the
    // padded text up to its first NUL.
    for (std::size_t blockBytes : {blockSize, shortBlockSize}) {
        const std::string block = padBlock(bytes, blockBytes);
        FUZZ_CHECK(block.size() == blockBytes, "padBlock must give exactly the block size");
        const std::string_view text = blockText(block);
        const std::string_view cut = bytes.substr(0, blockBytes);
        FUZZ_CHECK(text == cut.substr(0, cut.find('\0')), "blockText of a padded block");
        FUZZ_CHECK(blockContains(block, ""), "the empty keyword is in every block");
        if (!text.empty()) {
            FUZZ_CHECK(blockContains(block, text.substr(text.size() / 2)), "a part of the text must be found");
        }
        FUZZ_CHECK(!blockContains(block, std::string(text) + 'x'), "a keyword longer than the text was found");
    }
    return 0;
}
