// The fleet ban wire form: body formats and parsers, the sealed envelope and the replay window.
// Every parser walks a bounded cursor over text that may be hostile and fills fixed buffers.
#include "remote/fleet_wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cinttypes>
#include <cstring>

#include "util/text.h"

namespace {

bool isIdChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           c == '.' || c == '-';
}
bool isAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
// A token byte: printable, not a blank, not a quote.
bool isTokenChar(unsigned char c) { return c > 0x20 && c != 0x7f && c != '"'; }
// A name byte: not a control byte, not a quote.
bool isNameChar(unsigned char c) { return c >= 0x20 && c != 0x7f && c != '"'; }

bool tokenOk(const char* s, int min, int max) {
    int n = slen(s);
    if (n < min || n > max) return false;
    for (int i = 0; i < n; i++)
        if (!isTokenChar(static_cast<unsigned char>(s[i]))) return false;
    return true;
}
bool nameOk(const char* s) {
    int n = slen(s);
    if (n > QZF_NAME_MAX) return false;
    for (int i = 0; i < n; i++)
        if (!isNameChar(static_cast<unsigned char>(s[i]))) return false;
    return true;
}
bool verdictOk(const char* v) {
    return !strcmp(v, QZF_BANNED) || !strcmp(v, QZF_CLEAR) || !strcmp(v, QZF_ACK) ||
           !strcmp(v, QZF_REFUSED);
}
bool answerKindOk(const char* k) {
    int n = slen(k);
    if (n < 1 || n > 7) return false;
    for (int i = 0; i < n; i++)
        if (k[i] < 'A' || k[i] > 'Z') return false;
    return true;
}
bool scopeOk(const char* s) { return !strcmp(s, QZF_SCOPE_OWN) || !strcmp(s, QZF_SCOPE_FLEET); }
bool guidFieldOk(const char* g, bool star) {
    if (star && !strcmp(g, "*")) return true;
    return fleetGuidOk(g, slen(g));
}

// A bounded reading position in a body.
struct Cursor {
    const char* p;
    const char* end;
};
bool lit(Cursor* c, const char* word) {
    int n = slen(word);
    if (c->end - c->p < n || memcmp(c->p, word, static_cast<size_t>(n)) != 0) return false;
    c->p += n;
    return true;
}
bool ch(Cursor* c, char want) {
    if (c->p >= c->end || *c->p != want) return false;
    c->p++;
    return true;
}
// Decimal uint64: 1..20 digits, no overflow.
bool dec(Cursor* c, uint64_t* out) {
    uint64_t v = 0;
    int digits = 0;
    while (c->p < c->end && *c->p >= '0' && *c->p <= '9') {
        unsigned d = static_cast<unsigned>(*c->p - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
        c->p++;
        if (++digits > 20) return false;
    }
    *out = v;
    return digits > 0;
}
bool dec32(Cursor* c, uint32_t* out) {
    uint64_t v;
    if (!dec(c, &v) || v > 0x7fffffffu) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}
// Hexadecimal number of 1..MAXDIGITS digits.
bool hexDigits(Cursor* c, int maxDigits, uint64_t* out) {
    uint64_t v = 0;
    int digits = 0;
    while (c->p < c->end) {
        char x = *c->p;
        unsigned d;
        if (x >= '0' && x <= '9')
            d = static_cast<unsigned>(x - '0');
        else if (x >= 'a' && x <= 'f')
            d = static_cast<unsigned>(x - 'a' + 10);
        else if (x >= 'A' && x <= 'F')
            d = static_cast<unsigned>(x - 'A' + 10);
        else
            break;
        if (++digits > maxDigits) return false;
        v = v << 4 | d;
        c->p++;
    }
    *out = v;
    return digits > 0;
}
// Hexadecimal uint32: 1..8 digits.
bool hex(Cursor* c, uint32_t* out) {
    uint64_t v;
    if (!hexDigits(c, 8, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}
// Hexadecimal uint64: 1..16 digits.
bool hex64(Cursor* c, uint64_t* out) { return hexDigits(c, 16, out); }
// A report id: "<epoch>:<counter>" or the counter alone (epoch 0), both hexadecimal.
bool reportId(Cursor* c, uint64_t* epoch, uint32_t* id) {
    uint64_t first;
    if (!hex64(c, &first)) return false;
    if (ch(c, ':')) {
        *epoch = first;
        return hex(c, id);
    }
    if (first > 0xffffffffu) return false;
    *epoch = 0;
    *id = static_cast<uint32_t>(first);
    return true;
}
// Writes a report id into out (at least 26 bytes).
void reportIdText(uint64_t epoch, uint32_t id, char* out, int size) {
    if (epoch)
        trf(out, size, "%" PRIx64 ":%x", epoch, id);
    else
        trf(out, size, "%x", id);
}
// A run of token bytes up to a blank or the end, copied into out (max characters).
bool token(Cursor* c, char* out, int max) {
    const char* s = c->p;
    while (c->p < c->end && isTokenChar(static_cast<unsigned char>(*c->p))) c->p++;
    int n = static_cast<int>(c->p - s);
    if (n < 1 || n > max) return false;
    memcpy(out, s, static_cast<size_t>(n));
    out[n] = 0;
    return true;
}
// "<name>": quotes around 0..QZF_NAME_MAX name bytes.
bool quoted(Cursor* c, char* out) {
    if (!ch(c, '"')) return false;
    const char* s = c->p;
    while (c->p < c->end && isNameChar(static_cast<unsigned char>(*c->p))) c->p++;
    int n = static_cast<int>(c->p - s);
    if (n > QZF_NAME_MAX || !ch(c, '"')) return false;
    memcpy(out, s, static_cast<size_t>(n));
    out[n] = 0;
    return true;
}
bool done(const Cursor* c) { return c->p == c->end; }

bool parseReport(Cursor* c, FleetBody* b) {
    uint64_t slot;
    if (!reportId(c, &b->epoch, &b->id) || !ch(c, ' ') || !dec(c, &b->time) || !ch(c, '|') ||
        !dec(c, &b->length) || !ch(c, ' ') || !dec(c, &slot) || slot > 0x7fffffffu)
        return false;
    b->slot = static_cast<uint32_t>(slot);
    if (c->p >= c->end || *c->p < 'A' || *c->p > 'Z') return false;
    b->banKind = *c->p++;
    return ch(c, ' ') && token(c, b->guid, QZF_GUID_MAX) && guidFieldOk(b->guid, false) &&
           ch(c, ' ') && token(c, b->addr, QZF_ADDR_MAX) && ch(c, ' ') &&
           token(c, b->origin, QZF_ORIGIN_MAX) && ch(c, ' ') && quoted(c, b->name) && done(c);
}

bool parseQuery(Cursor* c, FleetBody* b) {
    if (!hex(c, &b->id) || !ch(c, ' ') || !dec32(c, &b->slot) || !ch(c, '|') || !dec(c, &b->time) ||
        !lit(c, " GUID=") || !token(c, b->guid, QZF_GUID_MAX) || !guidFieldOk(b->guid, true) ||
        !lit(c, " EXTRA=") || !token(c, b->addr, QZF_ADDR_MAX) || !done(c))
        return false;
    if (!strcmp(b->guid, "*")) {
        Cursor e{b->addr, b->addr + slen(b->addr)};
        if (!lit(&e, "sync:") || !dec(&e, &b->fleetId) || !done(&e)) return false;
        b->sync = 1;
    }
    return true;
}

bool parseUnban(Cursor* c, FleetBody* b) {
    if (!reportId(c, &b->epoch, &b->id) || !ch(c, ' ') || !dec(c, &b->fleetId) || !ch(c, ' ') ||
        !dec32(c, &b->slot) || !ch(c, ' ') || !dec(c, &b->time) || !ch(c, '|') ||
        !dec(c, &b->length) || !lit(c, " GUID=") || !token(c, b->guid, QZF_GUID_MAX) ||
        !guidFieldOk(b->guid, false) || !lit(c, " EXTRA="))
        return false;
    if (done(c)) {
        memcpy(b->scope, QZF_SCOPE_OWN, 4);
        return true;
    }
    return token(c, b->scope, 7) && scopeOk(b->scope) && done(c);
}

bool parseAnswer(Cursor* c, FleetBody* b) {
    return dec(c, &b->fleetId) && ch(c, ' ') && reportId(c, &b->epoch, &b->id) && ch(c, ' ') &&
           token(c, b->verdict, 7) && verdictOk(b->verdict) && ch(c, ' ') &&
           token(c, b->guid, QZF_GUID_MAX) && guidFieldOk(b->guid, true) && ch(c, ' ') &&
           quoted(c, b->name) && ch(c, ' ') && token(c, b->answerKind, 7) &&
           answerKindOk(b->answerKind) &&
           (done(c) || (ch(c, ' ') && token(c, b->server, QZF_ID_MAX) &&
                        fleetIdOk(b->server, slen(b->server)) && done(c)));
}

bool parsePush(Cursor* c, FleetBody* b) {
    if (!dec(c, &b->fleetId) || !ch(c, ' ') || !hex(c, &b->id) || !ch(c, ' ') ||
        !token(c, b->guid, QZF_GUID_MAX) || !guidFieldOk(b->guid, false) || !ch(c, ' ') ||
        !token(c, b->server, QZF_ID_MAX) || !fleetIdOk(b->server, slen(b->server)) || !ch(c, ' ') ||
        !quoted(c, b->name) || !ch(c, ' ') || !dec(c, &b->time) || !ch(c, ' ') ||
        !dec(c, &b->length) || !ch(c, ' ') || !dec(c, &b->change) || b->change == 0)
        return false;
    return done(c);
}

// SBanServ<hello id> <after> <up to> <count> MORE|DONE
bool parsePage(Cursor* c, FleetBody* b) {
    if (!hex(c, &b->id) || !ch(c, ' ') || !dec(c, &b->after) || !ch(c, ' ') ||
        !dec(c, &b->change) || b->change < b->after || !ch(c, ' ') || !dec32(c, &b->count) ||
        !ch(c, ' '))
        return false;
    if (lit(c, "MORE"))
        b->more = 1;
    else if (!lit(c, "DONE"))
        return false;
    return done(c);
}

// LVRRep "<server>" <origin> |<time>| <json>
bool parseAudit(Cursor* c, FleetBody* b) {
    if (!lit(c, "VRRep \"") || !token(c, b->server, QZF_ID_MAX) ||
        !fleetIdOk(b->server, slen(b->server)) || !ch(c, '"') || !ch(c, ' ') ||
        !token(c, b->origin, QZF_ORIGIN_MAX) || !lit(c, " |") || !dec(c, &b->time) ||
        !lit(c, "| ") || c->p >= c->end || *c->p != '{')
        return false;
    for (const char* q = c->p; q < c->end; q++)
        if (*q == '\n' || *q == 0) return false;
    b->json = c->p;
    b->jsonLen = static_cast<int>(c->end - c->p);
    return true;
}

void hexOut(const unsigned char* in, int n, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < n; i++) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 15];
    }
    out[2 * n] = 0;
}

// HMAC-SHA256 over "QZF1 <server> <counter> <dir>\n<body>" as 64 lower-case hex digits.
bool macOf(const char* body, int bodyLen, const char* server, uint64_t counter, char dir,
           const unsigned char key[QZF_KEY_BYTES], char out[65]) {
    char data[QZF_PACKET_MAX + 128];
    int h =
        trf(data, static_cast<int>(sizeof data), "QZF1 %s %" PRIu64 " %c\n", server, counter, dir);
    if (h < 0 || bodyLen < 0 || h + bodyLen > static_cast<int>(sizeof data)) return false;
    memcpy(data + h, body, static_cast<size_t>(bodyLen));
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned macLen = 0;
    if (!HMAC(EVP_sha256(), key, QZF_KEY_BYTES, reinterpret_cast<unsigned char*>(data),
              static_cast<size_t>(h + bodyLen), mac, &macLen) ||
        macLen != 32)
        return false;
    hexOut(mac, 32, out);
    return true;
}

}  // namespace

bool fleetIdOk(const char* s, int n) {
    if (!s || n < 1 || n > QZF_ID_MAX) return false;
    for (int i = 0; i < n; i++)
        if (!isIdChar(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

bool fleetGuidOk(const char* s, int n) {
    if (!s || n < 1 || n > QZF_GUID_MAX) return false;
    for (int i = 0; i < n; i++)
        if (!isAlnum(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

void fleetCleanName(const char* name, char* out) {
    int n = 0;
    for (; name && name[n] && n < QZF_NAME_MAX; n++) {
        unsigned char c = static_cast<unsigned char>(name[n]);
        out[n] = c == '"' ? '\'' : (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    }
    out[n] = 0;
}

int fleetFormat(char* out, int size, const FleetBody& b) {
    if (!out || size < 1) return 0;
    out[0] = 0;
    int n = -1;
    char rid[40];
    reportIdText(b.epoch, b.id, rid, static_cast<int>(sizeof rid));
    switch (b.kind) {
        case QZF_REPORT:
            if (b.banKind < 'A' || b.banKind > 'Z' || !guidFieldOk(b.guid, false) ||
                !tokenOk(b.addr, 1, QZF_ADDR_MAX) || !tokenOk(b.origin, 1, QZF_ORIGIN_MAX) ||
                !nameOk(b.name) || b.slot > 0x7fffffffu)
                return 0;
            n = trf(out, size, "BBanServ%s %" PRIu64 "|%" PRIu64 " %u%c %s %s %s \"%s\"", rid,
                    b.time, b.length, b.slot, b.banKind, b.guid, b.addr, b.origin, b.name);
            break;
        case QZF_QUERY:
            if (!guidFieldOk(b.guid, true) || b.slot > 0x7fffffffu) return 0;
            if (!strcmp(b.guid, "*"))
                n = trf(out, size, "QBanServ%x %u|%" PRIu64 " GUID=* EXTRA=sync:%" PRIu64, b.id,
                        b.slot, b.time, b.fleetId);
            else if (tokenOk(b.addr, 1, QZF_ADDR_MAX))
                n = trf(out, size, "QBanServ%x %u|%" PRIu64 " GUID=%s EXTRA=%s", b.id, b.slot,
                        b.time, b.guid, b.addr);
            else
                return 0;
            break;
        case QZF_UNBAN:
            if (!guidFieldOk(b.guid, false) || b.slot > 0x7fffffffu ||
                (b.scope[0] && !scopeOk(b.scope)))
                return 0;
            n = trf(out, size, "UBanServ%s %" PRIu64 " %u %" PRIu64 "|%" PRIu64 " GUID=%s EXTRA=%s",
                    rid, b.fleetId, b.slot, b.time, b.length, b.guid,
                    b.scope[0] ? b.scope : QZF_SCOPE_OWN);
            break;
        case QZF_ANSWER:
            if (!verdictOk(b.verdict) || !guidFieldOk(b.guid, true) || !nameOk(b.name) ||
                !answerKindOk(b.answerKind))
                return 0;
            if (b.server[0] && !fleetIdOk(b.server, slen(b.server))) return 0;
            n = trf(out, size, "ABanServ%" PRIu64 " %s %s %s \"%s\" %s%s%s", b.fleetId, rid,
                    b.verdict, b.guid, b.name, b.answerKind, b.server[0] ? " " : "", b.server);
            break;
        case QZF_PUSH:
        case QZF_LIFT:
            if (!guidFieldOk(b.guid, false) || !fleetIdOk(b.server, slen(b.server)) ||
                !nameOk(b.name) || b.change == 0)
                return 0;
            n = trf(out, size,
                    "%cBanServ%" PRIu64 " %x %s %s \"%s\" %" PRIu64 " %" PRIu64 " %" PRIu64, b.kind,
                    b.fleetId, b.id, b.guid, b.server, b.name, b.time, b.length, b.change);
            break;
        case QZF_PAGE:
            if (b.change < b.after) return 0;
            n = trf(out, size, "SBanServ%x %" PRIu64 " %" PRIu64 " %u %s", b.id, b.after, b.change,
                    b.count, b.more ? "MORE" : "DONE");
            break;
        case QZF_AUDIT: {
            if (!fleetIdOk(b.server, slen(b.server)) || !tokenOk(b.origin, 1, QZF_ORIGIN_MAX) ||
                !b.json || b.jsonLen < 1 || b.json[0] != '{')
                return 0;
            for (int i = 0; i < b.jsonLen; i++)
                if (b.json[i] == '\n' || b.json[i] == 0) return 0;
            n = trf(out, size, "LVRRep \"%s\" %s |%" PRIu64 "| %.*s", b.server, b.origin, b.time,
                    b.jsonLen, b.json);
            break;
        }
        default: return 0;
    }
    if (n < 0 || n >= size || n > QZF_BODY_MAX) {
        out[0] = 0;
        return 0;
    }
    return n;
}

bool fleetParse(const char* text, int n, FleetBody* b) {
    if (!text || !b || n < 2 || n > QZF_BODY_MAX) return false;
    memset(b, 0, sizeof *b);
    b->kind = text[0];
    Cursor c{text + 1, text + n};
    switch (b->kind) {
        case QZF_AUDIT: return parseAudit(&c, b);
        case QZF_REPORT:
        case QZF_QUERY:
        case QZF_UNBAN:
        case QZF_ANSWER:
        case QZF_PUSH:
        case QZF_LIFT:
        case QZF_PAGE: break;
        default: return false;
    }
    if (!lit(&c, "BanServ")) return false;
    switch (b->kind) {
        case QZF_REPORT: return parseReport(&c, b);
        case QZF_QUERY: return parseQuery(&c, b);
        case QZF_UNBAN: return parseUnban(&c, b);
        case QZF_ANSWER: return parseAnswer(&c, b);
        case QZF_PAGE: return parsePage(&c, b);
        default: return parsePush(&c, b);
    }
}

bool fleetKeyParse(const char* text, int n, unsigned char key[QZF_KEY_BYTES]) {
    if (!text || n < 2 * QZF_KEY_BYTES) return false;
    for (int i = 2 * QZF_KEY_BYTES; i < n; i++)
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') return false;
    for (int i = 0; i < QZF_KEY_BYTES; i++) {
        int v = 0;
        for (int j = 0; j < 2; j++) {
            char x = text[2 * i + j];
            int d;
            if (x >= '0' && x <= '9')
                d = x - '0';
            else if (x >= 'a' && x <= 'f')
                d = x - 'a' + 10;
            else if (x >= 'A' && x <= 'F')
                d = x - 'A' + 10;
            else
                return false;
            v = v << 4 | d;
        }
        key[i] = static_cast<unsigned char>(v);
    }
    return true;
}

uint64_t fleetNextCounter(uint64_t* last, uint64_t nowMicros) {
    uint64_t next = *last + 1 > nowMicros ? *last + 1 : nowMicros;
    *last = next;
    return next;
}

uint64_t fleetMasterCounter(uint64_t epoch, uint32_t* seq) {
    if (epoch == 0 || epoch > 0x7fffffffu || *seq == 0xffffffffu) return 0;
    return epoch << 32 | ++*seq;
}

int fleetSeal(char* out, int size, const char* body, int bodyLen, const char* server,
              uint64_t counter, char dir, const unsigned char key[QZF_KEY_BYTES]) {
    if (!out || size < 1 || !body || bodyLen < 1 || bodyLen > QZF_BODY_MAX ||
        !fleetIdOk(server, slen(server)) || (dir != QZF_TO_SERVICE && dir != QZF_TO_SERVER))
        return 0;
    if (memchr(body, '\n', static_cast<size_t>(bodyLen))) return 0;
    char mac[65];
    if (!macOf(body, bodyLen, server, counter, dir, key, mac)) return 0;
    char trailer[QZF_TRAILER_MAX + 2];
    int t = trf(trailer, static_cast<int>(sizeof trailer), "\nQZF1 %s %" PRIu64 " %s", server,
                counter, mac);
    if (t < 0 || t >= static_cast<int>(sizeof trailer) || bodyLen + t > QZF_PACKET_MAX ||
        bodyLen + t >= size)
        return 0;
    memmove(out, body, static_cast<size_t>(bodyLen));
    memcpy(out + bodyLen, trailer, static_cast<size_t>(t) + 1);
    return bodyLen + t;
}

const char* fleetRefusalName(int reason) {
    static const char* const names[QZF_REFUSALS] = {"ok",      "bad-syntax", "unknown-server",
                                                    "cut-off", "bad-mac",    "replay"};
    return reason >= 0 && reason < QZF_REFUSALS ? names[reason] : "?";
}

int fleetOpen(const char* packet, int n, FleetEnvelope* env) {
    if (!packet || !env || n < 2 || n > QZF_PACKET_MAX) return QZF_BAD_SYNTAX;
    memset(env, 0, sizeof *env);
    const char* nl = static_cast<const char*>(memrchr(packet, '\n', static_cast<size_t>(n)));
    if (!nl || nl == packet) return QZF_BAD_SYNTAX;
    Cursor c{nl + 1, packet + n};
    uint64_t counter;
    if (!lit(&c, "QZF1 ")) return QZF_BAD_SYNTAX;
    const char* id = c.p;
    while (c.p < c.end && isIdChar(static_cast<unsigned char>(*c.p))) c.p++;
    int idLen = static_cast<int>(c.p - id);
    if (!fleetIdOk(id, idLen) || !ch(&c, ' ') || !dec(&c, &counter) || !ch(&c, ' '))
        return QZF_BAD_SYNTAX;
    if (c.end - c.p != 64) return QZF_BAD_SYNTAX;
    for (const char* q = c.p; q < c.end; q++)
        if (!((*q >= '0' && *q <= '9') || (*q >= 'a' && *q <= 'f'))) return QZF_BAD_SYNTAX;
    memcpy(env->server, id, static_cast<size_t>(idLen));
    env->server[idLen] = 0;
    env->counter = counter;
    env->body = packet;
    env->bodyLen = static_cast<int>(nl - packet);
    env->mac = c.p;
    if (env->bodyLen > QZF_BODY_MAX || memchr(packet, '\n', static_cast<size_t>(env->bodyLen)))
        return QZF_BAD_SYNTAX;
    return QZF_OK;
}

bool fleetVerify(const FleetEnvelope& env, char dir, const unsigned char key[QZF_KEY_BYTES]) {
    if (!env.body || !env.mac || !key) return false;
    char mac[65];
    if (!macOf(env.body, env.bodyLen, env.server, env.counter, dir, key, mac)) return false;
    return CRYPTO_memcmp(mac, env.mac, 64) == 0;
}

bool fleetWindowFresh(const FleetWindow& w, uint64_t counter) {
    if (counter == 0) return false;
    if (counter > w.highest) return true;
    uint64_t back = w.highest - counter;  // 0: the highest itself
    if (back == 0 || back > 64) return false;
    return !(w.seen >> (back - 1) & 1);
}

bool fleetWindowAccept(FleetWindow* w, uint64_t counter) {
    if (!fleetWindowFresh(*w, counter)) return false;
    if (counter > w->highest) {
        uint64_t shift = counter - w->highest;
        // The former highest becomes bit shift-1; bits that fall out of the window are dropped.
        if (w->highest == 0 || shift > 64)
            w->seen = 0;
        else if (shift == 64)
            w->seen = uint64_t{1} << 63;
        else
            w->seen = (w->seen << shift) | (uint64_t{1} << (shift - 1));
        w->highest = counter;
    } else {
        w->seen |= uint64_t{1} << (w->highest - counter - 1);
    }
    return true;
}
