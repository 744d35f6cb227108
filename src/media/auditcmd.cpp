// qz_sv_AuditShow [count] [filter]: the last records of the audit log on the console.
#include <cstdlib>

#include "commands/handlers.h"
#include "commands/table.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"

namespace {

// Records shown when no count is given, and at most.
constexpr int kDefaultShown = 20;
constexpr int kMostShown = 200;

void showLine(void* ctx, const char* line) { svCon(static_cast<stQzSv*>(ctx), "%s", line); }

}  // namespace

void cmd_auditshow(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    int count = kDefaultShown;
    if (*p >= '0' && *p <= '9') {
        count = atoi(p);
        while (*p >= '0' && *p <= '9') p++;
        while (*p == ' ' || *p == '\t') p++;
    }
    if (count < 1) count = 1;
    if (count > kMostShown) count = kMostShown;
    int shown = auditTail(sv, p, count, showLine, sv);
    if (shown < 0) {
        svCon(sv, "No audit log (%s)", QZ_AUDIT_FILE);
        return;
    }
    svCon(sv, "End of Audit Records (%d Record%s)", shown, shown == 1 ? "" : "s");
}
