// The fleet service's administration commands (`qzmaster servers ...`, `qzmaster bans ...`,
// `qzmaster --migrate`). docs/fleet-service.md describes them.
#pragma once

#include <memory>
#include <string>

#include "qzmaster/fleet_store.h"

namespace qzm {

// The store named by DB (PostgreSQL) or else DIR (the file store); null with *error set.
std::unique_ptr<FleetStore> openFleetStore(const std::string& db, const std::string& dir,
                                           std::string* error);
// The file store's folder: FLEETDIR when given, else SERVEDDIR/fleet (a folder of its own inside
// the master's served folder: the master serves plain names only, never a path); "" for none.
std::string fleetFolder(const std::string& servedDir, const std::string& fleetDir);
// Runs `servers ...` or `bans ...` (ARGV[0] is that word); returns the exit status.
int fleetCommand(int argc, char** argv);
// Applies the schema migrations (database) or creates the log (folder); the exit status.
int fleetMigrate(const std::string& db, const std::string& dir);

}  // namespace qzm
