#include "bot/bot.h"

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "bot/receive_loop.h"

namespace dorvi::client {

double drawReal(std::mt19937& rng) {
    const double low = static_cast<double>(static_cast<std::uint32_t>(rng()));
    const double high = static_cast<double>(static_cast<std::uint32_t>(rng()));
    // The sum rounds to double; scaling by a power of two is exact.
    return (high * 4294967296.0 + low) * 0x1p-64;
}

std::uint32_t drawPick(std::mt19937& rng, std::uint32_t m) {
    std::uint64_t product = static_cast<std::uint64_t>(m) * static_cast<std::uint32_t>(rng());
    std::uint32_t low = static_cast<std::uint32_t>(product);
    if (low < m) {
        // Outputs whose low product part falls below this would make some picks likelier.
        const std::uint32_t threshold = static_cast<std::uint32_t>(0u - m) % m;
        while (low < threshold) {
            product = static_cast<std::uint64_t>(m) * static_cast<std::uint32_t>(rng());
            low = static_cast<std::uint32_t>(product);
        }
    }
    return static_cast<std::uint32_t>(product >> 32);
}

Bot::Bot(std::string name, std::uint32_t seed, double timeScale,
         std::function<void(const std::string&)> logFunction)
    : name(std::move(name)), rng(seed), timeScale(timeScale), logFunction(std::move(logFunction)) {}

Bot::~Bot() = default;

void Bot::logText(const std::string& text) {
    if (!logFunction) return;
    if (text.size() >= 2 && text[0] == '\r' && text[1] == '\n') {
        logFunction(name + ": " + text.substr(2));
    } else {
        logFunction(name + ": " + text);
    }
}

void Bot::showResult(const std::string& text) {
    if (!logFunction) return;
    logFunction(name + ": [Tulemused] " + text);
}

std::mutex& Bot::hostMutex() { return mutex; }

void Bot::delayMs(int ms) {
    // ms * 1000 wraps like the 32-bit product it is meant to be, without overflowing.
    const auto scaledMs =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(ms) * 1000u);
    const double product = static_cast<double>(scaledMs) * timeScale;
    // Also refuses NaN, which no cast to an integer can take.
    if (!(product >= 1.0)) return;
    constexpr double longest = 9.0e18;
    const auto microseconds =
        static_cast<std::int64_t>(product < longest ? product : longest);
    // sleep_for resumes after a signal for the time that remained.
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

void Bot::submit(const Command& command) {
    if (!command.text.empty()) logText(command.text);
    if (!command.line.empty() && stream != nullptr) sendBlock(*stream, command.line);
}

namespace {

// Cards above 70 count for every suit.
int countForSuit(const CardCode (&hand)[9], int suit) {
    int count = 0;
    for (CardCode card : hand) {
        if (card > 70 || card % 10 == suit) ++count;
    }
    return count;
}

}  // namespace

void Bot::onBidTurn() {
    int maxCount = 0;
    for (int suit = 2; suit <= 4; ++suit) {
        const int count = countForSuit(state.hand, suit);
        if (count > maxCount) maxCount = count;
    }
    const int diamondsCount = countForSuit(state.hand, 1);

    if (diamondsCount > 5) {
        if (drawReal(rng) < 0.3) {
            submit(makeDiamondsBid(state));
            return;
        }
    }
    if (drawReal(rng) < 0.4) {
        submit(makePass(state));
        return;
    }
    for (int bid = 1; bid <= maxCount; ++bid) {
        if (isBidAllowed(bid, state.bids)) {
            submit(makeBid(state, bid));
            return;
        }
    }
    submit(makePass(state));
}

void Bot::onTrumpTurn() {
    int choice = Diamonds;
    int best = -1;
    for (int suit = 2; suit <= 4; ++suit) {
        const int count = countForSuit(state.hand, suit);
        if (count > best && canMakeTrump(state.hand, suit, state.bids[1])) {
            choice = suit;
            best = count;
        }
    }
    submit(makeTrumpChoice(state, choice));
}

void Bot::onPlayTurn() {
    int held = state.cardsLeft[0];
    if (held > 9) held = 9;
    std::array<int, 9> legal{};
    std::uint32_t m = 0;
    for (int i = 0; i < held; ++i) {
        if (isLegalPlay(state.hand, state.trick, state.trump, state.hand[i])) legal[m++] = i;
    }
    if (m == 0) return;
    const std::uint32_t k = drawPick(rng, m);
    submit(makePlay(state, legal[k]));
}

}  // namespace dorvi::client
