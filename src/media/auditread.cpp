// Reading the audit log back: the last records of the file (one bounded read), a record's texts
// as the bytes that were recorded (the JSON escapes undone, "\udcNN" back to the byte NN), and
// the filter, which finds what the administrator typed in the record as written or as read back.
#include <cstdio>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// True for a whole record: the line from q to its end at nl is one JSON object.
bool wholeRecord(const char* q, const char* nl) { return q[0] == '{' && nl > q && nl[-1] == '}'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hexadecimal digits at p, or -1.
int hex4(const char* p) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
        int d = hexDigit(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Appends the UTF-8 form of code point cp to out (at *n, size bytes).
void putUtf8(char* out, int size, int* n, unsigned cp) {
    char b[4];
    int k;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        k = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 4;
    }
    if (*n + k >= size) return;
    memcpy(out + *n, b, static_cast<size_t>(k));
    *n += k;
}

// Reads the JSON string at p (at its opening quote) into out (size bytes, always terminated, cut
// when it does not fit) and moves p past it. False when p holds no whole string.
bool readString(const char*& p, char* out, int size) {
    if (*p != '"') return false;
    p++;
    int n = 0;
    auto add = [&](char c) {
        if (n < size - 1) out[n++] = c;
    };
    while (*p && *p != '"') {
        if (*p != '\\') {
            add(*p++);
            continue;
        }
        p++;
        char e = *p;
        if (!e) return false;
        p++;
        switch (e) {
            case 'b': add('\b'); break;
            case 'f': add('\f'); break;
            case 'n': add('\n'); break;
            case 'r': add('\r'); break;
            case 't': add('\t'); break;
            case 'u': {
                int cp = hex4(p);
                if (cp < 0) return false;
                p += 4;
                if (cp >= 0xDC80 && cp <= 0xDCFF) {
                    add(static_cast<char>(cp - 0xDC00));  // a byte that was not UTF-8
                } else if (cp >= 0xD800 && cp <= 0xDBFF && p[0] == '\\' && p[1] == 'u' &&
                           hex4(p + 2) >= 0xDC00 && hex4(p + 2) <= 0xDFFF) {
                    unsigned full = 0x10000 + ((static_cast<unsigned>(cp) - 0xD800) << 10) +
                                    (static_cast<unsigned>(hex4(p + 2)) - 0xDC00);
                    p += 6;
                    putUtf8(out, size, &n, full);
                } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                    add('?');
                } else {
                    putUtf8(out, size, &n, static_cast<unsigned>(cp));
                }
                break;
            }
            default: add(e); break;  // '"', '\\' and '/'
        }
    }
    out[n] = 0;
    if (*p != '"') return false;
    p++;
    return true;
}

int readNumber(const char*& p) {
    int v = 0;
    bool negative = *p == '-';
    if (negative) p++;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000000) v = v * 10 + (*p - '0');
        p++;
    }
    return negative ? -v : v;
}

void skipBlanks(const char*& p) {
    while (*p == ' ' || *p == '\t') p++;
}

// Where the member key of the object part (the top level, "origin" or "target") goes.
char* textField(QzAuditView* v, const char* part, const char* key, int* size) {
    struct Field {
        const char* part;
        const char* key;
        char* at;
        int size;
    };
    const Field fields[] = {
        {"", "time", v->time, qz::cap(v->time)},
        {"", "action", v->action, qz::cap(v->action)},
        {"", "command", v->command, qz::cap(v->command)},
        {"", "result", v->result, qz::cap(v->result)},
        {"", "why", v->why, qz::cap(v->why)},
        {"origin", "kind", v->kind, qz::cap(v->kind)},
        {"origin", "name", v->name, qz::cap(v->name)},
        {"origin", "addr", v->addr, qz::cap(v->addr)},
        {"origin", "guid", v->guid, qz::cap(v->guid)},
        {"origin", "level", v->level, qz::cap(v->level)},
        {"target", "name", v->targetName, qz::cap(v->targetName)},
        {"target", "guid", v->targetGuid, qz::cap(v->targetGuid)},
        {"target", "addr", v->targetAddr, qz::cap(v->targetAddr)},
    };
    for (const Field& f : fields) {
        if (strcmp(f.part, part) == 0 && strcmp(f.key, key) == 0) {
            *size = f.size;
            return f.at;
        }
    }
    return nullptr;
}

// Reads the object at p (at its "{") as the part named part; nested objects one level deep.
bool readObject(const char*& p, QzAuditView* v, const char* part) {
    if (*p != '{') return false;
    p++;
    skipBlanks(p);
    if (*p == '}') {
        p++;
        return true;
    }
    for (;;) {
        skipBlanks(p);
        char key[16];
        if (!readString(p, key, qz::cap(key))) return false;
        skipBlanks(p);
        if (*p != ':') return false;
        p++;
        skipBlanks(p);
        if (*p == '"') {
            int size = 0;
            char* at = textField(v, part, key, &size);
            char scratch[8];
            if (!readString(p, at ? at : scratch, at ? size : qz::cap(scratch))) return false;
        } else if (*p == '{') {
            if (part[0] || !readObject(p, v, key)) return false;
        } else if (*p == '-' || (*p >= '0' && *p <= '9')) {
            int n = readNumber(p);
            if (strcmp(key, "slot") == 0) {
                if (strcmp(part, "origin") == 0) v->slot = n;
                if (strcmp(part, "target") == 0) v->targetSlot = n;
            }
        } else {
            return false;
        }
        skipBlanks(p);
        if (*p == ',') {
            p++;
            continue;
        }
        if (*p == '}') {
            p++;
            return true;
        }
        return false;
    }
}

// The filter's other spelling: UTF-8 letters of U+0080..U+00FF as single ISO-8859-1 bytes, or
// ISO-8859-1 bytes as UTF-8. False when it has none (plain ASCII, or letters outside the set).
bool otherSpelling(const char* filter, char* out, int size) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(filter);
    bool high = false, utf8 = true;
    for (const unsigned char* q = p; *q; ++q) {
        if (*q >= 0x80) high = true;
    }
    if (!high) return false;
    // UTF-8 to single bytes when every sequence is a two-byte one of U+0080..U+00FF.
    int n = 0;
    for (const unsigned char* q = p; *q && utf8;) {
        if (*q < 0x80) {
            if (n < size - 1) out[n++] = static_cast<char>(*q);
            q++;
        } else if ((*q == 0xC2 || *q == 0xC3) && (q[1] & 0xC0) == 0x80) {
            if (n < size - 1) out[n++] = static_cast<char>(((*q & 0x03) << 6) | (q[1] & 0x3F));
            q += 2;
        } else {
            utf8 = false;
        }
    }
    if (utf8) {
        out[n] = 0;
        return true;
    }
    // Single bytes to UTF-8.
    n = 0;
    for (const unsigned char* q = p; *q; ++q) putUtf8(out, size, &n, *q);
    out[n] = 0;
    return true;
}

}  // namespace

bool auditDecode(const char* line, QzAuditView* view) {
    memset(view, 0, sizeof *view);
    const char* p = line;
    if (!readObject(p, view, "")) return false;
    skipBlanks(p);
    return (*p == 0 || *p == '\n' || *p == '\r') && view->action[0];
}

bool auditMatches(const char* line, const char* filter) {
    if (!filter || !*filter) return true;
    if (svFindNoCase(line, filter)) return true;
    static QzAuditView v;
    if (!auditDecode(line, &v)) return false;
    // The texts as read back, one after the other.
    static char text[sizeof(QzAuditView)];
    int n = 0;
    const char* parts[] = {v.time,    v.kind,   v.name,       v.level,      v.addr,
                           v.guid,    v.action, v.targetName, v.targetGuid, v.targetAddr,
                           v.command, v.result, v.why};
    for (const char* part : parts) {
        int k = slen(part);
        if (!k || n + k + 2 >= qz::cap(text)) continue;
        memcpy(text + n, part, static_cast<size_t>(k));
        n += k;
        text[n++] = '\n';
    }
    text[n] = 0;
    if (svFindNoCase(text, filter)) return true;
    char other[512];
    return otherSpelling(filter, other, qz::cap(other)) && svFindNoCase(text, other);
}

int auditTail(stQzSv* sv, const char* filter, int count, AuditLineFn fn, void* ctx) {
    (void)sv;
    FILE* f = homeOpen(QZ_AUDIT_FILE, "rb");
    if (!f) return -1;
    static char buf[QZ_AUDIT_TAIL_BYTES + 1];
    long start = 0;
    if (fseek(f, 0, SEEK_END) == 0) {
        long end = ftell(f);
        start = end > QZ_AUDIT_TAIL_BYTES ? end - QZ_AUDIT_TAIL_BYTES : 0;
    }
    fseek(f, start, SEEK_SET);
    size_t got = fread(buf, 1, QZ_AUDIT_TAIL_BYTES, f);
    fclose(f);
    buf[got] = 0;
    // Whole records only: a tail that starts inside a record skips to the next line.
    char* p = buf;
    if (start > 0) {
        char* nl = static_cast<char*>(memchr(buf, '\n', got));
        p = nl ? nl + 1 : buf + got;
    }
    // The newest count matches: the lines are walked once to count matches, then again.
    int total = 0;
    for (char* q = p; *q;) {
        char* nl = strchr(q, '\n');
        if (!nl) break;  // a record cut short
        *nl = 0;
        if (wholeRecord(q, nl) && auditMatches(q, filter)) total++;
        *nl = '\n';
        q = nl + 1;
    }
    int skip = total > count ? total - count : 0;
    int shown = 0;
    for (char* q = p; *q;) {
        char* nl = strchr(q, '\n');
        if (!nl) break;
        *nl = 0;
        if (wholeRecord(q, nl) && auditMatches(q, filter)) {
            if (skip > 0) {
                skip--;
            } else {
                fn(ctx, q);
                shown++;
            }
        }
        q = nl + 1;
    }
    return shown;
}
