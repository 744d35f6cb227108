// Built instead of the PostgreSQL store where libpq is not available (the 32-bit build): --db
// then says that it is not built in.
#include "qzmaster/fleet_store.h"

namespace qzm {

std::unique_ptr<FleetStore> makePgStore(const std::string&) { return nullptr; }
bool pgBuiltIn() { return false; }

}  // namespace qzm
