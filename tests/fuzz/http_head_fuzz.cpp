// The first bytes on the WebSocket port come from anyone: the head reader,
// the header lookup and the server's upgrade decision must hold for all of them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "net/websocket_handshake.h"

using namespace dorvi;
using namespace dorvi::net;

namespace {

constexpr std::size_t maxHead = 8192;
constexpr std::string_view endOfHead = "\r\n\r\n";
constexpr std::string_view refusal =
    "HTTP/1.1 426 Upgrade Required\r\n"
    "Upgrade: websocket\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n"
    "\r\n"
    "This is a Dorvi server. Connect to it with the game.\r\n";

void checkValue(std::string_view head, std::string_view name) {
    const std::string value = headerValue(head, name);
    if (value.empty()) return;
    FUZZ_CHECK(head.find(value) != std::string_view::npos, "headerValue is not taken from the head");
    FUZZ_CHECK(value.find("\r\n") == std::string::npos, "headerValue ran past the end of its line");
    FUZZ_CHECK(value.front() != ' ' && value.front() != '\t', "headerValue kept a leading blank");
    FUZZ_CHECK(value.back() != ' ' && value.back() != '\t' && value.back() != '\r',
               "headerValue kept a trailing blank or CR");
    FUZZ_CHECK(trim(value) == value, "trim of a trimmed value changed it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::maxFedBytes) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The head reader takes bytes up to the first end mark and not one more.
    std::string head;
    bool complete;
    {
        fuzz::FedSocket socket(input);
        complete = readHttpHead(socket.socket(), head);
    }
    FUZZ_CHECK(head.size() <= maxHead, "readHttpHead read more than 8192 bytes");
    FUZZ_CHECK(input.substr(0, head.size()) == head, "readHttpHead's head is not the start of the input");
    const std::size_t mark = input.find(endOfHead);
    if (mark != std::string_view::npos && mark + endOfHead.size() <= maxHead) {
        FUZZ_CHECK(complete && head.size() == mark + endOfHead.size(),
                   "readHttpHead did not stop right after the first end mark");
    } else {
        FUZZ_CHECK(!complete, "readHttpHead accepted a head without its end mark in 8192 bytes");
        FUZZ_CHECK(head.size() == std::min(input.size(), maxHead), "readHttpHead stopped early");
    }

    // Header lookup over any bytes, with the names the handshake asks for and
    // one taken from the input itself.
    checkValue(input, "Upgrade");
    checkValue(input, "Sec-WebSocket-Key");
    checkValue(input, input.substr(0, std::min<std::size_t>(input.size(), 12)));
    FUZZ_CHECK(headerValue(input.substr(0, input.find("\r\n")), "Upgrade").empty(),
               "a header was found on the first line");

    // The server's decision: no reply without a head, the exact refusal, or a
    // 101 whose accept value belongs to the request's key.
    std::string reply;
    bool accepted;
    {
        fuzz::FedSocket socket(input);
        accepted = serverHandshake(socket.socket());
        reply = socket.replies();
    }
    if (!complete) {
        FUZZ_CHECK(!accepted && reply.empty(), "a reply to a request without a complete head");
    } else if (accepted) {
        FUZZ_CHECK(head.compare(0, 4, "GET ") == 0, "upgrade accepted without GET");
        const std::string key = headerValue(head, "Sec-WebSocket-Key");
        FUZZ_CHECK(!key.empty(), "upgrade accepted without a key");
        const std::string expected = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                     "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                                     webSocketAccept(key) + "\r\n\r\n";
        FUZZ_CHECK(reply == expected, "the 101 reply is not the expected one");
        FUZZ_CHECK(reply.size() == 129, "the 101 reply is not 129 bytes");
    } else {
        FUZZ_CHECK(reply == refusal, "a refused upgrade did not get the exact 426 reply");
    }
    return 0;
}
