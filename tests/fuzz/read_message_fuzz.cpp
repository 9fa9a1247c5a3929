// After the upgrade every byte on a WebSocket connection goes through
// readMessage: any frame sequence must end in a message, a close or an error,
// never in a read past a buffer or a message above the limit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "net/websocket_frames.h"

using namespace dorvi;
using namespace dorvi::net;

namespace {

// A reply of readMessage is one whole close or pong frame, masked exactly
// when the endpoint masks.
void checkReply(const std::string& frame, bool masked) {
    FUZZ_CHECK(frame.size() >= 2, "reply frame shorter than its head");
    const auto byte0 = static_cast<unsigned char>(frame[0]);
    const auto byte1 = static_cast<unsigned char>(frame[1]);
    FUZZ_CHECK(byte0 == (0x80 | wsOpClose) || byte0 == (0x80 | wsOpPong), "reply is not a final close or pong");
    FUZZ_CHECK(((byte1 & 0x80) != 0) == masked, "reply masking differs from the endpoint's");
    std::size_t length = byte1 & 0x7F;
    std::size_t head = 2;
    if (length == 126) {
        FUZZ_CHECK(frame.size() >= 4, "reply cut in its length");
        length = (static_cast<unsigned char>(frame[2]) << 8) | static_cast<unsigned char>(frame[3]);
        head = 4;
    } else {
        FUZZ_CHECK(length < 126, "a control reply needs no 64-bit length");
    }
    if (masked) head += 4;
    FUZZ_CHECK(frame.size() == head + length, "reply length field does not match its payload");
    if (byte0 == (0x80 | wsOpClose)) FUZZ_CHECK(length <= 2, "close echo carries more than the status");
}

void readAll(std::string_view input, bool masked) {
    fuzz::FedSocket socket(input);
    std::vector<std::string> replies;
    WebSocketEndpoint endpoint{socket.socket(), [&](const std::string& frame) { replies.push_back(frame); }, masked};
    std::size_t delivered = 0;
    std::string out;
    int result;
    // Every message holds at least one frame head, so the input bounds the loop.
    while ((result = readMessage(endpoint, out)) == 1) {
        FUZZ_CHECK(out.size() <= wsMaxMessage, "a message above 65536 bytes was delivered");
        delivered += out.size();
        FUZZ_CHECK(delivered <= input.size(), "more payload delivered than bytes sent");
    }
    FUZZ_CHECK(result == 0 || result == -1, "readMessage result is not 1, 0 or -1");
    for (const std::string& reply : replies) checkReply(reply, masked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > fuzz::maxFedBytes) return 0;
    const bool masked = (data[0] & 1) != 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    // Hostile frames from the peer.
    readAll(input, masked);

    // A frame built by encodeFrame reads back as the same message.
    if (input.size() <= wsMaxMessage) {
        const std::string frame = encodeFrame(wsOpBinary, input, masked);
        FUZZ_CHECK(frame.size() <= input.size() + 14, "frame overhead above 14 bytes");
        fuzz::FedSocket socket(frame);
        WebSocketEndpoint endpoint{socket.socket(), [](const std::string&) {}, !masked};
        std::string out;
        FUZZ_CHECK(readMessage(endpoint, out) == 1 && out == input, "an encoded frame did not read back whole");
        std::string next;
        FUZZ_CHECK(readMessage(endpoint, next) == 0, "bytes left behind after one encoded frame");
    }
    return 0;
}
