#include "server/server.h"

#include <algorithm>
#include <limits>
#include <ostream>
#include <system_error>
#include <thread>
#include <utility>

#include "net/sockets.h"

namespace dorvi::server {

namespace {

uint32_t drawSeed(const ServerConfig& config) {
    if (config.seedSet) {
        return config.seed;
    }
    std::random_device device("default");
    return static_cast<uint32_t>(device());
}

}  // namespace

Server::Server(const ServerConfig& config, std::ostream& logStream)
    : config(config), logStream(&logStream), rng(drawSeed(config)) {
    greetingDeadlines.fill(std::chrono::steady_clock::time_point::max());
    net::netEnsureStarted();
}

void Server::post(DorviMsg msg) {
    std::lock_guard<std::mutex> guard(mutex);
    queue.push_back(std::move(msg));
}

void Server::log(const std::string& text) {
    DorviMsg msg;
    msg.type = msgPrint;
    msg.text = text;
    queue.push_back(std::move(msg));
}

void Server::pause(std::unique_lock<std::mutex>& lock, int ms) {
    lock.unlock();
    double product = static_cast<double>(static_cast<int64_t>(ms) * 1000) * config.timeScale;
    // A huge or NaN time scale must not reach the undefined double-to-integer
    // conversion: NaN sleeps not at all, huge sleeps as long as it can.
    int64_t micros = 0;
    if (product >= 9.2e18) {
        micros = std::numeric_limits<int64_t>::max();
    } else if (product > 0) {
        micros = static_cast<int64_t>(product);
    }
    if (micros > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
    } else {
        // Without a sleep the waiting threads would take the lock straight
        // back; yielding lets the connection threads in.
        std::this_thread::yield();
    }
    lock.lock();
}

int Server::run() {
    if (config.autoStart) {
        DorviMsg start;
        start.type = msgStart;
        post(std::move(start));
    }
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (quit) {
            // What was logged before the end is not lost, also a line still
            // behind a message that will now never be handled.
            std::erase_if(queue, [](const DorviMsg& msg) { return msg.type != msgPrint; });
            writeLeadingLogLines();
            lock.unlock();
            logStream->flush();
            return 0;
        }
        pause(lock, 100);
        dropLateGreetings();
        // Log lines take no turn, so no stream of connections can hold up the
        // game and the operator, who keep the pace of one message a turn. A
        // line still keeps its place in the queue: an operator's print comes
        // out only once the commands typed before it have been handled.
        writeLeadingLogLines();
        if (queue.empty()) {
            continue;
        }
        DorviMsg msg = std::move(queue.front());
        queue.erase(queue.begin());
        handle(lock, msg);
        writeLeadingLogLines();
    }
}

void Server::writeLeadingLogLines() {
    const auto firstOther =
        std::find_if(queue.begin(), queue.end(), [](const DorviMsg& msg) { return msg.type != msgPrint; });
    for (auto msg = queue.begin(); msg != firstOther; ++msg) {
        writeLogLine(msg->text);
    }
    queue.erase(queue.begin(), firstOther);
}

void Server::writeLogLine(const std::string& text) {
    // A line the stream could not take (a full non-blocking pipe) is lost,
    // but it must not silence the lines after it once there is room again.
    logStream->clear();
    *logStream << text << std::endl;
}

void Server::dropLateGreetings() {
    auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i].connected || greetingDeadlines[i] > now) {
            continue;
        }
        greetingDeadlines[i] = std::chrono::steady_clock::time_point::max();
        // The connection thread sees its read fail and ends the connection
        // as a failed greeting.
        if (slots[i].socket != net::INVALID_SOCKET) {
            net::shutdownSocket(slots[i].socket);
        }
    }
}

void Server::handle(std::unique_lock<std::mutex>& lock, const DorviMsg& msg) {
    DorviPlayer* player = msg.player;
    if (player != nullptr && (!player->connected || player->id != msg.playerId)) {
        return;
    }
    DorviTable* table = player != nullptr ? player->table : nullptr;

    switch (msg.type) {
    case msgQuit:
        quit = true;
        break;
    case msgStart:
        start(lock);
        break;
    case msgStop:
        stop();
        break;
    case msgReset: {
        DorviMsg stopMsg;
        stopMsg.type = msgStop;
        DorviMsg startMsg;
        startMsg.type = msgStart;
        queue.push_back(std::move(stopMsg));
        queue.push_back(std::move(startMsg));
        break;
    }
    case msgJoin:
        if (player != nullptr && table == nullptr) {
            seatJoiningPlayer(player);
        }
        break;
    case msgPrint:
        writeLogLine(msg.text);
        break;
    case msgNext:
        // Relays address all four seats: nothing happens before the table is full.
        if (table != nullptr && table->full()) {
            table->broadcast(msg.text);
            table->setContract(msg.value);
            table->nextPhase();
        }
        break;
    case msgBid:
        if (table != nullptr && table->full()) {
            table->bid(player, msg.value);
            if (msg.value == 0) {
                player->inBidding = false;
                table->countPass();
            }
        }
        break;
    case msgCard:
        if (table != nullptr && table->full()) {
            table->playCard(static_cast<uint16_t>(msg.value));
        }
        break;
    default:
        break;
    }
}

void Server::seatJoiningPlayer(DorviPlayer* player) {
    for (DorviTable& table : tables) {
        if (table.seated >= 4) {
            continue;
        }
        uint16_t seatedBefore = table.seated;
        table.seatPlayer(player);
        if (seatedBefore == 0) {
            try {
                std::thread(&Server::runTable, this, std::ref(table), table.epoch).detach();
            } catch (const std::system_error&) {
                // A table without its thread would never deal: end it at once.
                table.abortTable();
            }
        }
        return;
    }
}

}  // namespace dorvi::server
