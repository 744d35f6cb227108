// MD5Tool file checks sent to the playing client modules, and their answers. Every
// qz_sv_md5toolfreq seconds a round asks each playing client for up to QZ_MD5_PER_ROUND live
// entries; each check carries a sequence number and a fresh challenge seed, so an answer cannot
// be one recorded earlier. An answer is hostile text: it is parsed with bounds, taken only for a
// check that waits for it, and judged against the entry as it stood when the check was sent.
#include "remote/md5checks.h"

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/violations.h"
#include "util/clock.h"
#include "util/md5.h"
#include "util/random.h"
#include "util/text.h"

namespace {

// The frame looks for new players and list changes at least this often.
constexpr int kLookMs = 1000;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A decimal number of at most 10 digits that fits 32 bits, ended by a blank or the end.
bool number(const char*& p, unsigned long* out) {
    unsigned long long v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 10) return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        p++;
    }
    if (!digits || v > 0xFFFFFFFFULL || (*p && !isBlank(*p))) return false;
    *out = static_cast<unsigned long>(v);
    return true;
}

// "<prefix><number>" after blanks.
bool field(const char*& p, const char* prefix, unsigned long* out) {
    while (isBlank(*p)) p++;
    int n = slen(prefix);
    if (strncmp(p, prefix, static_cast<size_t>(n)) != 0) return false;
    p += n;
    return number(p, out);
}

// A player whose client module finished the exchange; bots never run one.
Qz_Sv_Client_s* checkable(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || plIsBot(c)) return nullptr;
    return c->status == QZ_ST_OK || c->status == QZ_ST_SPEC ? c : nullptr;
}

// The checks of the player in slot, started afresh for a new connection.
stMd5Slot* slotState(stQzSv* sv, int slot, const Qz_Sv_Client_s* c) {
    stMd5Slot* s = &sv->remote.md5q.slot[slot - 1];
    if (s->live && s->conn == c->seq) return s;
    memset(s, 0, sizeof *s);
    s->live = 1;
    s->conn = c->seq;
    return s;
}

int freqMs(stQzSv* sv) {
    int f = sv->set.md5toolFreq;
    if (f < 10) f = 10;
    if (f > 3600) f = 3600;
    return f * 1000;
}

// Asks the player for up to QZ_MD5_PER_ROUND checkable entries, in list order from his cursor.
void sendRound(stQzSv* sv, int slot, stMd5Slot* s, unsigned now) {
    stRemote* r = &sv->remote;
    int count = r->md5Count;
    if (count <= 0) return;
    int sent = 0;
    const int start = s->cursor;
    for (int step = 0; step < count && sent < QZ_MD5_PER_ROUND; ++step) {
        int i = (start + step) % count;
        const stMd5Tool& e = r->md5[i];
        if (!md5EntryCheckable(&e)) continue;
        stMd5Query* q = nullptr;
        for (stMd5Query& o : s->open) {
            if (!o.seq) {
                q = &o;
                break;
            }
        }
        if (!q) break;  // checks of an earlier round still wait
        if (++s->nextSeq == 0) s->nextSeq = 1;
        q->seq = s->nextSeq;
        q->entry = i;
        q->gen = r->md5q.gen;
        q->seed = genrand();
        q->sentTick = now;
        svSendClient(sv, slot, "%cQZ_MD5 %u %u %c \"%s\" AT%lu LEN%lu", QZ_MSG_EXCHANGE, q->seq,
                     q->seed, upper(e.kind), e.text1, e.at, e.len);
        s->cursor = (i + 1) % count;
        sent++;
    }
}

// Gives up the player's checks older than timeout. Returns false when he was removed for
// ignoring them.
bool giveUp(stQzSv* sv, int slot, stMd5Slot* s, unsigned now, int timeout, int* wait) {
    for (stMd5Query& q : s->open) {
        if (!q.seq) continue;
        int age = tickElapsed(now, q.sentTick);
        if (age < timeout) {
            if (timeout - age < *wait) *wait = timeout - age;
            continue;
        }
        q.seq = 0;
        if (++s->missed < QZ_MD5_MISSED_MAX) continue;
        int missed = s->missed;
        s->missed = 0;
        if (plViolation(sv, slot, QZ_V_IGNORING_QUERIES, missed, "Ignoring MD5Tool Queries", false))
            return false;
    }
    return true;
}

// Judges an answer to the check q of entry e and reports it; a failed check is an "(MD5TOOL) "
// violation numbered with the entry's list position.
void judge(stQzSv* sv, int slot, const stMd5Query& q, const stMd5Tool& e, const stMd5Answer& a) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    char what[96];
    QZ_TRF(what, "#%d \"%s\"", q.entry + 1, e.text1);
    char reason[192];
    if (a.kind == QZ_MD5A_READ_FAIL) {
        svMsg(sv, "MD5Tool [%s READ_FAIL] from (slot# %d) %s", what, slot, c->name);
        QZ_TRF(reason, "%s \"%s\" READ_FAIL", e.text3, e.text1);
        plViolation(sv, slot, QZ_V_MD5TOOL, q.entry + 1, reason, false);
        return;
    }
    bool ok = a.kind == QZ_MD5A_DIGEST && strcmp(a.digest, md5Expected(e.text2, q.seed)) == 0 &&
              (e.sz == 0 || a.sz == e.sz) && a.at == e.at &&
              (e.len ? a.len == e.len : a.sz >= a.at && a.len == a.sz - a.at);
    if (ok) {
        // Every player answers every round: matches go to the log, not the console.
        svLog(sv, "MD5Tool [%s OK] from (slot# %d) %s", what, slot, c->name);
        return;
    }
    svMsg(sv, "MD5Tool [%s MISMATCH] from (slot# %d) %s", what, slot, c->name);
    svMsg(sv, "MD5Tool Mismatch: %s (len=%lu)", e.text1, a.len);
    QZ_TRF(reason, "%s \"%s\" mismatch (len=%lu)", e.text3, e.text1, a.len);
    plViolation(sv, slot, QZ_V_MD5TOOL, q.entry + 1, reason, false);
}

}  // namespace

void md5AnswerParse(const char* text, int length, stMd5Answer* out) {
    memset(out, 0, sizeof *out);
    char buf[QZ_MD5_ANSWER_MAX + 1];
    int n = length < 0 ? 0 : length < QZ_MD5_ANSWER_MAX ? length : QZ_MD5_ANSWER_MAX;
    if (n) memcpy(buf, text, static_cast<size_t>(n));
    buf[n] = 0;  // a NUL inside ends the text early
    const char* p = buf;
    while (isBlank(*p)) p++;
    unsigned long seq = 0;
    if (!number(p, &seq) || seq == 0) return;
    out->seq = static_cast<unsigned>(seq);
    out->kind = QZ_MD5A_MALFORMED;
    while (isBlank(*p)) p++;
    if (strncmp(p, "READ_FAIL", 9) == 0) {
        const char* rest = p + 9;
        while (isBlank(*rest)) rest++;
        if (!*rest) out->kind = QZ_MD5A_READ_FAIL;
        return;
    }
    for (int i = 0; i < 32; ++i) {
        if (!isHex(p[i])) return;
        out->digest[i] = upper(p[i]);
    }
    out->digest[32] = 0;
    p += 32;
    if (!isBlank(*p)) return;
    if (!field(p, "SZ", &out->sz) || !field(p, "AT", &out->at) || !field(p, "LEN", &out->len))
        return;
    while (isBlank(*p)) p++;
    if (!*p) out->kind = QZ_MD5A_DIGEST;
}

bool md5EntryCheckable(const stMd5Tool* e) {
    if (!e->used || upper(e->kind) != 'F' || upper(e->kind2) != 'M' || !e->text1[0]) return false;
    for (int i = 0; i < 32; ++i)
        if (!isHex(e->text2[i])) return false;
    return e->text2[32] == 0;
}

const char* md5Expected(const char* digest, unsigned seed) {
    char text[33];
    for (int i = 0; i < 32; ++i) text[i] = upper(digest[i]);
    text[32] = 0;
    return qzmd5(text, 32, seed);
}

void md5Frame(stQzSv* sv) {
    stMd5Checks& M = sv->remote.md5q;
    unsigned now = GetTickCount();
    if (M.dueSet && static_cast<int>(M.nextDue - now) > 0) return;
    const int period = freqMs(sv);
    const int timeout = period < QZ_MD5_TIMEOUT_MS ? period : QZ_MD5_TIMEOUT_MS;
    int wait = kLookMs;
    bool any = false;
    for (int i = 0; i < sv->remote.md5Count && !any; ++i)
        any = md5EntryCheckable(&sv->remote.md5[i]);
    // A host whose players run no client module has nobody to answer.
    bool round = false;
    if (any && !svNoClientModule(sv)) {
        int since = M.roundSet ? tickElapsed(now, M.roundTick) : period;
        if (since >= period) {
            round = true;
            M.roundSet = 1;
            M.roundTick = now;
        } else if (period - since < wait) {
            wait = period - since;
        }
    } else {
        M.roundSet = 0;
    }
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* c = checkable(sv, slot);
        if (!c) {
            M.slot[slot - 1].live = 0;
            continue;
        }
        stMd5Slot* s = slotState(sv, slot, c);
        if (!giveUp(sv, slot, s, now, timeout, &wait) || !plPlayer(sv, slot)) continue;
        if (!round) continue;
        sendRound(sv, slot, s, now);
        if (timeout < wait) wait = timeout;
    }
    M.dueSet = 1;
    M.nextDue = now + static_cast<unsigned>(wait > 0 ? wait : 0);
}

bool md5Packet(stQzSv* sv, int slot, const char* data, int length) {
    if (length < 6 || memcmp(data, "QZ_MD5", 6) != 0 || (length > 6 && data[6] != ' '))
        return false;
    Qz_Sv_Client_s* c = checkable(sv, slot);
    if (!c) return false;
    stMd5Answer a;
    md5AnswerParse(data + 6, length - 6, &a);
    stMd5Slot* s = slotState(sv, slot, c);
    stMd5Query* q = nullptr;
    for (stMd5Query& o : s->open) {
        if (a.kind != QZ_MD5A_BAD && o.seq == a.seq) {
            q = &o;
            break;
        }
    }
    if (!q) {
        // Never asked, answered already or given up: nothing to judge. The line is bounded
        // like every line a client packet causes.
        if (plPacketLogAllowed(sv, slot))
            svMsg(sv, "MD5Tool Sequence Error (slot# %d) %s", slot, c->name);
        return true;
    }
    stMd5Query taken = *q;
    q->seq = 0;
    s->missed = 0;
    stRemote* r = &sv->remote;
    // An entry deleted or emptied since the check was sent is no longer judged.
    if (taken.gen != r->md5q.gen || taken.entry >= r->md5Count || !r->md5[taken.entry].used)
        return true;
    judge(sv, slot, taken, r->md5[taken.entry], a);
    return true;
}

void md5ListEmptied(stQzSv* sv) {
    sv->remote.md5q.gen++;
    sv->remote.md5q.dueSet = 0;
}
