// Aliases: the names each GUID has used, kept in the "Alias" keyed table (one record per GUID
// and name) and in the alias file, one line per record: "GUID COUNT FIRST LAST NAME\r\n", the
// name being the rest of the line. Tracking at connect and rename (with the append to the
// file), the command qz_sv_AList, and the alias list a player asks for from his game. Loading
// and writing the whole file is players/aliasfile.cpp.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "commands/atomic_file.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/names.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

bool aliasTableOk(stQzSv* sv) {
    return sv->tAlias >= 0 && sv->tAlias < sv->keys.ntables &&
           sv->keys.tables[sv->tAlias].recSize == static_cast<int>(sizeof(stAliasRec));
}

// A GUID in upper case and its table key.
struct GuidKey {
    char guid[33];
    char key[QZ_DIGEST_KEY];
};

void guidKey(const char* guid, GuidKey* out) {
    memset(out, 0, sizeof *out);
    for (int i = 0; i < 32 && guid[i]; ++i) {
        char c = guid[i];
        out->guid[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    nmDigestKey(out->guid, out->key);
}

// The next alias record of the GUID (cursor as for keyFindNext), or null.
const stAliasRec* nextOf(stQzSv* sv, const GuidKey& g, unsigned* cursor) {
    while (const void* rec = keyFindNext(&sv->keys, sv->tAlias, g.key, cursor)) {
        const stAliasRec* a = static_cast<const stAliasRec*>(rec);
        if (!strcmp(a->guid, g.guid)) return a;
    }
    return nullptr;
}

// The alias a player's name gives: colour codes removed, cleaned for files.
void aliasName(const char* name, char (&out)[33]) {
    memset(out, 0, sizeof out);
    char plain[32];
    QZ_COPY(plain, noColor(name));
    nmCleanName(out, qz::cap(out), plain);
}

uint32_t nowSeconds() {
    long long t = static_cast<long long>(qzTime());
    return t < 0 ? 0 : t > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(t);
}

// Reads an unsigned decimal of at most 10 digits that fits 32 bits, ended by a blank.
bool readCount(const char*& p, const char* end, uint32_t* out) {
    uint64_t v = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (++digits > 10) return false;
        p++;
    }
    if (!digits || v > 0xFFFFFFFFull || p >= end || *p != ' ') return false;
    p++;
    *out = static_cast<uint32_t>(v);
    return true;
}

stAliasRec* findAlias(stQzSv* sv, const GuidKey& g, const char* name, int* count) {
    unsigned cursor = 0;
    stAliasRec* hit = nullptr;
    int n = 0;
    while (const stAliasRec* found = nextOf(sv, g, &cursor)) {
        stAliasRec* a = const_cast<stAliasRec*>(found);
        n++;
        if (!hit && !strcmp(a->name, name)) {
            hit = a;
            if (!count) break;
        }
    }
    if (count) *count = n;
    return hit;
}

bool aliasLineOk(const char* line, int length) {
    stAliasRec rec;
    return nmAliasParse(line, length, &rec);
}

// The append stream of the alias file, opened on first use (through the home directory's
// checks, on a new line when the file's last line was cut) and reopened when the file name
// setting changed. Null, with why saying what went wrong, when the file cannot be opened.
FILE* appendStream(stQzSv* sv, const char** why) {
    stNames& nm = sv->names;
    *why = "";
    if (!homeNameOk(sv->set.aliasFn)) {
        *why = "file name outside the home directory";
        return nullptr;
    }
    const char* path = homePath(sv->set.aliasFn);
    if (nm.aliasOut && strcmp(nm.aliasOutPath, path) != 0) nmAliasClose(sv);
    if (!nm.aliasOut) {
        long moved = 0;
        nm.aliasOut = homeOpenAppendLine(path, aliasLineOk, &moved);
        if (moved)
            svMsg(sv, "Cut last line of %s moved to %s.cut (an append was interrupted)", path,
                  path);
        if (nm.aliasOut) {
            QZ_COPY(nm.aliasOutPath, path);
        } else {
            *why = homeOpenError();
        }
    }
    return nm.aliasOut;
}

// Texts for a player's game go in pieces of whole lines, each piece starting with the message
// kind so that the client module prints it.
struct Pieces {
    stQzSv* sv;
    int slot;
    char buf[1536];

    void start() { QZ_TRF(buf, "%c", QZ_MSG_PRINT); }
    void add(const char* line) {
        if (slen(buf) + slen(line) >= qz::cap(buf) - 1) {
            flush();
            start();
        }
        QZ_TRACAT(buf, line);
    }
    void flush() {
        if (slen(buf) > 1) svSendClient(sv, slot, "%s", buf);
    }
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool nmAliasTableOk(stQzSv* sv) { return aliasTableOk(sv); }

stAliasRec* nmAliasFind(stQzSv* sv, const stAliasRec* rec) {
    GuidKey g;
    memcpy(g.guid, rec->guid, sizeof g.guid);
    memcpy(g.key, rec->key, sizeof g.key);
    return findAlias(sv, g, rec->name, nullptr);
}

bool nmAliasParse(const char* line, int length, stAliasRec* rec) {
    memset(rec, 0, sizeof *rec);
    const char* p = line;
    const char* end = line + length;
    for (int i = 0; i < 32; ++i) {
        if (p >= end) return false;
        char c = *p++;
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
        rec->guid[i] = c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    nmDigestKey(rec->guid, rec->key);
    if (p >= end || *p++ != ' ') return false;
    if (!readCount(p, end, &rec->count) || !readCount(p, end, &rec->first) ||
        !readCount(p, end, &rec->last)) {
        return false;
    }
    const int n = static_cast<int>(end - p);
    if (n < 1 || n > 32) return false;
    for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 32 || c == 127) return false;
        rec->name[i] = c == '"' ? '\'' : static_cast<char>(c);
    }
    return true;
}

void nmAliasAppend(stQzSv* sv, const stAliasRec* rec) {
    const char* why = "";
    FILE* out = appendStream(sv, &why);
    if (out &&
        fprintf(out, "%s %lu %lu %lu %s\r\n", rec->guid, static_cast<unsigned long>(rec->count),
                static_cast<unsigned long>(rec->first), static_cast<unsigned long>(rec->last),
                rec->name) > 0) {
        sv->names.aliasDirty = 1;
    } else {
        // The record stays in memory (qz_sv_AliasWrite can still save it), but the file does not
        // have it: the administrator must know.
        char shown[64];
        nmCleanName(shown, qz::cap(shown), sv->set.aliasFn);
        svMsg(sv, "Alias not written to %s (%s): %s %s", shown, out ? "write failed" : why,
              rec->guid, rec->name);
    }
}

bool nmTrackAlias(stQzSv* sv, int slot) {
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || sv->set.aliasMax <= 0 || !plGuidValid(c->guid) || !aliasTableOk(sv)) return true;
    GuidKey g;
    guidKey(c->guid, &g);
    stAliasRec rec{};
    memcpy(rec.key, g.key, sizeof rec.key);
    QZ_COPY(rec.guid, g.guid);
    aliasName(c->name, rec.name);
    if (!rec.name[0]) return true;
    const uint32_t now = nowSeconds();
    int count = 0;
    if (stAliasRec* a = findAlias(sv, g, rec.name, &count)) {
        if (a->count < 0xFFFFFFFFu) a->count++;
        a->last = now;
        return true;
    }
    if (count >= sv->set.aliasMax) return false;
    rec.count = 1;
    rec.first = rec.last = now;
    if (!keyStoreRecord(&sv->keys, sv->tAlias, &rec)) return true;
    nmAliasAppend(sv, &rec);
    return true;
}

void nmAliasFlush(stQzSv* sv) {
    stNames& nm = sv->names;
    if (!nm.aliasDirty || !nm.aliasOut) return;
    nm.aliasDirty = 0;
    if (fflush(nm.aliasOut) == 0 && !ferror(nm.aliasOut)) return;
    char shown[64];
    nmCleanName(shown, qz::cap(shown), sv->set.aliasFn);
    svMsg(sv, "Alias lines not written to %s (write failed): qz_sv_AliasWrite saves them", shown);
    clearerr(nm.aliasOut);
}

void nmAliasFnRule(stQzSv* sv, const SettingRow*) {
    if (homeNameOk(sv->set.aliasFn)) return;
    char shown[64];
    nmCleanName(shown, qz::cap(shown), sv->set.aliasFn);
    svMsg(sv, "Alias file name refused (must stay in the home directory): %s", shown);
    QZ_COPY(sv->set.aliasFn, "qzalias.dat");
}

void nmAliasClose(stQzSv* sv) {
    stNames& nm = sv->names;
    if (nm.aliasOut) fclose(nm.aliasOut);
    nm.aliasOut = nullptr;
    nm.aliasOutPath[0] = 0;
    nm.aliasDirty = 0;
}

int nmAliasCount(stQzSv* sv, const char* guid) {
    if (!aliasTableOk(sv)) return 0;
    GuidKey g;
    guidKey(guid, &g);
    int n = 0;
    findAlias(sv, g, "\x01", &n);
    return n;
}

void nmSendAliasList(stQzSv* sv, int slot, int target) {
    const unsigned long limit = static_cast<unsigned long>(sv->set.aliasMax);
    if (sv->set.aliasMax <= 0) {
        svSendClient(sv, slot, "%c^5Alias Tracking Facility is currently disabled on this server",
                     QZ_MSG_PRINT);
        return;
    }
    const Qz_Sv_Client_s* t = plPlayer(sv, target);
    if (!t) {
        svSendClient(sv, slot, "%c^5Invalid Slot Number (%d) Specified (Server Alias Limit is %lu)",
                     QZ_MSG_PRINT, target, limit);
        return;
    }
    char shown[33];
    nmCleanName(shown, qz::cap(shown), t->name);
    Pieces out{sv, slot, {}};
    out.start();
    char line[256];
    QZ_TRF(line,
           "^5Alias List for (slot #%d) %s\r\n[Count] [First Used] [Last Used] [Alias] (Server "
           "Alias Limit is %lu)\r\n",
           target, shown, limit);
    out.add(line);
    int n = 0;
    if (aliasTableOk(sv) && t->guid[0]) {
        GuidKey g;
        guidKey(t->guid, &g);
        unsigned cursor = 0;
        while (const stAliasRec* a = nextOf(sv, g, &cursor)) {
            QZ_TRF(line, "^5%lu %lu %lu %s\r\n", static_cast<unsigned long>(a->count),
                   static_cast<unsigned long>(a->first), static_cast<unsigned long>(a->last),
                   a->name);
            out.add(line);
            n++;
        }
    }
    QZ_TRF(line, "^5End of Alias List (%d Alias%s)", n, n == 1 ? "" : "es");
    out.add(line);
    out.flush();
}

// qz_sv_AList [player slot # or GUID]
void cmd_alist(stQzSv* sv, const CmdCall& call) {
    if (sv->set.aliasMax <= 0) {
        svMsg(sv, "Alias Tracking is currently not active (qz_sv_aliasMax is 0)");
        return;
    }
    const char* p = call.args;
    while (isBlank(*p)) p++;
    char arg[64];
    int n = 0;
    while (p[n] && !isBlank(p[n]) && n < qz::cap(arg) - 1) {
        arg[n] = p[n];
        n++;
    }
    arg[n] = 0;
    char guid[33] = "";
    if (plGuidValid(arg)) {
        QZ_COPY(guid, arg);
    } else {
        bool digits = arg[0] != 0 && n <= 9;
        for (const char* q = arg; *q; ++q) digits = digits && *q >= '0' && *q <= '9';
        int slot = digits ? atoi(arg) : 0;
        if (slot < 1 || slot > QZ_SLOTS) {
            svMsg(sv, "Invalid Slot # specified: %d", slot);
            return;
        }
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c) {
            svMsg(sv, "No player found in Slot #%d", slot);
            return;
        }
        QZ_COPY(guid, c->guid);
    }
    long listed = 0;
    if (guid[0] && aliasTableOk(sv)) {
        GuidKey g;
        guidKey(guid, &g);
        unsigned cursor = 0;
        while (const stAliasRec* a = nextOf(sv, g, &cursor)) {
            svCon(sv, "%lu %lu %lu %s", static_cast<unsigned long>(a->count),
                  static_cast<unsigned long>(a->first), static_cast<unsigned long>(a->last),
                  a->name);
            listed++;
        }
    }
    svCon(sv, "%ld Alias%s listed for GUID=%s", listed, listed == 1 ? "" : "es",
          guid[0] ? guid : "NO_GUID");
}
