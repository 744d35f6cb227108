// Asking a player's game for a screenshot: the qz_sv_GetSs command, the request routine with
// its limits, serial and files, and the per-slot trigger.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/random.h"
#include "util/text.h"

namespace {

// Player text for an HTML page: <, >, & and " become entities and control bytes blanks, so a
// name cannot inject markup into the index the administrator opens in a browser.
void htmlText(char* out, int size, const char* text) {
    int n = 0;
    out[0] = 0;
    for (const char* p = text; *p; ++p) {
        const char* entity = nullptr;
        switch (*p) {
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '&': entity = "&amp;"; break;
            case '"': entity = "&quot;"; break;
            default: break;
        }
        if (entity) {
            int len = slen(entity);
            if (n + len > size - 1) break;
            memcpy(out + n, entity, static_cast<size_t>(len));
            n += len;
        } else {
            if (n + 1 > size - 1) break;
            unsigned char c = static_cast<unsigned char>(*p);
            out[n++] = c < 32 || c == 127 ? ' ' : *p;
        }
        out[n] = 0;
    }
}

// The ring keeps the three most recent requests: a new one replaces a tick never set, else the
// oldest.
void recordTick(Qz_Sv_Client_s* c, unsigned now) {
    int oldest = 0;
    long oldestAge = -1;
    for (int i = 0; i < 3; ++i) {
        if (c->ssTicks[i] == 0) {
            oldest = i;
            break;
        }
        long age = tickElapsed(now, c->ssTicks[i]);
        if (age > oldestAge) {
            oldestAge = age;
            oldest = i;
        }
    }
    c->ssTicks[oldest] = now;
}

bool tooSoon(const Qz_Sv_Client_s* c, unsigned now) {
    for (unsigned t : c->ssTicks)
        if (t != 0 && tickElapsed(now, t) < 30000) return true;
    return false;
}

void appendIndex(stQzSv* sv, const char* folder, long serial, const Qz_Sv_Client_s* c) {
    char name[33 * 6], guid[33 * 6];
    htmlText(name, qz::cap(name), c->name);
    htmlText(guid, qz::cap(guid), plGuidText(c));
    char os = c->os >= '0' && c->os <= 'z' && c->os != '<' && c->os != '>' ? c->os : '?';
    struct tm lt = {};
    qzLocalTime(qzTime(), &lt);
    char line[600];
    QZ_TRF(line,
           "<p> <a href=qz%06ld.htm target=_blank>%06ld</a> \"%s\" (%c) GUID=%-32s(%s) "
           "[%04u.%02u.%02u %02u:%02u:%02u]\r\n",
           serial, serial, name, os, guid, c->authState, static_cast<unsigned>(lt.tm_year + 1900),
           static_cast<unsigned>(lt.tm_mon + 1), static_cast<unsigned>(lt.tm_mday),
           static_cast<unsigned>(lt.tm_hour), static_cast<unsigned>(lt.tm_min),
           static_cast<unsigned>(lt.tm_sec));
    if (!ssAppendIndex(sv, folder, line)) {
        svMsg(sv, "Screenshot index %s%s cannot be written", folder, QZ_SSINDEX_FILE);
    }
}

// Ends the slot's own pending request and any request whose serial comes round again, before
// the new page is written: a late picture or ending of the old request must never land on the
// files of the new one.
void endSuperseded(stQzSv* sv, int slot, long serial) {
    for (int i = 1; i <= QZ_SLOTS && sv->ss.pending > 0; ++i) {
        stSsTransfer* old = &sv->ss.t[i - 1];
        if (!old->serial || (i != slot && old->serial != serial)) continue;
        logSs(sv, "Screenshot %06ld abandoned: %s (slot=%d)", old->serial,
              i == slot ? "a new request was made" : "its serial was taken by a new request", i);
        ssAbandon(sv, i, old);
    }
}

}  // namespace

int ssRequest(stQzSv* sv, int kind, int slot, long* serialOut) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return QZ_SS_NO_PLAYER;
    if (svNoClientModule(sv)) {
        svMsg(sv, "Screenshot Request Ignored (Slot #%d) ... %s", slot, kNoClientModuleText);
        return QZ_SS_NO_CLIENT;
    }
    if (plIsBot(c) || c->status < QZ_ST_INIT || c->status > QZ_ST_SPEC) {
        svMsg(sv, "Screenshot Request Ignored (Slot #%d) ... No QZ client module answering (%s)",
              slot, plStatusName(c->status));
        return QZ_SS_NO_CLIENT;
    }
    unsigned now = GetTickCount();
    if (tooSoon(c, now)) {
        svMsg(sv,
              "Screenshot Request Ignored ... Less than 30 seconds have passed since last "
              "request.");
        return QZ_SS_TOO_SOON;
    }
    int recent = plRecentSs(c, now);
    if (recent >= 3) {
        svMsg(sv,
              "Screenshot Request Ignored (Slot #%d) ... There have been %d requests during the "
              "past 10 minutes.",
              slot, recent);
        return QZ_SS_TOO_MANY;
    }

    char folder[QZ_PATH_MAX];
    if (!ssFolder(sv, folder, qz::cap(folder))) {
        svMsg(sv, "Screenshot Request Failed (Slot #%d) ... Cannot create folder %s", slot, folder);
        return QZ_SS_FILE_ERROR;
    }
    const long serial = logSerialInRange(sv->set.ssNext, sv->set.ssFloor, sv->set.ssCeiling);
    endSuperseded(sv, slot, serial);
    if (!ssWritePage(folder, serial, "<p> Screenshot was not returned by Client.\r\n")) {
        svMsg(sv, "Screenshot Request Failed (Slot #%d) ... Cannot write %sqz%06ld.htm", slot,
              folder, serial);
        return QZ_SS_FILE_ERROR;
    }
    sv->set.ssNext = logSerialAfter(static_cast<int>(serial), sv->set.ssFloor, sv->set.ssCeiling);
    ssSaveNext(sv);
    recordTick(c, now);
    appendIndex(sv, folder, serial, c);

    stSsTransfer* t = &sv->ss.t[slot - 1];
    t->serial = serial;
    t->nonce = rand32();
    t->seq = c->seq;
    t->startTick = now;
    QZ_COPY(t->folder, folder);
    sv->ss.pending++;
    // Width, the random number, the serial, then the height, position, sample rate and delay.
    svSendClient(sv, slot, "%c%d %lu %ld %d %d %d %d %d", QZ_MSG_EXCHANGE, sv->set.ssWidth,
                 static_cast<unsigned long>(t->nonce), serial, sv->set.ssHeight, sv->set.ssXpct,
                 sv->set.ssYpct, sv->set.ssSrate, sv->set.ssDelay);
    logSs(sv, "Screenshot %06ld request (kind %d) sent to %d %s", serial, kind, slot, c->name);
    if (serialOut) *serialOut = serial;
    return QZ_SS_REQUESTED;
}

int ssGetSs(stQzSv* sv, const char* arg) {
    char text[64];
    const char* p = arg ? arg : "";
    while (*p == ' ' || *p == '\t') p++;
    QZ_COPY(text, *p == '"' ? p + 1 : p);
    int n = slen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '"'))
        text[--n] = 0;
    if (!*text) {
        svMsg(sv, "qz_sv_GetSs [slot # or \"search text\"] - Request Screenshot(s)");
        return 0;
    }
    bool digits = true;
    for (const char* q = text; *q; ++q) digits = digits && *q >= '0' && *q <= '9';
    int slots[QZ_SLOTS];
    int found = 0;
    if (digits) {
        int slot = n <= 3 ? atoi(text) : 0;
        if (plPlayer(sv, slot)) slots[found++] = slot;
    } else {
        found = plMatchAll(sv, text, slots, QZ_SLOTS);
    }
    if (!found) svMsg(sv, "Invalid Player Specified: %s", text);
    int made = 0;
    for (int i = 0; i < found; ++i) {
        long serial = 0;
        if (ssRequest(sv, QZ_SS_ADMIN, slots[i], &serial) != QZ_SS_REQUESTED) continue;
        svMsg(sv, "Screenshot %06lu Requested from %-2d %s", static_cast<unsigned long>(serial),
              slots[i], plSlot(sv, slots[i])->name);
        made++;
    }
    svMsg(sv, "%d Screenshot%s Requested", made, made == 1 ? "" : "s");
    return made;
}

void ssTrigger(stQzSv* sv, int slot, unsigned now) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || tickElapsed(now, c->ssTriggerTick) <= 60000) return;
    long serial = 0;
    if (ssRequest(sv, QZ_SS_TRIGGER, slot, &serial) == QZ_SS_REQUESTED) {
        svMsg(sv, "Screenshot %06lu Requested from %-2d %s", static_cast<unsigned long>(serial),
              slot, c->name);
    }
    c->ssTriggerTick = now;
}

// qz_sv_GetSs [slot # or "search text"]
void cmd_getss(stQzSv* sv, const CmdCall& call) { ssGetSs(sv, call.args); }
