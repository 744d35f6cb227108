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

// Resolves a host name to its first IPv4 address. The lookup blocks the frame while the resolver
// answers; it runs only when the host sends this directive, never on a timer.
void dir_resolve(stQzSv* sv, const CmdCall& call) {
    char name[256];
    argument(call.args, name, qz::cap(name));
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (!*name || getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) {
        svMsg(sv, "[%s] not found", name);
        return;
    }
    char address[INET_ADDRSTRLEN] = "";
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &in->sin_addr, address, sizeof address);
    freeaddrinfo(found);
    svMsg(sv, "[%s] %s", name, address);
}
