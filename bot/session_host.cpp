#include "bot/session_host.h"

namespace dorvi::client {

void BlockingHost::setSessionActive(bool) {}
void BlockingHost::onBidTurn() {}
void BlockingHost::onTrumpTurn() {}
void BlockingHost::onPlayTurn() {}
void BlockingHost::onCardPlayed(int, int) {}
void BlockingHost::onTrumpSet(int) {}
void BlockingHost::onTrickComplete(const CardCode[4], const GameState&) {}
void BlockingHost::onDealEnd(int, int, int) {}

}  // namespace dorvi::client
