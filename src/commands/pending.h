// The list of commands and directives still answered "<name> is not available yet".
#pragma once

// Names as spelt in the command tables, closed by a null entry. A test checks that each of them
// still answers so, and that every other row of the tables does not.
extern const char* const kPendingCommands[];
extern const int kPendingCount;

struct stQzSv;
// Start-up duties not built yet, closed by a null entry; the start-up reports each with
// "Start-up duty not available yet: <duty>" (pendingDutiesReport).
extern const char* const kPendingDuties[];
extern const int kPendingDutyCount;
void pendingDutiesReport(stQzSv* sv);
