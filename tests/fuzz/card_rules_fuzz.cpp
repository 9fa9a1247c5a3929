// The server feeds the card rules with what clients send: a card byte that
// need not be a card, a contract from any "next" byte, and card points summed
// over whatever cards were played. The rules must give a usable answer for
// every such value, and the bot must always find a card it may play.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "rules/card_rules.h"

using namespace dorvi;

namespace {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // Half of the draws are real cards (or no card), the rest any 16-bit value.
    CardCode card() {
        const std::uint8_t kind = byte();
        if (kind & 1) {
            const std::uint8_t pick = byte() % 37;
            return pick == 36 ? 0 : static_cast<CardCode>((pick / 4 + 1) * 10 + pick % 4 + 1);
        }
        return static_cast<CardCode>(byte() | (byte() << 8));
    }
    int smallInt() { return static_cast<int>(static_cast<std::int8_t>(byte())); }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    std::array<CardCode, 9> hand{};
    for (CardCode& c : hand) c = in.card();
    std::array<CardCode, 4> trick{};
    for (CardCode& c : trick) c = in.card();
    // The server reads contracts from a signed byte minus '0'.
    const int contract = in.smallInt() - '0';
    const int maker = in.byte() % 4;
    const int trumpSuit = in.smallInt();
    const int bid = in.smallInt();

    const int winner = findTrickWinner(trick, contract);
    FUZZ_CHECK(winner >= 0 && winner < 4, "trick winner outside the trick");
    for (CardCode c : trick) {
        const int points = cardPoints(c);
        FUZZ_CHECK(points == 0 || points == 2 || points == 3 || points == 4 || points == 10 || points == 11,
                   "card points of no card value");
    }

    // Cards from misbehaving clients can add up to more than a deal holds.
    for (int team0Points : {in.smallInt() + 60, static_cast<int>(in.byte()) * 2, in.smallInt() * 4}) {
        const DealScore score = dealScore(team0Points, contract, maker);
        FUZZ_CHECK(score.team == 0 || score.team == 1, "deal scored for a team that does not exist");
        FUZZ_CHECK(score.gamePoints >= 0 && score.gamePoints <= 12, "deal worth more than a match");
    }

    // Whatever the trick and the trump, a player holding cards may play one.
    std::array<CardCode, 9> held = hand;
    const auto heldEnd = std::remove(held.begin(), held.end(), CardCode{0});
    if (heldEnd != held.begin()) {
        bool anyLegal = false;
        for (auto it = held.begin(); it != heldEnd; ++it) anyLegal = anyLegal || isLegalPlay(hand, trick, trumpSuit, *it);
        FUZZ_CHECK(anyLegal, "no card of a non-empty hand may be played");
    }

    (void)canMakeTrump(hand, trumpSuit, bid);
    (void)isBidAllowed(bid, std::array<int, 4>{in.smallInt(), in.smallInt(), in.smallInt(), in.smallInt()});

    std::array<CardCode, 9> sorted = hand;
    sortHand(sorted);
    std::array<CardCode, 9> a = hand, b = sorted;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    FUZZ_CHECK(a == b, "sortHand lost or invented cards");
    return 0;
}
