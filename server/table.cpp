#include "server/table.h"

namespace dorvi::server {

void DorviTable::seatPlayer(DorviPlayer*) {}
void DorviTable::nextPhase() { phase += 1; }
bool DorviTable::matchGoesOn() const { return scoreA <= 11 && scoreB <= 11; }
void DorviTable::newDeal() {}
void DorviTable::abortTable() {}
void DorviTable::broadcast(std::string_view) {}
bool DorviTable::full() const { return seated == 4; }

}  // namespace dorvi::server
