// Name locks (a name reserved for its GUIDs, in the "NameLocks" keyed table) and protected
// names and tags (reserved for players registered with an id): their commands and the lookups
// the name rules make on every rename.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/names.h"
#include "util/compare.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated word of p (cut to fit); a word in double quotes may hold blanks and
// is taken without its quotes. p moves past it and the blanks after it.
void nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    if (*p == '"') {
        for (p++; *p && *p != '"'; p++)
            if (n < size - 1) out[n++] = *p;
        if (*p == '"') p++;
    } else {
        for (; *p && !isBlank(*p); p++)
            if (n < size - 1) out[n++] = *p;
    }
    out[n] = 0;
    while (isBlank(*p)) p++;
}

// The rest of a command line without surrounding blanks; a text written in double quotes is
// taken without them, as the other commands that take a name or a command do.
void restOfLine(const char* p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = slen(p);
    while (n > 0 && isBlank(p[n - 1])) n--;
    if (n >= 2 && p[0] == '"' && p[n - 1] == '"') {
        p++;
        n -= 2;
    }
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

bool lockTableOk(stQzSv* sv) {
    return sv->tNameLocks >= 0 && sv->tNameLocks < sv->keys.ntables &&
           sv->keys.tables[sv->tNameLocks].recSize == static_cast<int>(sizeof(stNameLock));
}

// The next lock of the normalised name (cursor as for keyFindNext), or null.
const stNameLock* nextLock(stQzSv* sv, const char* norm, const char (&key)[QZ_DIGEST_KEY],
                           unsigned* cursor) {
    while (const void* rec = keyFindNext(&sv->keys, sv->tNameLocks, key, cursor)) {
        const stNameLock* l = static_cast<const stNameLock*>(rec);
        if (!strcmp(l->norm, norm)) return l;
    }
    return nullptr;
}

// --- Protected names and tags -------------------------------------------------------------

uint32_t protHash(const char* text, int length, bool tag) {
    uint32_t h = tag ? 0x811C9DC5u ^ 0x5Au : 0x811C9DC5u;
    for (int i = 0; i < length; ++i) {
        h ^= static_cast<unsigned char>(text[i]);
        h *= 16777619u;
    }
    return h;
}

const stProtect* protAt(stNames& nm, int entry) {
    return static_cast<const stProtect*>(
        flexarAt(entry > 0 ? &nm.protNames : &nm.protTags, (entry > 0 ? entry : -entry) - 1));
}

// The entry whose key is exactly text[0..length) in the chosen list, or null.
const stProtect* protLookup(stNames& nm, const char* text, int length, bool tag) {
    if (!nm.protIndex || length <= 0) return nullptr;
    const unsigned mask = static_cast<unsigned>(nm.protBuckets - 1);
    for (unsigned b = protHash(text, length, tag) & mask;; b = (b + 1) & mask) {
        int entry = nm.protIndex[b];
        if (!entry) return nullptr;
        if ((entry < 0) != tag) continue;
        const stProtect* p = protAt(nm, entry);
        if (slen(p->key) == length && !memcmp(p->key, text, static_cast<size_t>(length))) return p;
    }
}

void protInsert(stNames& nm, int entry) {
    const stProtect* p = protAt(nm, entry);
    const unsigned mask = static_cast<unsigned>(nm.protBuckets - 1);
    unsigned b = protHash(p->key, slen(p->key), entry < 0) & mask;
    while (nm.protIndex[b]) b = (b + 1) & mask;
    nm.protIndex[b] = entry;
}

// Keeps the index at most half full; it is rebuilt only when an entry is added by command.
bool protReserve(stNames& nm) {
    const int total = nm.protNames.count + nm.protTags.count + 1;
    if (nm.protIndex && total * 2 <= nm.protBuckets) return true;
    int buckets = nm.protBuckets ? nm.protBuckets : 64;
    while (total * 2 > buckets) buckets *= 2;
    int* fresh = static_cast<int*>(calloc(static_cast<size_t>(buckets), sizeof(int)));
    if (!fresh) return false;
    free(nm.protIndex);
    nm.protIndex = fresh;
    nm.protBuckets = buckets;
    for (int i = 0; i < nm.protNames.count; ++i) protInsert(nm, i + 1);
    for (int i = 0; i < nm.protTags.count; ++i) protInsert(nm, -(i + 1));
    return true;
}

// qz_sv_ProtectName and qz_sv_ProtectTag: [id] [match text].
void addProtected(stQzSv* sv, const CmdCall& call, bool tag) {
    stNames& nm = sv->names;
    const char* p = call.args;
    char idText[24];
    nextWord(p, idText, qz::cap(idText));
    char match[256];
    restOfLine(p, match, qz::cap(match));
    char* end = nullptr;
    long id = idText[0] ? strtol(idText, &end, 10) : 0;
    stProtect e{};
    e.id = id;
    QZ_COPY(e.match, noColor(match));
    nmCleanName(e.match, qz::cap(e.match), e.match);
    nmKey(e.key, qz::cap(e.key), match);
    if (!idText[0] || !end || *end || !e.key[0]) {
        svMsg(sv, "Invalid ID or Match Specified");
        return;
    }
    if (protLookup(nm, e.key, slen(e.key), tag)) {
        svMsg(sv, "Duplicate protected %s not added", tag ? "tag" : "name");
        return;
    }
    flexar* list = tag ? &nm.protTags : &nm.protNames;
    if (!list->elemSize) *list = flexarMake(sizeof(stProtect), 16);
    if (!protReserve(nm) || !flexarAppend(list, &e)) {
        svMsg(sv, "ERROR Attempting to Add Protected %s", tag ? "Tag" : "Name");
        return;
    }
    protInsert(nm, tag ? -list->count : list->count);
    svMsg(sv, "Added Protected %s: %ld \"%s\"", tag ? "Tag" : "Name", e.id, e.match);
    nmRecheckAll(sv);
}

}  // namespace

// A protected name must be the whole name; a protected tag must stand at the start or at the end
// of it (where clans put their tags). Names first, then tags from the longest down.
const stProtect* nmProtectFind(stQzSv* sv, const char* key) {
    stNames& nm = sv->names;
    if (!nm.protIndex) return nullptr;
    const int n = slen(key);
    if (const stProtect* p = protLookup(nm, key, n, false)) return p;
    if (!nm.protTags.count) return nullptr;
    for (int len = n; len >= 1; --len) {
        if (const stProtect* p = protLookup(nm, key, len, true)) return p;
        if (const stProtect* p = protLookup(nm, key + n - len, len, true)) return p;
    }
    return nullptr;
}

// A registration entry in use carries the player's registration id as the leading decimal
// number of its second text ("1234" or "#1234 ..."); see docs/names.md.
bool nmRegistered(const Qz_Sv_Client_s* cl, long id) {
    for (const stQzReg& r : cl->reg) {
        if (!r.text[0]) continue;
        const char* t = r.text + (r.text[0] == '#');
        char* end = nullptr;
        long got = strtol(t, &end, 10);
        if (end != t && (*end == 0 || *end == ' ') && got == id) return true;
    }
    return false;
}

// Free entries only: a registration entry already in use is left as it is.
void nmFillRegistrations(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    stNames& nm = sv->names;
    if (!c || !plGuidValid(c->guid) || !nm.regs.count) return;
    for (int i = 0; i < nm.regs.count; ++i) {
        const stNameReg* r = static_cast<const stNameReg*>(flexarAt(&nm.regs, i));
        if (trcasecmp(r->guid, c->guid) != 0 || nmRegistered(c, r->id)) continue;
        for (stQzReg& e : c->reg) {
            if (e.text[0]) continue;
            QZ_COPY(e.name, r->name);
            QZ_TRF(e.text, "#%ld", r->id);
            e.count = 1;
            break;
        }
    }
}

bool nmLockedOut(stQzSv* sv, const char* key, const char* guid, const stNameLock** lock) {
    if (!key[0] || !lockTableOk(sv)) return false;
    char k[QZ_DIGEST_KEY];
    nmDigestKey(key, k);
    unsigned cursor = 0;
    const stNameLock* first = nullptr;
    while (const stNameLock* l = nextLock(sv, key, k, &cursor)) {
        if (guid[0] && trcasecmp(l->guid, guid) == 0) return false;
        if (!first) first = l;
    }
    if (!first) return false;
    *lock = first;
    return true;
}

int nmLockCount(stQzSv* sv) { return lockTableOk(sv) ? sv->keys.tables[sv->tNameLocks].live : 0; }

// qz_sv_NameLock [guid] [name]. The name is the rest of the line; the same GUID and name locked
// twice stays one record. A name may be locked to several GUIDs (one player's machines).
void cmd_namelock(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char guid[64];
    nextWord(p, guid, qz::cap(guid));
    char name[256];
    restOfLine(p, name, qz::cap(name));
    stNameLock rec{};
    nmKey(rec.norm, qz::cap(rec.norm), name);
    if (!plGuidValid(guid) || !rec.norm[0] || !lockTableOk(sv)) {
        char shownGuid[64], shownName[64];
        nmCleanName(shownGuid, qz::cap(shownGuid), guid);
        nmCleanName(shownName, qz::cap(shownName), name);
        svMsg(sv, "NameLock ignored ... invalid parameter(s) specified (%s/%s)", shownGuid,
              shownName);
        return;
    }
    nmDigestKey(rec.norm, rec.key);
    QZ_COPY(rec.guid, guid);
    QZ_COPY(rec.name, noColor(name));
    nmCleanName(rec.name, qz::cap(rec.name), rec.name);
    unsigned cursor = 0;
    bool present = false;
    while (const stNameLock* found = nextLock(sv, rec.norm, rec.key, &cursor)) {
        present = present || trcasecmp(found->guid, guid) == 0;
    }
    if (!present && !keyStoreRecord(&sv->keys, sv->tNameLocks, &rec)) {
        svMsg(sv, "ERROR adding Name to hash table (%s)", rec.name);
        return;
    }
    svMsg(sv, "NameLock Guid %s for \"%s\"", rec.guid, rec.name);
    if (!present) nmRecheckAll(sv);
}

// qz_sv_NameLockList [optional filter]: the filter is looked for in the GUID and in the name,
// letters compared without regard to case. Positions are record numbers, so a lock keeps its
// number while others come and go.
void cmd_namelocklist(stQzSv* sv, const CmdCall& call) {
    char filter[64];
    restOfLine(call.args, filter, qz::cap(filter));
    svCon(sv, "Slot: GUID Name");
    int listed = 0;
    if (lockTableOk(sv)) {
        const int count = sv->keys.tables[sv->tNameLocks].count;
        for (int i = 0; i < count; ++i) {
            const stNameLock* l =
                static_cast<const stNameLock*>(keyRecord(&sv->keys, sv->tNameLocks, i));
            if (!l || !l->norm[0]) continue;
            if (filter[0] && !svFindNoCase(l->guid, filter) && !svFindNoCase(l->name, filter)) {
                continue;
            }
            svCon(sv, "%d: %-32s %s", i + 1, l->guid, l->name);
            listed++;
        }
    }
    svCon(sv, "End of NameLock List (%d NameLock%s)", listed, listed == 1 ? "" : "s");
}

void cmd_namelockempty(stQzSv* sv, const CmdCall&) {
    if (lockTableOk(sv)) {
        const int count = sv->keys.tables[sv->tNameLocks].count;
        for (int i = 0; i < count; ++i) keyRelease(&sv->keys, sv->tNameLocks, i);
    }
    svMsg(sv, "NameLock list (in Memory) has been Emptied");
}

// qz_sv_register [guid] [id] [name]: registers the GUID with the id, so that its player may use
// the protected names and tags of that id. The same GUID and id again only changes the name.
// Players of that GUID on the server get the registration at once.
void cmd_register(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char guid[64], idText[24];
    nextWord(p, guid, qz::cap(guid));
    nextWord(p, idText, qz::cap(idText));
    char name[256];
    restOfLine(p, name, qz::cap(name));
    char* end = nullptr;
    long id = idText[0] ? strtol(idText, &end, 10) : 0;
    if (!plGuidValid(guid) || !idText[0] || !end || *end) {
        char shownGuid[64], shownId[32];
        nmCleanName(shownGuid, qz::cap(shownGuid), guid);
        nmCleanName(shownId, qz::cap(shownId), idText);
        svMsg(sv, "Registration ignored ... invalid parameter(s) specified (%s/%s)", shownGuid,
              shownId);
        return;
    }
    stNameReg reg{};
    for (int i = 0; i < 32; ++i)
        reg.guid[i] = guid[i] >= 'a' && guid[i] <= 'f' ? static_cast<char>(guid[i] - 32) : guid[i];
    reg.id = id;
    nmCleanName(reg.name, qz::cap(reg.name), noColor(name));
    stNames& nm = sv->names;
    if (!nm.regs.elemSize) nm.regs = flexarMake(sizeof(stNameReg), 16);
    stNameReg* have = nullptr;
    for (int i = 0; i < nm.regs.count && !have; ++i) {
        stNameReg* r = static_cast<stNameReg*>(flexarAt(&nm.regs, i));
        if (r->id == id && !strcmp(r->guid, reg.guid)) have = r;
    }
    if (have) {
        QZ_COPY(have->name, reg.name);
    } else if (!flexarAppend(&nm.regs, &reg)) {
        svMsg(sv, "ERROR Attempting to Add Registration");
        return;
    }
    svMsg(sv, "Registered Guid %s for id %ld \"%s\"", reg.guid, reg.id, reg.name);
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) nmFillRegistrations(sv, slot);
}

void cmd_protectname(stQzSv* sv, const CmdCall& call) { addProtected(sv, call, false); }

void cmd_protecttag(stQzSv* sv, const CmdCall& call) { addProtected(sv, call, true); }
