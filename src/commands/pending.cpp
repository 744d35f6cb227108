// The commands and directives whose subsystem is not built yet. Each answers one line naming
// itself, "<name> is not available yet", so that every row of the command tables reaches a
// handler. The subsystem that builds one deletes its line from QZ_PENDING below and defines the
// handler in its own file; the list only ever shrinks.
#include "commands/pending.h"

#include "commands/handlers.h"
#include "host/bridge.h"

// handler, name as in the command tables
// (Every command and directive is built now; the list is kept for the ones to come.)
#define QZ_PENDING(X)

namespace {

[[maybe_unused]] void notYet(stQzSv* sv, const char* name) {
    svMsg(sv, "%s is not available yet", name);
}

}  // namespace

#define QZ_PENDING_HANDLER(fn, name) \
    void fn(stQzSv* sv, const CmdCall&) { notYet(sv, name); }
QZ_PENDING(QZ_PENDING_HANDLER)
#undef QZ_PENDING_HANDLER

#define QZ_PENDING_NAME(fn, name) name,
const char* const kPendingCommands[] = {QZ_PENDING(QZ_PENDING_NAME) nullptr};
#undef QZ_PENDING_NAME
const int kPendingCount = sizeof kPendingCommands / sizeof kPendingCommands[0] - 1;
