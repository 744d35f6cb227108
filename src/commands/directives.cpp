// The directives "QZ_SV_RESERVE" and "QZ_SV_RESOLVE". Their argument is the rest of the line,
// blanks around it removed (the host and the module agree on that syntax).
#include "commands/directives.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// The argument without surrounding quotes, cut to fit out.
void argument(const char* args, char* out, int size) {
    int n = slen(args);
    if (n >= 2 && args[0] == '"' && args[n - 1] == '"') {
        args++;
        n -= 2;
    }
    trcpyz(out, args, n < size - 1 ? n : size - 1);
}

}  // namespace

bool reserveFind(stQzSv* sv, const char* text) {
    if (!text || !*text) return false;
    for (const char* r : sv->cmd.reserved) {
        if (*r && trcasecmp(r, text) == 0) return true;
    }
    return false;
}

// A reservation is the text the host sends (a player's name or GUID, at most 63 characters),
// kept in a small fixed list: a repeated text is not stored twice, and when the list is full the
// oldest reservation gives way.
void dir_reserve(stQzSv* sv, const CmdCall& call) {
    char text[QZ_RESERVE_TEXT];
    argument(call.args, text, qz::cap(text));
    if (!*text) {
        svMsg(sv, "QZ_SV_RESERVE ignored: no text to reserve");
        return;
    }
    if (!reserveFind(sv, text)) {
        char* slot = nullptr;
        for (char* r : sv->cmd.reserved) {
            if (!*r) {
                slot = r;
                break;
            }
        }
        if (!slot) {
            slot = sv->cmd.reserved[sv->cmd.reserveNext];
            sv->cmd.reserveNext = (sv->cmd.reserveNext + 1) % QZ_RESERVE_MAX;
        }
        trcpyz(slot, text, QZ_RESERVE_TEXT - 1);
    }
    svMsg(sv, "Reservation added for [%s]", text);
}

// Resolves a host name to its first IPv4 address without holding up the frame: a dotted
// address answers at once, a name when the resolver has answered, in a later frame call
// (remoteFrame). One lookup runs at a time.
void dir_resolve(stQzSv* sv, const CmdCall& call) {
    char name[256];
    argument(call.args, name, qz::cap(name));
    stQzResolve* r = &sv->remote.directiveLookup;
    if (r->state == QZ_RES_PENDING) {
        svMsg(sv, "QZ_SV_RESOLVE ignored: [%s] is still being resolved", r->name);
        return;
    }
    if (!*name || strstr(name, "..")) {
        svMsg(sv, "[%s] not found", name);
        r->state = QZ_RES_IDLE;
        return;
    }
    resolveStart(r, name);
    sv->remote.busy = 1;
    resolveAnswer(sv);
}

void resolveAnswer(stQzSv* sv) {
    stQzResolve* r = &sv->remote.directiveLookup;
    int st = resolvePoll(r);
    if (st == QZ_RES_DONE) {
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &r->address.sin_addr, address, sizeof address);
        svMsg(sv, "[%s] %s", r->name, address);
    } else if (st == QZ_RES_FAILED) {
        svMsg(sv, "[%s] not found", r->name);
    } else {
        return;
    }
    r->state = QZ_RES_IDLE;
}
