#pragma once

// A small scripted client of the game protocol for tests, over TCP or
// WebSocket. It sends 128-byte blocks and cuts what the server sends by the
// state of the game, as a real client must: 56-byte blocks from the contract
// announcement up to and including the point block (a "trump" prompt there
// is still 128 bytes), 128-byte blocks at all other times.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/platform.h"
#include "net/sockets.h"
#include "net/websocket_frames.h"
#include "net/websocket_handshake.h"
#include "rules/blocks.h"

namespace dorvi::testing {

class ProtocolClient {
public:
    enum class Transport { Tcp, WebSocket };

    enum class Read {
        Block,    // a whole block is in the result
        Ended,    // the server ended the connection
        TimedOut,
        Error     // a transport error or a frame that does not fit the protocol
    };

    ProtocolClient(std::uint16_t port, Transport transport) : transport_(transport) {
        int code = 0;
        socket_ = net::connectSocket("127.0.0.1", port, code);
        if (socket_ == net::INVALID_SOCKET) {
            error_ = "connect failed with " + std::to_string(code);
            return;
        }
        if (transport == Transport::WebSocket &&
            !net::clientHandshake(socket_, "127.0.0.1", port, "/")) {
            error_ = "WebSocket upgrade refused";
            net::closeSocket(socket_);
            socket_ = net::INVALID_SOCKET;
        }
    }

    // Takes over a socket that is already connected to the server (on
    // WebSocket, past the upgrade).
    explicit ProtocolClient(net::SOCKET connected, Transport transport = Transport::Tcp)
        : transport_(transport), socket_(connected) {}

    ~ProtocolClient() { close(); }
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    bool connected() const { return socket_ != net::INVALID_SOCKET; }
    // Sets the cut by hand, for a test that starts in the middle of a deal:
    // true cuts 56-byte blocks as after a contract announcement.
    void cutShortBlocks(bool on) { shortBlocks_ = on; }
    bool webSocket() const { return transport_ == Transport::WebSocket; }
    // Why the last connect or read failed.
    const std::string& error() const { return error_; }

    // Sends the text as one 128-byte block (one masked binary frame on WebSocket).
    bool send(std::string_view text) { return sendBytes(padBlock(text, blockSize)); }

    // Sends bytes as they are; on WebSocket as one masked binary frame, so a
    // block may be split over several messages or several blocks share one.
    bool sendBytes(std::string_view bytes) {
        if (!connected()) return false;
        if (webSocket()) {
            std::string frame = net::encodeFrame(net::wsOpBinary, bytes, true);
            return net::sendAll(socket_, frame.data(), frame.size());
        }
        return net::sendAll(socket_, bytes.data(), bytes.size());
    }

    // The next block of the server, cut by the game state; `block` holds all
    // its bytes (NULs included).
    Read next(std::string& block, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        block.clear();
        if (!connected()) return fail("not connected");
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t size = shortBlocks_ ? shortBlockSize : blockSize;
        if (webSocket()) {
            Read r = readFrame(block, deadline);
            if (r != Read::Block) return r;
            std::size_t expected = size;
            if (shortBlocks_ && blockText(block).starts_with("trump")) expected = blockSize;
            if (block.size() != expected) {
                return fail("frame of " + std::to_string(block.size()) + " bytes where " +
                            std::to_string(expected) + " were due");
            }
            // One block per frame, with the shortest length form.
            std::string_view want = expected == blockSize ? std::string_view("\x82\x7e\x00\x80", 4)
                                                          : std::string_view("\x82\x38", 2);
            if (frameHeader_ != want) return fail("unexpected frame header");
        } else {
            Read r = readExact(block, size, deadline);
            if (r != Read::Block) return r;
            if (shortBlocks_ && blockText(block).starts_with("trump")) {
                std::string rest;
                r = readExact(rest, blockSize - shortBlockSize, deadline);
                if (r != Read::Block) return r;
                block += rest;
            }
        }
        std::string_view text = blockText(block);
        if (!shortBlocks_ && text.starts_with("next")) shortBlocks_ = true;
        else if (shortBlocks_ && text.starts_with("point")) shortBlocks_ = false;
        return Read::Block;
    }

    // Reads until the server ends the connection. True when it did within
    // the time; blocks that came first are counted in `blocksBefore`.
    // On WebSocket, `closeFrame` gets the whole close frame the server sent.
    bool waitEnd(std::chrono::milliseconds timeout, int* blocksBefore = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        int blocks = 0;
        for (;;) {
            std::string block;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) left = std::chrono::milliseconds(1);
            Read r = next(block, left);
            if (r == Read::Block) {
                ++blocks;
                continue;
            }
            if (blocksBefore != nullptr) *blocksBefore = blocks;
            return r == Read::Ended;
        }
    }

    // The close frame the server sent, empty when none came.
    const std::string& closeFrame() const { return closeFrame_; }
    // Answers the server's close frame with a masked one of status 1000, as
    // a browser does, before reading on to the end of the stream.
    void answerCloseFrames() { answerClose_ = true; }
    // Whether the connection was reset, also behind the end of the stream.
    bool wasReset() const { return net::hasPendingError(socket_); }
    // Header bytes of the last data frame (WebSocket only).
    const std::string& lastFrameHeader() const { return frameHeader_; }

    // Ends the connection in both directions but keeps the socket, so a
    // thread blocked in a read wakes up safely; close() releases it later.
    void shutdown() {
        if (connected()) net::shutdownSocket(socket_);
    }

    // Ends the connection from this side.
    void close() {
        if (!connected()) return;
        net::shutdownSocket(socket_);
        net::closeSocket(socket_);
        socket_ = net::INVALID_SOCKET;
    }

private:
    Read fail(std::string what) {
        error_ = std::move(what);
        return Read::Error;
    }

    // Exactly n bytes, appended to out.
    Read readExact(std::string& out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
        std::size_t start = out.size();
        out.resize(start + n);
        std::size_t got = 0;
        while (got < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                out.resize(start + got);
                error_ = "timed out after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
                return Read::TimedOut;
            }
            net::setReceiveTimeout(socket_, static_cast<int>(left.count()));
            int r = net::recvSome(socket_, out.data() + start + got, static_cast<int>(n - got));
            if (r == 0) {
                out.resize(start + got);
                error_ = "connection ended after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
                return Read::Ended;
            }
            if (r < 0) {
                // The receive time-out ran out; the deadline test above decides.
                if (net::netLastError() == net::WSAEWOULDBLOCK) continue;
                out.resize(start + got);
                return fail("receive failed with " + std::to_string(net::netLastError()));
            }
            got += static_cast<std::size_t>(r);
        }
        return Read::Block;
    }

    // One unmasked data frame from the server; a close frame ends the read.
    Read readFrame(std::string& payload, std::chrono::steady_clock::time_point deadline) {
        std::string header;
        Read r = readExact(header, 2, deadline);
        if (r != Read::Block) return r;
        auto b0 = static_cast<unsigned char>(header[0]);
        auto b1 = static_cast<unsigned char>(header[1]);
        std::uint64_t length = b1 & 0x7F;
        if (length == 126 || length == 127) {
            std::size_t extra = length == 126 ? 2 : 8;
            r = readExact(header, extra, deadline);
            if (r != Read::Block) return r;
            length = 0;
            for (std::size_t i = 2; i < header.size(); ++i) {
                length = length << 8 | static_cast<unsigned char>(header[i]);
            }
        }
        if ((b1 & 0x80) != 0) return fail("the server masked a frame");
        if (length > net::wsMaxMessage) return fail("frame too long");
        std::string body;
        r = readExact(body, static_cast<std::size_t>(length), deadline);
        if (r != Read::Block) return r;
        int opcode = b0 & 0x0F;
        if (opcode == net::wsOpClose) {
            closeFrame_ = header + body;
            if (answerClose_) {
                std::string answer = net::encodeFrame(net::wsOpClose, std::string_view("\x03\xE8", 2), true);
                net::sendAll(socket_, answer.data(), answer.size());
            }
            // Nothing but the end of the connection may follow the close frame.
            std::string after;
            r = readExact(after, 1, deadline);
            if (r == Read::Ended) return Read::Ended;
            return fail("bytes after the close frame");
        }
        if (b0 != 0x82) return fail("frame with first byte " + std::to_string(b0));
        frameHeader_ = header;
        payload = std::move(body);
        return Read::Block;
    }

    Transport transport_;
    net::SOCKET socket_ = net::INVALID_SOCKET;
    bool shortBlocks_ = false;
    bool answerClose_ = false;
    std::string error_;
    std::string closeFrame_;
    std::string frameHeader_;
};

}  // namespace dorvi::testing
