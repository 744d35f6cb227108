// Client queries: the query commands (qz_sv_CvarVal, qz_sv_CvarSrch, qz_sv_BindSrch,
// qz_sv_CvarUser, qz_sv_CvarChanged), the host's cvar and bind directives, the range-check
// queries and automatic pulses run from the frame, and the answers of the client modules.
// Everything a player's game sends back is hostile: it is cut, cleaned and matched against a
// query the module asked before it reaches the console or a log, and the work one player's
// answers cause is bounded by the queries the module itself sent.
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "players/cvars.h"
#include "players/kick.h"
#include "players/slots.h"
#include "players/violations.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// Bytes of one answer packet that are looked at; the rest is cut.
constexpr int kAnswerMax = 2048;
// Items of one answer packet, and of one query in all; further items are not taken.
constexpr int kItemsPerPacket = 64;
constexpr int kItemsPerQuery = 256;
// Shown lengths of an item's name and value.
constexpr int kItemName = 64;
constexpr int kItemValue = 128;
// Ignored answers shown per player and minute, and violation reports taken per player and
// minute.
constexpr int kNoiseLines = 10;
constexpr int kViolationsPerMinute = 5;
// Range-check queries sent in one frame, however many players are due.
constexpr int kRangePerFrame = 8;
// Range-check queries of one player that may wait for their answer at once (the other places
// are for the administrator's queries), and how soon a pass held back by them is tried again.
constexpr int kRangeOpen = QZ_QUERIES_OPEN / 2;
constexpr int kRangeRetryMs = 50;
// The frame looks for new players and list changes at least this often.
constexpr int kLookMs = 1000;

const char* wireWord(int kind) {
    switch (kind) {
        case QZ_Q_VAL: return "QZ_CVAR";
        case QZ_Q_SRCH: return "QZ_CVARSRCH";
        case QZ_Q_BIND: return "QZ_BINDSRCH";
        case QZ_Q_USER: return "QZ_CVARUSER";
        case QZ_Q_CHANGED: return "QZ_CVARCHANGED";
        default: return "QZ_CVARS";
    }
}

// What a query asks for, as the result lines name it.
const char* kindName(int kind) {
    switch (kind) {
        case QZ_Q_VAL: return "Cvar Value";
        case QZ_Q_SRCH: return "Cvar Search";
        case QZ_Q_BIND: return "Bind Search";
        case QZ_Q_USER: return "User Cvar";
        case QZ_Q_CHANGED: return "Changed Cvar";
        default: return "Range Check";
    }
}

// A player the module may query: his client module finished the exchange.
Qz_Sv_Client_s* queryable(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || plIsBot(c)) return nullptr;
    return c->status == QZ_ST_OK || c->status == QZ_ST_SPEC ? c : nullptr;
}

// The query state of the player in slot, started afresh for a new connection.
stCvarSlot* slotState(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, unsigned now) {
    stCvarSlot* s = &sv->cvars.slot[slot - 1];
    if (s->live && s->seq == c->seq) return s;
    memset(s, 0, sizeof *s);
    s->live = 1;
    s->seq = c->seq;
    s->cursor = -1;
    // The first pass comes a few seconds after the player is seen, the slots' passes spread.
    int period = 60000 / (sv->set.cvarFreq > 0 ? sv->set.cvarFreq : 1);
    s->passTick = now - static_cast<unsigned>(period) + 2000u + static_cast<unsigned>(slot) * 100u;
    s->userTick = now;
    s->changedTick = now;
    return s;
}

// Printable text, double quotes as apostrophes, cut to size.
void clean(char* out, int size, const char* text, int length) {
    int n = 0;
    for (int i = 0; i < length && n < size - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[n++] = c == '"' ? '\'' : (c < 32 || c == 127) ? ' ' : static_cast<char>(c);
    }
    out[n] = 0;
}

// A result line: to the console (unless the query was automatic and not walked) and to the logs
// that qz_sv_CvarLogging names.
void result(stQzSv* sv, int slot, bool console, bool ignored, const char* fmt, const char* a,
            const char* b) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    char text[QZ_MSG_MAX];
    trf(text, qz::cap(text), fmt, a, b);
    if (console)
        svCon(sv, "%s (slot %d) query%s: %s", c->name, slot, ignored ? " (Ignored)" : "", text);
    logCvar(sv, slot, c->name, plGuidText(c), c->address, "query%s: %s",
            ignored ? " (Ignored)" : "", text);
}

// Counts an ignored answer; true while it may still be shown this minute.
bool noiseShown(stQzSv* sv, int slot, stCvarSlot* s, unsigned now) {
    if (!s->noiseCount || tickElapsed(now, s->noiseTick) >= 60000) {
        s->noiseTick = now;
        s->noiseCount = 0;
    }
    if (++s->noiseCount == kNoiseLines + 1) {
        svMsg(sv, "Further ignored answers from (slot #%d) %s are not shown for a minute", slot,
              plSlot(sv, slot)->name);
    }
    return s->noiseCount <= kNoiseLines;
}

// A wrong answer: after QZ_QUERY_FAULTS_MAX in a row the client module counts as malfunctioning
// and its answers are ignored. Range checks go on being asked; left unanswered they end in the
// "(IGNORING QUERIES) " violation, so a broken client cannot escape the checks.
void fault(stQzSv* sv, int slot, stCvarSlot* s) {
    if (s->malfunctioning) return;
    if (++s->faults >= QZ_QUERY_FAULTS_MAX) {
        s->malfunctioning = 1;
        svMsg(sv, "Malfunctioning QZ Client (slot %d) - Ignoring Cvar Queries", slot);
    }
}

void closeQuery(stQuery* q) { memset(q, 0, sizeof *q); }

int walkLevel(stQzSv* sv) { return sv->set.cvarWalk; }

// One item of a list answer walked through the checks (qz_sv_CvarWalk 1 and up). False when the
// player was removed.
bool walkItem(stQzSv* sv, int slot, const char* name, const char* value) {
    int level = walkLevel(sv);
    if (level < 1) return true;
    bool checked = false;
    for (int i = cvarFirstOfName(sv, name); i >= 0 && !checked; i = cvarNextOfName(sv, i)) {
        checked = cvarCheckAt(sv, i) != nullptr;
    }
    if (checked) return cvarCheckValue(sv, slot, name, value, level >= 2);
    if (level >= 4) result(sv, slot, false, false, "Walk: Cvar %s = %s (no check)", name, value);
    return true;
}

// Gives up a query that was not answered in time.
void giveUp(stQzSv* sv, int slot, stCvarSlot* s, stQuery* q) {
    int kind = q->kind;
    bool automatic = q->automatic != 0;
    char text[QZ_CVAR_NAME_MAX];
    QZ_COPY(text, q->text);
    int items = q->items;
    closeQuery(q);
    if (kind == QZ_Q_RANGE) {
        if (++s->missed >= QZ_QUERY_MISSED_MAX) {
            char reason[96];
            QZ_TRF(reason, "No answer to %d cvar range checks", s->missed);
            int missed = s->missed;
            s->missed = 0;
            plViolation(sv, slot, QZ_V_IGNORING_QUERIES, missed, reason, false);
        }
        return;
    }
    // A list that came in part and then stopped counts as answered.
    if (items > 0) return;
    result(sv, slot, !automatic, false, "No Answer to %s query \"%s\"", kindName(kind), text);
    fault(sv, slot, s);
}

// A place for a new query with the next id: a free one, or the oldest (the query it held is
// lost; its late answer counts as unasked).
stQuery* openQuery(stCvarSlot* s, int kind, int automatic, unsigned now) {
    stQuery* q = &s->open[0];
    for (stQuery& o : s->open) {
        if (!o.id) {
            q = &o;
            break;
        }
        if (static_cast<int>(o.sentTick - q->sentTick) < 0) q = &o;
    }
    closeQuery(q);
    if (++s->nextId == 0) s->nextId = 1;
    q->id = s->nextId;
    q->kind = kind;
    q->automatic = automatic;
    q->sentTick = now;
    return q;
}

// Sends the next range-check query of the player's pass; the pass ends when the list does.
void rangeQuery(stQzSv* sv, int slot, stCvarSlot* s, unsigned now) {
    int total = cvarCheckCount(sv);
    short picked[QZ_RANGE_CHUNK];
    int n = 0;
    int at = s->cursor < 0 ? 0 : s->cursor;
    char names[QZ_RANGE_CHUNK * QZ_CVAR_NAME_MAX + 16];
    names[0] = 0;
    for (; at < total && n < QZ_RANGE_CHUNK; ++at) {
        const stCvarCheck* k = cvarCheckAt(sv, at);
        if (!k) continue;
        // Several checks of one cvar need its value once, but asking twice is harmless and
        // keeps the answer's order the query's.
        picked[n++] = static_cast<short>(at);
        QZ_TRAF(names, " %s", k->name);
    }
    s->cursor = at < total ? at : -1;
    if (n == 0) return;
    stQuery* q = openQuery(s, QZ_Q_RANGE, 1, now);
    q->gen = sv->cvars.gen;
    q->count = n;
    memcpy(q->checks, picked, sizeof(short) * static_cast<size_t>(n));
    svSendClient(sv, slot, "%cQZ_CVARS %u%s", QZ_MSG_EXCHANGE, q->id, names);
}

// The items of one answer packet: "name value" lines after the header line.
struct Item {
    char name[kItemName];
    char value[kItemValue];
    bool hasValue;
};

// Splits the next line of p (up to end) into an item; false at the end.
bool nextItem(const char*& p, const char* end, Item* item) {
    if (p >= end) return false;
    const char* line = p;
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = nl ? nl : end;
    p = nl ? nl + 1 : end;
    if (stop > line && stop[-1] == '\r') stop--;
    const char* blank =
        static_cast<const char*>(memchr(line, ' ', static_cast<size_t>(stop - line)));
    const char* nameEnd = blank ? blank : stop;
    clean(item->name, qz::cap(item->name), line, static_cast<int>(nameEnd - line));
    item->hasValue = blank != nullptr;
    if (blank) {
        clean(item->value, qz::cap(item->value), blank + 1, static_cast<int>(stop - blank - 1));
    } else {
        item->value[0] = 0;
    }
    return true;
}

// An answer to a query that was asked: checks that each item fits the question, shows and logs
// it, walks or range-checks it. Returns false when the answer did not fit (a fault).
bool takeAnswer(stQzSv* sv, int slot, stQuery* q, const char* p, const char* end, bool more) {
    bool console = !q->automatic || walkLevel(sv) >= 3;
    Item item;
    int taken = 0;
    bool fits = true;
    while (taken < kItemsPerPacket && q->items < kItemsPerQuery && nextItem(p, end, &item)) {
        if (!item.name[0]) continue;
        taken++;
        int index = q->items++;
        const char* value = item.hasValue ? item.value : "(not set)";
        switch (q->kind) {
            case QZ_Q_VAL:
                if (index > 0 || trcasecmp(item.name, q->text) != 0) {
                    fits = false;
                    break;
                }
                result(sv, slot, console, false, "Cvar %s = %s", item.name, value);
                break;
            case QZ_Q_SRCH:
            case QZ_Q_BIND:
                if (!svFindNoCase(q->kind == QZ_Q_SRCH ? item.name : item.value, q->text) &&
                    !svFindNoCase(item.name, q->text)) {
                    fits = false;
                    break;
                }
                result(sv, slot, console, false,
                       q->kind == QZ_Q_SRCH ? "Cvar %s = %s" : "Bind %s = %s", item.name, value);
                if (q->kind == QZ_Q_SRCH && !walkItem(sv, slot, item.name, item.value)) return true;
                break;
            case QZ_Q_USER:
            case QZ_Q_CHANGED:
                if (console || sv->set.cvarLogging) {
                    result(sv, slot, console, false, "Cvar %s = %s", item.name, value);
                }
                if (!walkItem(sv, slot, item.name, item.value)) return true;
                break;
            case QZ_Q_RANGE: {
                if (index >= q->count) {
                    fits = false;
                    break;
                }
                if (q->gen != sv->cvars.gen) break;  // the list was emptied since
                const stCvarCheck* k = cvarCheckAt(sv, q->checks[index]);
                if (!k) break;  // deleted since
                if (trcasecmp(k->name, item.name) != 0) {
                    fits = false;
                    break;
                }
                if (!cvarCheckValue(sv, slot, item.name, item.value, walkLevel(sv) >= 2))
                    return true;
                break;
            }
            default: fits = false;
        }
        if (!fits) break;
    }
    if (!fits) return false;
    if (!more || q->items >= kItemsPerQuery) {
        if (q->kind == QZ_Q_SRCH || q->kind == QZ_Q_BIND || q->kind == QZ_Q_USER ||
            q->kind == QZ_Q_CHANGED) {
            char count[48];
            QZ_TRF(count, "%d", q->items);
            result(sv, slot, console, false, "End of %s results (%s found)", kindName(q->kind),
                   count);
        }
        if (q->kind == QZ_Q_VAL && q->items == 0) return false;
        if (q->kind == QZ_Q_RANGE && q->items < q->count) return false;
        closeQuery(q);
    }
    return true;
}

// "QZ_ANS <id> <more>\n<name> <value>\n...": more is 1 while further packets of the same answer
// follow.
void answerPacket(stQzSv* sv, int slot, const char* data, int length) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    unsigned now = GetTickCount();
    stCvarSlot* s = slotState(sv, slot, c, now);
    char buf[kAnswerMax];
    int n = length < kAnswerMax ? length : kAnswerMax;
    memcpy(buf, data, static_cast<size_t>(n));
    const char* end = buf + n;
    const char* nl = static_cast<const char*>(memchr(buf, '\n', static_cast<size_t>(n)));
    const char* body = nl ? nl + 1 : end;
    // Header: "QZ_ANS <id> <more>".
    char head[64];
    clean(head, qz::cap(head), buf, static_cast<int>((nl ? nl : end) - buf));
    unsigned long id = 0;
    int more = 0;
    char* after = nullptr;
    id = strtoul(head + 6, &after, 10);
    if (after && *after == ' ') more = after[1] == '1';
    stQuery* q = nullptr;
    if (id) {
        for (stQuery& o : s->open) {
            if (o.id == id) q = &o;
        }
    }
    if (!q || s->malfunctioning) {
        if (noiseShown(sv, slot, s, now)) {
            Item first;
            const char* p = body;
            if (!nextItem(p, end, &first)) first.name[0] = first.value[0] = 0;
            result(sv, slot, true, true, "%s %s", first.name, first.value);
        }
        // A wrong id from a working client is a fault; a malfunctioning one is ignored anyway.
        if (!q) fault(sv, slot, s);
        return;
    }
    if (takeAnswer(sv, slot, q, body, end, more != 0)) {
        if (plPlayer(sv, slot) && s->live) {
            s->faults = 0;
            if (q->kind == QZ_Q_RANGE) s->missed = 0;
        }
        return;
    }
    if (!plPlayer(sv, slot)) return;
    closeQuery(q);
    fault(sv, slot, s);
}

void violationPacket(stQzSv* sv, int slot, const char* data, int length) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    unsigned now = GetTickCount();
    stCvarSlot* s = slotState(sv, slot, c, now);
    if (!s->violCount || tickElapsed(now, s->violTick) >= 60000) {
        s->violTick = now;
        s->violCount = 0;
    }
    if (++s->violCount > kViolationsPerMinute) return;
    char text[256];
    clean(text, qz::cap(text), data, length);
    const char* args = text + 7;  // after "QZ_VIOL"
    while (*args == ' ') args++;
    plViolationPacket(sv, slot, args);
}

}  // namespace

bool cvarCheckValue(stQzSv* sv, int slot, const char* name, const char* value, bool logPasses) {
    // Only the checks of this name, in list order, through the name index.
    for (int i = cvarFirstOfName(sv, name); i >= 0; i = cvarNextOfName(sv, i)) {
        const stCvarCheck* k = cvarCheckAt(sv, i);
        if (!k) continue;
        char rule[160];
        if (k->type == QZ_CV_IN || k->type == QZ_CV_OUT) {
            char low[64], high[64];
            cvarFormatBound(low, qz::cap(low), k->low, k->decimals);
            cvarFormatBound(high, qz::cap(high), k->high, k->decimals);
            QZ_TRF(rule, "%s %s %s", cvarTypeName(k->type), low, high);
        } else {
            QZ_TRF(rule, "%s \"%s\"", cvarTypeName(k->type), k->text);
        }
        if (cvarPasses(k, value)) {
            if (logPasses) {
                Qz_Sv_Client_s* c = plPlayer(sv, slot);
                if (c) {
                    logCvar(sv, slot, c->name, plGuidText(c), c->address, "Cvar %s = %s passes %s",
                            name, value, rule);
                }
            }
            continue;
        }
        char reason[320];
        QZ_TRF(reason, "%s = %s (%s)", name, value, rule);
        if (plViolation(sv, slot, QZ_V_CVAR, i + 1, reason, false)) return false;
        if (!plPlayer(sv, slot)) return false;
    }
    return true;
}

bool cvarQuery(stQzSv* sv, int slot, int kind, const char* text, int automatic) {
    Qz_Sv_Client_s* c = queryable(sv, slot);
    if (!c || kind < QZ_Q_VAL || kind > QZ_Q_CHANGED) return false;
    unsigned now = GetTickCount();
    stCvarSlot* s = slotState(sv, slot, c, now);
    // The module no longer asks a malfunctioning client; the range checks still do.
    if (s->malfunctioning) return false;
    stQuery* q = openQuery(s, kind, automatic, now);
    QZ_COPY(q->text, text ? text : "");
    if (q->text[0]) {
        svSendClient(sv, slot, "%c%s %u %s", QZ_MSG_EXCHANGE, wireWord(kind), q->id, q->text);
    } else {
        svSendClient(sv, slot, "%c%s %u", QZ_MSG_EXCHANGE, wireWord(kind), q->id);
    }
    return true;
}

bool cvarPacket(stQzSv* sv, int slot, const char* data, int length) {
    bool answer = length >= 6 && memcmp(data, "QZ_ANS", 6) == 0 && (length == 6 || data[6] == ' ');
    bool violation =
        length >= 7 && memcmp(data, "QZ_VIOL", 7) == 0 && (length == 7 || data[7] == ' ');
    if (!answer && !violation) return false;
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    // Before the exchange ended there is nothing to answer and nobody to report on; the
    // exchange's own handling reports the packet as out of turn.
    if (!c || (c->status != QZ_ST_OK && c->status != QZ_ST_SPEC)) return false;
    if (answer) {
        answerPacket(sv, slot, data, length);
    } else {
        violationPacket(sv, slot, data, length);
    }
    return true;
}

void cvarFrame(stQzSv* sv) {
    stCvars& C = sv->cvars;
    unsigned now = GetTickCount();
    if (C.dueSet && static_cast<int>(C.nextDue - now) > 0) return;
    int wait = kLookMs;
    int budget = kRangePerFrame;
    int period = 60000 / (sv->set.cvarFreq > 0 ? sv->set.cvarFreq : 1);
    int userPeriod = (sv->set.cvarUserPulse > 0 ? sv->set.cvarUserPulse : 1) * 60000;
    int changedPeriod = (sv->set.cvarChangedPulse > 0 ? sv->set.cvarChangedPulse : 1) * 60000;
    bool anyChecks = false;
    for (int i = 0; i < cvarCheckCount(sv) && !anyChecks; ++i) anyChecks = cvarCheckAt(sv, i);
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* c = queryable(sv, slot);
        if (!c) {
            C.slot[slot - 1].live = 0;
            continue;
        }
        stCvarSlot* s = slotState(sv, slot, c, now);
        bool gone = false;
        for (stQuery& q : s->open) {
            if (!q.id) continue;
            int age = tickElapsed(now, q.sentTick);
            if (age < QZ_QUERY_TIMEOUT_MS) {
                if (QZ_QUERY_TIMEOUT_MS - age < wait) wait = QZ_QUERY_TIMEOUT_MS - age;
                continue;
            }
            giveUp(sv, slot, s, &q);
            if (!plPlayer(sv, slot)) {
                gone = true;
                break;
            }
        }
        if (gone) continue;
        if (anyChecks) {
            int since = tickElapsed(now, s->passTick);
            if (s->cursor < 0 && since >= period) {
                s->cursor = 0;
                s->passTick = now;
                since = 0;
            }
            if (s->cursor >= 0) {
                int waiting = 0;
                for (const stQuery& q : s->open) waiting += q.id && q.kind == QZ_Q_RANGE;
                if (budget > 0 && waiting < kRangeOpen) {
                    budget--;
                    rangeQuery(sv, slot, s, now);
                }
                if (s->cursor >= 0 && wait > kRangeRetryMs) wait = kRangeRetryMs;
            } else if (period - since < wait) {
                wait = period - since;
            }
        }
        int since = tickElapsed(now, s->userTick);
        if (since >= userPeriod) {
            s->userTick = now;
            cvarQuery(sv, slot, QZ_Q_USER, "", 1);
        } else if (userPeriod - since < wait) {
            wait = userPeriod - since;
        }
        since = tickElapsed(now, s->changedTick);
        if (since >= changedPeriod) {
            s->changedTick = now;
            cvarQuery(sv, slot, QZ_Q_CHANGED, "", 1);
        } else if (changedPeriod - since < wait) {
            wait = changedPeriod - since;
        }
    }
    int rules = plRulesFrame(sv, now);
    if (rules < wait) wait = rules;
    C.dueSet = 1;
    C.nextDue = now + static_cast<unsigned>(wait > 0 ? wait : 0);
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The next word of p (a double-quoted text may hold blanks) into out, cut to fit.
void nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
        if (*p == '"') p++;
    } else {
        while (*p && !isBlank(*p)) {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
    }
    out[n] = 0;
}

// The rest of p as one player argument: blanks around it and one pair of quotes removed.
void restArgument(const char* p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = slen(p);
    while (n > 0 && isBlank(p[n - 1])) n--;
    if (n >= 2 && p[0] == '"' && p[n - 1] == '"') {
        p++;
        n -= 2;
    }
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

// Sends the query to the players the argument names (every queryable player when it is empty,
// every player whose name contains a text) and reports the count. The count line uses word
// ("Cvar" or "Bind").
void sendToPlayers(stQzSv* sv, const char* player, int kind, const char* text, const char* word) {
    if (!sv->set.cqc) {
        // On the console the message-kind character means nothing and is left out.
        svMsg(sv, "Client Query Capability is Currently Disabled on this Server");
        return;
    }
    int slots[QZ_SLOTS];
    int n = 0;
    if (!*player) {
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) slots[n++] = slot;
    } else {
        bool digits = true;
        for (const char* p = player; *p; ++p) digits = digits && *p >= '0' && *p <= '9';
        if (digits) {
            int slot = slen(player) <= 3 ? atoi(player) : 0;
            if (plPlayer(sv, slot)) slots[n++] = slot;
        } else {
            n = plMatchAll(sv, player, slots, QZ_SLOTS);
        }
        if (n == 0) {
            svMsg(sv, "Invalid Player Specified: %s", player);
            return;
        }
    }
    int sent = 0;
    for (int i = 0; i < n; ++i) {
        if (cvarQuery(sv, slots[i], kind, text, 0)) sent++;
    }
    svMsg(sv, "%d %s Quer%s Sent", sent, word, sent == 1 ? "y" : "ies");
}

// [text] [player]: the text and the player argument.
void textAndPlayer(const CmdCall& call, char* text, int textSize, char* player, int playerSize) {
    const char* p = call.args;
    nextWord(p, text, textSize);
    restArgument(p, player, playerSize);
}

}  // namespace

// qz_sv_CvarVal [Cvar name] [player]
void cmd_cvarval(stQzSv* sv, const CmdCall& call) {
    char name[QZ_CVAR_NAME_MAX], player[64];
    textAndPlayer(call, name, qz::cap(name), player, qz::cap(player));
    if (!name[0]) {
        svMsg(sv, "Command Ignored: No Cvar Specified");
        return;
    }
    sendToPlayers(sv, player, QZ_Q_VAL, name, "Cvar");
}

// qz_sv_CvarSrch [search text] [player]
void cmd_cvarsrch(stQzSv* sv, const CmdCall& call) {
    char text[QZ_CVAR_NAME_MAX], player[64];
    textAndPlayer(call, text, qz::cap(text), player, qz::cap(player));
    if (!text[0]) {
        svMsg(sv, "Command Ignored: No Search Text Specified");
        return;
    }
    sendToPlayers(sv, player, QZ_Q_SRCH, text, "Cvar");
}

// qz_sv_BindSrch [search text] [player]
void cmd_bindsrch(stQzSv* sv, const CmdCall& call) {
    char text[QZ_CVAR_NAME_MAX], player[64];
    textAndPlayer(call, text, qz::cap(text), player, qz::cap(player));
    if (!text[0]) {
        svMsg(sv, "Command Ignored: No Search Text Specified");
        return;
    }
    sendToPlayers(sv, player, QZ_Q_BIND, text, "Bind");
}

// qz_sv_CvarUser [player]
void cmd_cvaruser(stQzSv* sv, const CmdCall& call) {
    char player[64];
    restArgument(call.args, player, qz::cap(player));
    sendToPlayers(sv, player, QZ_Q_USER, "", "Cvar");
}

// qz_sv_CvarChanged [player]
void cmd_cvarchanged(stQzSv* sv, const CmdCall& call) {
    char player[64];
    restArgument(call.args, player, qz::cap(player));
    sendToPlayers(sv, player, QZ_Q_CHANGED, "", "Cvar");
}

namespace {

// "<slot> <rest>" of a host directive: the slot, and p left at the rest.
int directiveSlot(stQzSv* sv, const char*& p, const char* directive) {
    while (isBlank(*p)) p++;
    char* end = nullptr;
    long slot = strtol(p, &end, 10);
    if (end == p || slot < 1 || slot > QZ_SLOTS || !plPlayer(sv, static_cast<int>(slot))) {
        svMsg(sv, "%s ignored: no player in slot %.8s", directive, p);
        return 0;
    }
    p = end;
    return static_cast<int>(slot);
}

}  // namespace

// QZ_SV_CVAR?<slot> <cvar name>: the host asks for a player's cvar value.
void dir_cvarq(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    int slot = directiveSlot(sv, p, "QZ_SV_CVAR?");
    if (!slot) return;
    char name[QZ_CVAR_NAME_MAX];
    nextWord(p, name, qz::cap(name));
    if (!name[0]) {
        svMsg(sv, "Command Ignored: No Cvar Specified");
        return;
    }
    char who[8];
    QZ_TRF(who, "%d", slot);
    sendToPlayers(sv, who, QZ_Q_VAL, name, "Cvar");
}

// QZ_SV_BIND?<slot> <search text>: the host asks for a player's matching bindings.
void dir_bindq(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    int slot = directiveSlot(sv, p, "QZ_SV_BIND?");
    if (!slot) return;
    char text[QZ_CVAR_NAME_MAX];
    restArgument(p, text, qz::cap(text));
    if (!text[0]) {
        svMsg(sv, "Command Ignored: No Search Text Specified");
        return;
    }
    char who[8];
    QZ_TRF(who, "%d", slot);
    sendToPlayers(sv, who, QZ_Q_BIND, text, "Bind");
}

// QZ_SV_CVAR=<slot> <cvar name> <value>: a value the host itself knows of a player's cvar (from
// the game's own player information). It is shown, logged and checked like an answer.
void dir_cvareq(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    int slot = directiveSlot(sv, p, "QZ_SV_CVAR=");
    if (!slot) return;
    char name[QZ_CVAR_NAME_MAX];
    nextWord(p, name, qz::cap(name));
    if (!name[0]) {
        svMsg(sv, "Command Ignored: No Cvar Specified");
        return;
    }
    char raw[kItemValue];
    restArgument(p, raw, qz::cap(raw));
    char value[kItemValue];
    clean(value, qz::cap(value), raw, slen(raw));
    result(sv, slot, true, false, "Cvar %s = %s", name, value);
    cvarCheckValue(sv, slot, name, value, walkLevel(sv) >= 2);
}
