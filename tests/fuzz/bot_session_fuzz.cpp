// Whatever a server sends, the bot cuts it into blocks by its phase,
// dispatches them, answers prompts and audits deals without reading or
// writing out of bounds. The real Bot runs the whole receive loop over a
// stream that hands out the fuzz input in chunks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "bot/bot.h"
#include "bot/receive_loop.h"
#include "fuzz/fuzz_check.h"
#include "net/streams.h"
#include "rules/blocks.h"

using namespace dorvi;
using namespace dorvi::client;

namespace {

class ScriptedStream : public net::Stream {
public:
    ScriptedStream(std::string_view bytes, std::size_t chunk, int endResult)
        : bytes(bytes), chunk(chunk), endResult(endResult) {}

    int read(char* buffer, std::size_t size) override {
        FUZZ_CHECK(!closed, "read after close");
        if (bytes.empty() || shut) return endResult;
        const std::size_t n = std::min({size, chunk, bytes.size()});
        std::memcpy(buffer, bytes.data(), n);
        bytes.remove_prefix(n);
        return static_cast<int>(n);
    }
    bool write(std::string_view data) override {
        FUZZ_CHECK(!closed, "write after close");
        FUZZ_CHECK(data.size() == blockSize, "the bot wrote something other than one 128-byte block");
        ++writes;
        return !shut;
    }
    void shutdown() override { shut = true; }
    void close() override { closed = true; }

    std::string_view bytes;
    std::size_t chunk;
    int endResult;
    bool shut = false;
    bool closed = false;
    int writes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Byte 0: the read size, so that blocks split across reads and several
    // blocks in one read both occur; byte 1: how the connection ends.
    const std::size_t chunk = 1 + static_cast<std::size_t>(data[0]) * 17;
    const int endResult = (data[1] & 1) ? -1 : 0;
    ScriptedStream stream(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2), chunk, endResult);

    Bot bot("fuzz", data[1], 0.0, [](const std::string&) {});
    bot.stream = &stream;
    runSession(stream, bot.state, bot);
    bot.stream = nullptr;

    FUZZ_CHECK(stream.closed, "the receive loop ended without closing its stream");
    FUZZ_CHECK(stream.writes >= 1, "the bot never sent \"join\"");
    return 0;
}
