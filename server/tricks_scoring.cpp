#include "server/table.h"

namespace dorvi::server {

void DorviTable::playCard(int) {}
int DorviTable::trickWinner() const { return 0; }
void DorviTable::collectTrick() {}
int DorviTable::cardPointsA() const { return 0; }
void DorviTable::addDealScore(int) {}
void DorviTable::sendPoints(int) {}

}  // namespace dorvi::server
