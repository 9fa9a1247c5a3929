#include "server/protocol.h"

#include <array>
#include <mutex>
#include <utility>

#include "rules/blocks.h"

namespace dorvi::server {

namespace {

constexpr std::array<std::string_view, 9> keywords = {
    "print", "stop", "start", "reset", "join", "quit", "next", "bid", "scard"};

// Byte 5 as the signed byte it travels as; 0 when the block is too short.
int signedByte5(std::string_view bytes) {
    return bytes.size() > 5 ? static_cast<int>(static_cast<signed char>(bytes[5])) : 0;
}

}  // namespace

std::optional<DorviMsg> messageFromBlock(std::string_view block) {
    std::string_view text = blockText(block);
    std::string_view keyword;
    for (std::string_view candidate : keywords) {
        if (text.find(candidate) != std::string_view::npos) {
            keyword = candidate;
            break;
        }
    }
    if (keyword.empty()) {
        return std::nullopt;
    }

    DorviMsg msg;
    if (keyword == "print") {
        msg.type = msgPrint;
        if (text.size() > 5) {
            msg.text = std::string(text.substr(5));
        }
    } else if (keyword == "stop") {
        msg.type = msgStop;
    } else if (keyword == "start") {
        msg.type = msgStart;
    } else if (keyword == "reset") {
        msg.type = msgReset;
    } else if (keyword == "join") {
        msg.type = msgJoin;
    } else if (keyword == "quit") {
        msg.type = msgQuit;
    } else if (keyword == "next") {
        msg.type = msgNext;
        msg.value = block.size() > 5 ? signedByte5(block) - '0' : 0;
        msg.text = std::string(block);
    } else if (keyword == "bid") {
        if (text.size() == 6) {
            msg.type = msgBid;
            msg.value = signedByte5(text) - '0';
        } else {
            // Any other "bid" text is the short way of naming Diamonds trump.
            msg.type = msgNext;
            msg.value = 1;
            msg.text = "next 1";
        }
    } else {
        msg.type = msgCard;
        msg.value = signedByte5(block);
    }
    return msg;
}

bool isConsoleOnly(int16_t type) {
    return type == msgQuit || type == msgStart || type == msgStop || type == msgReset ||
           type == msgPrint;
}

bool Server::parseMsg(std::string_view block, DorviPlayer* player, std::uint64_t connectionId) {
    std::optional<DorviMsg> msg = messageFromBlock(block);
    if (!msg) {
        return false;
    }
    if (player == nullptr) {
        post(std::move(*msg));
        return true;
    }
    if (isConsoleOnly(msg->type)) {
        return false;
    }
    // The id is read under the same lock that queues the message, so the
    // message names exactly the connection that sent it.
    std::lock_guard<std::mutex> guard(mutex);
    if (connectionId != 0 && (!player->connected || player->id != connectionId)) {
        return false;
    }
    msg->player = player;
    msg->playerId = player->id;
    queue.push_back(std::move(*msg));
    return true;
}

}  // namespace dorvi::server
