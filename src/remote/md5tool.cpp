// The MD5Tool list: file checks that clients are asked to answer with digests. An entry is
//   <kind> "<file>" <mode> "<expected digest>" SZ<size> AT<offset> LEN<length> "<label>"
// (the SZ, AT and LEN prefixes are optional on input). Entries are numbered from 1; a deleted
// entry keeps its number. md5checks.cpp sends the entries to the clients; docs/md5tool.md gives
// the fields their meaning.
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/text.h"

namespace {

void skipBlanks(const char** p) {
    while (**p == ' ' || **p == '\t') (*p)++;
}

bool letter(const char** p, char* out) {
    skipBlanks(p);
    char c = **p;
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    (*p)++;
    if (**p && **p != ' ' && **p != '\t') return false;
    *out = c;
    return true;
}

bool quotedText(const char** p, char* out, int size) {
    skipBlanks(p);
    if (**p != '"') return false;
    const char* s = *p + 1;
    const char* e = strchr(s, '"');
    if (!e || e - s >= size) return false;
    trcpyz(out, s, static_cast<int>(e - s));
    *p = e + 1;
    return true;
}

bool numberField(const char** p, const char* prefix, unsigned long* out) {
    skipBlanks(p);
    int pl = slen(prefix);
    if (strncmp(*p, prefix, static_cast<size_t>(pl)) == 0) *p += pl;
    if (**p < '0' || **p > '9') return false;
    char* end = nullptr;
    unsigned long long v = strtoull(*p, &end, 10);
    if (v > 0xFFFFFFFFULL || (*end && *end != ' ' && *end != '\t')) return false;
    *out = static_cast<unsigned long>(v);
    *p = end;
    return true;
}

}  // namespace

bool md5toolParse(const char* text, stMd5Tool* e) {
    memset(e, 0, sizeof *e);
    const char* p = text;
    if (!letter(&p, &e->kind) || !quotedText(&p, e->text1, qz::cap(e->text1)) ||
        !letter(&p, &e->kind2) || !quotedText(&p, e->text2, qz::cap(e->text2)) ||
        !numberField(&p, "SZ", &e->sz) || !numberField(&p, "AT", &e->at) ||
        !numberField(&p, "LEN", &e->len) || !quotedText(&p, e->text3, qz::cap(e->text3))) {
        return false;
    }
    skipBlanks(&p);
    e->used = 1;
    return *p == 0;
}

void cmd_md5tool(stQzSv* sv, const CmdCall& call) {
    stRemote* r = &sv->remote;
    stMd5Tool e;
    if (!md5toolParse(call.args, &e) || r->md5Count >= QZ_MD5TOOL_MAX) {
        svMsg(sv, "Unable to Add MD5Tool Entry - Invalid Specification: %s", call.args);
        return;
    }
    r->md5[r->md5Count++] = e;
    r->md5q.dueSet = 0;  // the next frame looks at the new entry
    svMsg(sv, "Added MD5Tool Entry: %c \"%s\" %c \"%s\" SZ%u AT%u LEN%u \"%s\"", e.kind, e.text1,
          e.kind2, e.text2, static_cast<unsigned>(e.sz), static_cast<unsigned>(e.at),
          static_cast<unsigned>(e.len), e.text3);
}

void cmd_md5toollist(stQzSv* sv, const CmdCall&) {
    stRemote* r = &sv->remote;
    for (int i = 0; i < r->md5Count; ++i) {
        const stMd5Tool& e = r->md5[i];
        svCon(sv, "%d %s%c \"%s\" %c \"%s\" SZ%lu AT%lu LEN%lu \"%s\"", i + 1,
              e.used ? "" : "*DELETED* ", e.kind, e.text1, e.kind2, e.text2, e.sz, e.at, e.len,
              e.text3);
    }
    svCon(sv, "End of MD5Tool List (%d Entr%s)", r->md5Count, r->md5Count == 1 ? "y" : "ies");
}

void cmd_md5tooldel(stQzSv* sv, const CmdCall& call) {
    stRemote* r = &sv->remote;
    char* end = nullptr;
    long n = strtol(call.args, &end, 10);
    if (end == call.args || n < 1 || n > r->md5Count) {
        svMsg(sv, "Invalid Slot# Specified");
        return;
    }
    stMd5Tool& e = r->md5[n - 1];
    if (!e.used) {
        svMsg(sv, "Slot #%ld is already deleted", n);
        return;
    }
    e.used = 0;
    svMsg(sv, "Slot #%ld deleted", n);
}

void cmd_md5toolempty(stQzSv* sv, const CmdCall&) {
    sv->remote.md5Count = 0;
    md5ListEmptied(sv);
    svMsg(sv, "MD5Tool List (in Memory) has been Emptied");
}
