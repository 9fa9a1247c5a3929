#include "server/table.h"

namespace dorvi::server {

void DorviTable::sendNames() {}
void DorviTable::deal(std::mt19937&) {}
void DorviTable::promptBid() {}
void DorviTable::bid(DorviPlayer*, int) {}
void DorviTable::setContract(int) {}
void DorviTable::countPass() { passes += 1; }
void DorviTable::nextSeat() { current = current >= 3 ? 0 : current + 1; }

}  // namespace dorvi::server
