// The fleet ban commands (unlisted): qz_sv_FleetScope runs one command line with the scope of the
// bans it makes chosen, and qz_sv_FleetStatus shows the exchange, the queue, the cache and the
// refused packets.
#include <cinttypes>
#include <cstring>

#include "commands/dispatch.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "remote/fleet.h"
#include "remote/fleet_store.h"
#include "util/compare.h"
#include "util/text.h"

// qz_sv_FleetScope fleet|local [command line]: the bans that command line makes are fleet-wide or
// this server's only, whatever qz_sv_FleetBanDefault says. The line runs with the same source.
void cmd_fleetscope(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    while (*p == ' ' || *p == '\t') p++;
    char word[16];
    int n = 0;
    while (p[n] && p[n] != ' ' && p[n] != '\t' && n < qz::cap(word) - 1) {
        word[n] = p[n];
        n++;
    }
    word[n] = 0;
    p += n;
    while (*p == ' ' || *p == '\t') p++;
    int scope = trcasecmp(word, "fleet") == 0 ? 1 : trcasecmp(word, "local") == 0 ? 0 : -1;
    if (scope < 0 || !*p) {
        svMsg(sv, "qz_sv_FleetScope fleet|local [ban command]: default for bans is %s",
              sv->fleet.banDefault ? "fleet" : "local");
        return;
    }
    char line[QZ_LINE_MAX];
    QZ_COPY(line, p);
    int before = sv->fleet.scope;
    sv->fleet.scope = scope;
    sv_cmd(sv, call.source, line, call.flags);
    sv->fleet.scope = before;
}

// qz_sv_FleetStatus: one line each for the exchange, each master, the reports, the cache and the
// refusals. Before the first frame nothing has been tried yet, and it says so rather than
// guessing at the key.
void cmd_fleetstatus(stQzSv* sv, const CmdCall&) {
    const stFleet& f = sv->fleet;
    const char* state = f.active        ? "running"
                        : !f.configured ? "not running yet (starts with the next frame)"
                        : f.keyRetry    ? "not running, no usable qzfleet.key"
                        : f.service[0] && f.serverId[0] ? "not running (see the lines above)"
                                                        : "not running";
    svMsg(sv, "Fleet: service %s, this server \"%s\", %s", f.service[0] ? f.service : "(none)",
          f.serverId[0] ? f.serverId : "(none)", state);
    for (int i = 0; f.active && i < f.masterCount; i++) {
        const stFleetMaster& m = f.masters[i];
        svMsg(sv, "Fleet: master %s: %s%s, %lu packets accepted", m.name,
              i == f.current ? "asked now" : "standby", m.udp.fd > 0 ? "" : " (not resolved yet)",
              m.accepted);
    }
    svMsg(sv, "Fleet: bans default to %s, vote bans to %s", f.banDefault ? "fleet" : "local",
          f.voteBan ? "fleet" : "local");
    svMsg(sv,
          "Fleet: %d report%s waiting, %lu refused (qzfleetrefused.log); %lu packets sent, %lu "
          "resent; %lu answers, %lu pushes; %u failover%s",
          f.queued, f.queued == 1 ? "" : "s", f.reportsRefused, f.sent, f.resent, f.answers,
          f.pushes, f.failovers, f.failovers == 1 ? "" : "s");
    svMsg(sv, "Fleet: %d fleet ban%s known, synced through change #%" PRIu64 "%s", f.cached,
          f.cached == 1 ? "" : "s", f.syncId,
          f.syncedOnce ? ""
          : f.active   ? " (catching up)"
                       : "");
    svMsg(sv,
          "Fleet: packets accepted %lu; refused: bad-syntax %lu, unknown-server %lu, cut-off %lu, "
          "bad-mac %lu, replay %lu",
          f.refused[QZF_OK], f.refused[QZF_BAD_SYNTAX], f.refused[QZF_UNKNOWN_SERVER],
          f.refused[QZF_CUT_OFF], f.refused[QZF_BAD_MAC], f.refused[QZF_REPLAY]);
}

namespace {

// The first word of the arguments (at most size-1 characters); false when there is none.
bool firstWord(const char* args, char* out, int size) {
    while (*args == ' ' || *args == '\t') args++;
    int n = 0;
    while (args[n] && args[n] != ' ' && args[n] != '\t' && n < size - 1) {
        out[n] = args[n];
        n++;
    }
    out[n] = 0;
    return n > 0;
}

// A text value: shown without an argument, else set ("-" empties it). A value that does not
// pass ok is refused with one line (and why, when ok says) and the old value stays.
void textValue(stQzSv* sv, const CmdCall& call, const char* name, char* field, int size,
               bool (*ok)(const char*, int, char*, int)) {
    char word[QZF_SERVICE_MAX + 2];
    if (!firstWord(call.args, word, qz::cap(word))) {
        svMsg(sv, "%s is \"%s\"", name, field);
        return;
    }
    if (!strcmp(word, "-")) word[0] = 0;
    char why[128] = "";
    const char* p = call.args;
    while (*p == ' ' || *p == '\t') p++;
    bool more = slen(p) > slen(word) && strcmp(word, "") != 0;
    if (more) QZ_COPY(why, "one value without blanks expected");
    if (more || slen(word) >= size || (word[0] && !ok(word, slen(word), why, qz::cap(why)))) {
        svMsg(sv, "%s: value refused%s%s%s: %.80s (it stays \"%s\")", name, why[0] ? " (" : "", why,
              why[0] ? ")" : "", p, field);
        return;
    }
    trcpyz(field, word, size - 1);
    svMsg(sv, "%s set to \"%s\"", name, field);
}

// A 0/1 value: shown without an argument, else set.
void flagValue(stQzSv* sv, const CmdCall& call, const char* name, int* field) {
    char word[16];
    if (!firstWord(call.args, word, qz::cap(word))) {
        svMsg(sv, "%s is %d", name, *field);
        return;
    }
    if (strcmp(word, "0") && strcmp(word, "1")) {
        svMsg(sv, "%s: 0 (this server only) or 1 (fleet-wide)", name);
        return;
    }
    *field = word[0] - '0';
    svMsg(sv, "%s set to %d", name, *field);
}

bool serviceOk(const char* s, int, char* why, int whySize) {
    return fleetServiceParse(s, nullptr, why, whySize) > 0;
}

bool serverOk(const char* s, int n, char*, int) { return fleetIdOk(s, n); }

}  // namespace

void cmd_fleetservice(stQzSv* sv, const CmdCall& call) {
    textValue(sv, call, "qz_sv_FleetService", sv->fleet.service, qz::cap(sv->fleet.service),
              serviceOk);
}

void cmd_fleetserver(stQzSv* sv, const CmdCall& call) {
    textValue(sv, call, "qz_sv_FleetServer", sv->fleet.serverId, qz::cap(sv->fleet.serverId),
              serverOk);
}

void cmd_fleetbandefault(stQzSv* sv, const CmdCall& call) {
    flagValue(sv, call, "qz_sv_FleetBanDefault", &sv->fleet.banDefault);
}

void cmd_fleetvoteban(stQzSv* sv, const CmdCall& call) {
    flagValue(sv, call, "qz_sv_FleetVoteBan", &sv->fleet.voteBan);
}
