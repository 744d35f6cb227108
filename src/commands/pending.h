// The list of commands and directives still answered "<name> is not available yet".
#pragma once

// Names as spelt in the command tables, closed by a null entry. A test checks that each of them
// still answers so, and that every other row of the tables does not.
extern const char* const kPendingCommands[];
extern const int kPendingCount;
