// The player slots: admitting and releasing players as the host reports them, the per-slot
// GUID game variables, and the small per-player figures the listings print.
#include "players/slots.h"

#include <climits>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/refusals.h"
#include "host/state.h"
#include "players/bans.h"
#include "players/kick.h"
#include "players/names.h"
#include "players/power.h"
#include "remote/guidauth.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

constexpr const char* kMaskBanned =
    "Your IP Address or Subnet has been banned from this server by Kestrine Admin";
constexpr const char* kNameBanned =
    "Your Player Name has been banned from this server by Kestrine Admin";

// Copies the next "\\"-separated field of a connect description, cut to the record's size.
const char* takeField(const char* p, char* out, int size) {
    int n = 0;
    while (*p && *p != '\\') {
        if (n < size - 1) out[n++] = *p;
        p++;
    }
    out[n] = 0;
    return *p == '\\' ? p + 1 : p;
}

constexpr const char* kIdentityTooLong = "Your GUID or address is too long for this server";

// The four fields of a connect text, each bounded on its own.
struct ConnectFields {
    char name[33];
    char guid[33];
    char address[33];
    char os[8];
    bool guidTooLong;
    bool addressTooLong;
};

// Copies the field that starts at data[*at] (up to a "\\", a NUL or the end of the length) into
// out, at most size - 1 bytes; returns true when it had more than that.
bool splitField(const char* data, int length, int* at, char* out, int size) {
    int n = 0;
    bool over = false;
    int i = *at;
    while (i < length && data[i] && data[i] != '\\') {
        if (n < size - 1)
            out[n++] = data[i];
        else
            over = true;
        i++;
    }
    out[n] = 0;
    *at = i < length && data[i] == '\\' ? i + 1 : i;
    return over;
}

// A NUL inside the data ends the text there.
void splitConnect(const char* data, int length, ConnectFields* f) {
    int at = 0;
    splitField(data, length, &at, f->name, qz::cap(f->name));
    f->guidTooLong = splitField(data, length, &at, f->guid, qz::cap(f->guid));
    f->addressTooLong = splitField(data, length, &at, f->address, qz::cap(f->address));
    splitField(data, length, &at, f->os, qz::cap(f->os));
}

// The address without its port, for the exact comparisons with the special words.
void addressHost(const char* address, char* out, int size) {
    int n = 0;
    while (address[n] && address[n] != ':' && n < size - 1) {
        out[n] = address[n];
        n++;
    }
    out[n] = 0;
}

// A refused client: the dialog text goes to his game, then the host drops him.
void refuse(stQzSv* sv, int slot, const char* dialog, const char* dropReason) {
    svSendClient(sv, slot, "%s", dialog);
    svHost(sv, "DropClient", "%d %s", slot, dropReason);
}

// The mask or name a "MASK" or "NAME" entry bans: the first quoted text of its body.
void bannedText(stQzSv* sv, int banSlot, char* out, int size) {
    out[0] = 0;
    stBanEntry* e = banEntry(sv, banSlot);
    if (!e) return;
    const char* p = strchr(banBody(sv, e), '"');
    if (!p) return;
    const char* end = strchr(++p, '"');
    int n = end ? static_cast<int>(end - p) : slen(p);
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

// Runs the checks of the kick/ban list on a connecting client. Returns false after refusing him.
bool admissible(stQzSv* sv, int slot, const Qz_Sv_Client_s& c) {
    stBanVerdict v;
    banCheck(sv, c.guid, c.address, c.name, qzMonoTick(), &v);
    const char* guidText = plGuidText(&c);
    if (v.rejoin != 0) {
        if (v.rejoin < 0) {
            refuse(sv, slot, kRefuseBanned, "Prior Kick/Ban");
            svMsg(sv,
                  "Connection Refused (slot #%d) %s [%s] \"%s\" Prior Kick/Ban (#%d: permanent)",
                  slot, c.address, guidText, c.name, v.rejoinSlot);
        } else {
            char dialog[160];
            QZ_TRF(dialog, kRefuseRejoinFmt, v.rejoin);
            refuse(sv, slot, dialog, "Prior Kick/Ban");
            svMsg(sv,
                  "Connection Refused (slot #%d) %s [%s] \"%s\" Prior Kick/Ban (#%d: %d minute%s "
                  "left)",
                  slot, c.address, guidText, c.name, v.rejoinSlot, v.rejoin,
                  v.rejoin == 1 ? "" : "s");
        }
        return false;
    }
    char banned[QZ_BAN_BODY_MAX + 1];
    char dialog[256];
    if (v.maskSlot) {
        QZ_TRF(dialog, kRefuseOtherFmt, kMaskBanned);
        refuse(sv, slot, dialog, kMaskBanned);
        bannedText(sv, v.maskSlot, banned, qz::cap(banned));
        svMsg(sv, "Ban Mask Kicked %d (#%d:%s) %s %s", slot, v.maskSlot, banned, c.name, guidText);
        return false;
    }
    if (v.nameSlot) {
        QZ_TRF(dialog, kRefuseOtherFmt, kNameBanned);
        refuse(sv, slot, dialog, kNameBanned);
        bannedText(sv, v.nameSlot, banned, qz::cap(banned));
        svMsg(sv, "Ban Name Kicked %d (#%d:%s) %s %s", slot, v.nameSlot, banned, c.name, guidText);
        return false;
    }
    return fleetAdmit(sv, slot, &c);
}

// Takes a described client into a slot: checks, record, connection line, GUID variables, and
// the start of the client-module exchange.
int admit(stQzSv* sv, int slot, const char* desc) {
    Qz_Sv_Client_s c;
    memset(&c, 0, sizeof c);
    char os[8];
    const char* p = takeField(desc, c.name, qz::cap(c.name));
    p = takeField(p, c.guid, qz::cap(c.guid));
    p = takeField(p, c.address, qz::cap(c.address));
    takeField(p, os, qz::cap(os));
    c.os = os[0] ? os[0] : '?';
    // An empty address would mark the slot free while the game holds a player in it.
    if (!c.address[0]) QZ_COPY(c.address, "unknown");
    if (!strcmp(c.guid, "NO_GUID")) c.guid[0] = 0;

    const bool exempt = (plIsBot(&c) && !svHostDropsBots(sv)) || plIsHostPlayer(&c);
    // The GUID rules come first: a GUID the host works out must meet the ban checks too.
    if (sv->enabled && !plIsBot(&c) && !plIsHostPlayer(&c) && !guidAuthAdmit(sv, slot, &c))
        return QZ_REFUSE;
    if (sv->enabled && !exempt && !admissible(sv, slot, c)) return QZ_REFUSE;

    unsigned now = GetTickCount();
    // A game without the client module has no exchange to wait for: its players are in play.
    c.status = plIsBot(&c) ? QZ_ST_SBOT : svNoClientModule(sv) ? QZ_ST_OK : QZ_ST_PRE;
    c.power = sv->set.powerDef;
    c.connectTick = now;
    c.statTick = qzMonoTick();  // play time is measured on the monotonic clock
    QZ_COPY(c.authState, plIsBot(&c) ? "BOT" : "?");
    c.seq = ++sv->players.seq;
    sv->players.cl[slot - 1] = c;
    svMsg(sv, "New Connection (slot #%d) %s [%s] \"%s\" (seq %lu)", slot, c.address, plGuidText(&c),
          c.name, c.seq);
    plSetGuidCvars(sv, slot);
    pwConnect(sv, slot);
    if (!nmConnect(sv, slot)) return QZ_REFUSE;
    if (c.status == QZ_ST_PRE && sv->enabled) plHello(sv, slot);
    if (sv->enabled) guidAuthConnect(sv, slot);
    if (sv->enabled) fleetConnect(sv, slot);
    return QZ_ADMIT;
}

void logLost(stQzSv* sv, int slot, const char* fmt) {
    const Qz_Sv_Client_s* c = &sv->players.cl[slot - 1];
    svMsg(sv, fmt, slot, c->address, plGuidText(c), c->authState, c->name);
}

void clearSlot(stQzSv* sv, int slot) {
    pwLeave(sv, slot);
    memset(&sv->players.cl[slot - 1], 0, sizeof sv->players.cl[slot - 1]);
    plSetGuidCvars(sv, slot);
}

}  // namespace

const char* plStatusName(int status) {
    static const char* const kNames[] = {"PRE ", "INIT", "UPDT", "OK  ", "SPEC", "SBOT"};
    return status >= 0 && status <= 5 ? kNames[status] : "UNKN";
}

Qz_Sv_Client_s* plSlot(stQzSv* sv, int slot) {
    return slot >= 1 && slot <= QZ_SLOTS ? &sv->players.cl[slot - 1] : nullptr;
}

Qz_Sv_Client_s* plPlayer(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plSlot(sv, slot);
    return c && c->address[0] ? c : nullptr;
}

const char* plGuidText(const Qz_Sv_Client_s* cl) { return cl->guid[0] ? cl->guid : "NO_GUID"; }

bool plIsBot(const Qz_Sv_Client_s* cl) {
    char host[33];
    addressHost(cl->address, host, qz::cap(host));
    return trcasecmp(host, "bot") == 0;
}

bool plIsHostPlayer(const Qz_Sv_Client_s* cl) {
    char host[33];
    addressHost(cl->address, host, qz::cap(host));
    return trcasecmp(host, "loopback") == 0 || trcasecmp(host, "localhost") == 0 ||
           strcmp(host, "127.0.0.1") == 0;
}

bool plGuidValid(const char* guid) {
    int n = 0;
    for (; guid[n]; ++n) {
        char c = guid[n];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex || n >= 32) return false;
    }
    return n == 32;
}

// The product is taken in 64 bits: with a 32-bit long, count * 100 overflows above 21 million.
long plAuthRate(const Qz_Sv_Client_s* cl, unsigned now) {
    long long tenths = tickElapsed(now, cl->connectTick) / 6000;
    if (tenths <= 0) return 0;
    long long value = static_cast<long long>(cl->authCount) * 100 / tenths;
    if (value > LONG_MAX) return LONG_MAX;
    if (value < LONG_MIN) return LONG_MIN;
    return static_cast<long>(value);
}

int plRecentSs(const Qz_Sv_Client_s* cl, unsigned now) {
    int n = 0;
    for (unsigned t : cl->ssTicks) {
        if (tickElapsed(now, t) <= 600000) n++;
    }
    return n;
}

// The connect text is split into its four fields before anything is bounded, so a long name
// cannot push the GUID or the address out of reach of the ban checks. The name is cut on its
// own; a GUID or an address longer than its field is refused, since a cut one could pass a ban
// that the whole one would meet. The fields are joined again, each within its bound, into the
// description that admit reads.
int plConnect(stQzSv* sv, int slot, const char* data, int length) {
    ConnectFields f;
    splitConnect(data, data && length > 0 ? length : 0, &f);
    char desc[256];
    QZ_TRF(desc, "%s\\%s\\%s\\%s", f.name, f.guid, f.address, f.os);
    if (!plSlot(sv, slot)) {
        svMsg(sv, "ERROR: Client list full, unable to add new client reported by Game Server (%s)",
              desc);
        return QZ_REFUSE;
    }
    // The game re-used the slot without reporting the earlier player gone.
    if (plPlayer(sv, slot)) {
        logLost(sv, slot, "Lost Connection (slot #%d) %s %s(%s) %s");
        clearSlot(sv, slot);
    }
    if (sv->enabled && (f.guidTooLong || f.addressTooLong)) {
        char dialog[160];
        QZ_TRF(dialog, kRefuseOtherFmt, kIdentityTooLong);
        refuse(sv, slot, dialog, kIdentityTooLong);
        svMsg(sv, "Connection Refused (slot #%d) %s [%s] \"%s\" %s too long", slot, f.address,
              f.guid, f.name, f.guidTooLong ? "GUID" : "address");
        return QZ_REFUSE;
    }
    return admit(sv, slot, desc);
}

void plDisconnect(stQzSv* sv, int slot) {
    if (!plPlayer(sv, slot)) {
        char which[16];
        QZ_TRF(which, "slot #%d", slot);
        svMsg(sv,
              "ERROR: Game Server reports dropping the connection for a client unknown to "
              "Kestrine (%s)",
              which);
        return;
    }
    logLost(sv, slot, "Lost Connection (slot #%d) %s %s(%s) %s");
    clearSlot(sv, slot);
}

void plRelease(stQzSv* sv, int slot) {
    if (!plPlayer(sv, slot)) return;
    logLost(sv, slot, "Lost Connection {slot #%d} %s %s(%s) %s");
    clearSlot(sv, slot);
}

// A new name is checked against the name bans as a connecting one is, then by the name rules.
void plRename(stQzSv* sv, int slot, const char* data, int length) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    char name[33];
    int n = data && length > 0 ? length : 0;
    if (n > qz::cap(name) - 1) n = qz::cap(name) - 1;
    if (n) memcpy(name, data, static_cast<size_t>(n));
    name[n] = 0;
    svMsg(sv, "Name Change (slot #%d) \"%s\" to \"%s\"", slot, c->name, name);
    QZ_COPY(c->name, name);
    if (!sv->enabled || plIsBot(c) || plIsHostPlayer(c)) return;
    int banSlot = banNameFind(sv, c->name);
    if (!banSlot) {
        nmRename(sv, slot);
        return;
    }
    char dialog[256];
    QZ_TRF(dialog, kRefuseOtherFmt, kNameBanned);
    char banned[QZ_BAN_BODY_MAX + 1];
    bannedText(sv, banSlot, banned, qz::cap(banned));
    svMsg(sv, "Ban Name Kicked %d (#%d:%s) %s %s", slot, banSlot, banned, c->name, plGuidText(c));
    refuse(sv, slot, dialog, kNameBanned);
    plRelease(sv, slot);
}

// Slots are numbered 1..64 in the variable names as everywhere else. guid_qz_NN holds the GUID
// the client reported, guid_sv_NN the GUID once the client module finished its exchange.
void plSetGuidCvars(stQzSv* sv, int slot) {
    const Qz_Sv_Client_s* c = plSlot(sv, slot);
    if (!c) return;
    const bool used = c->address[0] != 0;
    const bool settled = c->status >= QZ_ST_OK && c->status <= QZ_ST_SBOT;
    svHost(sv, "Cvar_Set", "guid_qz_%02d %s", slot, used ? plGuidText(c) : "EmptySlot");
    svHost(sv, "Cvar_Set", "guid_sv_%02d %s", slot,
           !used     ? "EmptySlot"
           : settled ? plGuidText(c)
                     : "PENDING");
}

void plResetAll(stQzSv* sv) {
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) clearSlot(sv, slot);
}

void plTellAll(stQzSv* sv, const char* text) {
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (c && !plIsBot(c)) svSendClient(sv, slot, "%s", text);
    }
}

// "QZ_SV_INIT": the game server restarted and holds no players.
void dir_init(stQzSv* sv, const CmdCall&) {
    long n = 0;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) n += plPlayer(sv, slot) ? 1 : 0;
    plResetAll(sv);
    svMsg(sv, "All players re-initialized (%ld)", n);
}

// "QZ_SV_ADDCLIENT name\guid\address\os": a client reported as a console line, taken into the
// lowest free slot. A refused client is dropped by slot number as at QZ_EV_CONNECT.
void dir_addclient(stQzSv* sv, const CmdCall& call) {
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        if (!plPlayer(sv, slot)) {
            plConnect(sv, slot, call.args, slen(call.args));
            return;
        }
    }
    svMsg(sv, "ERROR: Client list full, unable to add new client reported by Game Server (%s)",
          call.args);
}
