// The database migrations, numbered files in tools/qzmaster/sql built into the program in
// order; `qzmaster --db ... --migrate` applies those not yet recorded in schema_version.
#pragma once

#include <cstddef>

namespace qzm {

struct FleetMigration {
    int version;
    const char* name;
    const char* sql;
};
extern const FleetMigration kFleetMigrations[];
extern const size_t kFleetMigrationCount;

}  // namespace qzm
