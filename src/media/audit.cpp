// The audit log: writing records (one write(2) each, no fsync in the frame), rotating the file by
// size, holding an audited command's answer until its record is written, and reading the last
// records back for the console and the WebTool.
#include "media/audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"

namespace {

const QzOrigin kConsoleOrigin{QZ_ORIGIN_CONSOLE, 0, "", "", ""};

void put(char* out, int size, int* len, const char* text) {
    while (*text && *len < size - 1) out[(*len)++] = *text++;
    out[*len] = 0;
}

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when the bytes there are not one
// (overlong forms, surrogates and code points past U+10FFFF included).
int utf8Length(const unsigned char* p) {
    unsigned c = p[0];
    int n;
    unsigned cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return n;
}

bool openFile(stAudit* a) {
    if (a->isOpen) return true;
    FILE* f = homeOpen(QZ_AUDIT_FILE, "a+b", 0600);
    if (!f) {
        QZ_TRF(a->lastError, "cannot open %s: %s", QZ_AUDIT_FILE, homeOpenError());
        return false;
    }
    int fd = fcntl(fileno(f), F_DUPFD_CLOEXEC, 0);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) a->size = static_cast<long>(st.st_size);
    fclose(f);
    if (fd < 0) {
        QZ_TRF(a->lastError, "cannot open %s: %s", QZ_AUDIT_FILE, strerror(errno));
        return false;
    }
    a->fd = fd;
    a->isOpen = 1;
    // A file that does not end a line (a record cut short by a full disk before a restart) gets
    // the next record on a line of its own.
    char last = '\n';
    a->broken = a->size > 0 && pread(fd, &last, 1, a->size - 1) == 1 && last != '\n';
    return true;
}

// Moves qzaudit.log to .1, .1 to .2 and so on; the oldest beyond QZ_AUDIT_KEEP is removed.
void rotate(stAudit* a) {
    if (a->isOpen) {
        close(a->fd);
        a->isOpen = 0;
    }
    char from[QZ_PATH_MAX], to[QZ_PATH_MAX];
    QZ_TRF(to, "%s%s.%d", homeDir(), QZ_AUDIT_FILE, QZ_AUDIT_KEEP);
    unlink(to);
    for (int i = QZ_AUDIT_KEEP - 1; i >= 1; --i) {
        QZ_TRF(from, "%s%s.%d", homeDir(), QZ_AUDIT_FILE, i);
        QZ_TRF(to, "%s%s.%d", homeDir(), QZ_AUDIT_FILE, i + 1);
        rename(from, to);
    }
    QZ_TRF(from, "%s%s", homeDir(), QZ_AUDIT_FILE);
    QZ_TRF(to, "%s%s.1", homeDir(), QZ_AUDIT_FILE);
    rename(from, to);
    a->size = 0;
    a->broken = 0;
}

void putTime(char* out, int size, int* len) {
    time_t t = qzTime();
    struct tm tm {};
    gmtime_r(&t, &tm);
    char stamp[32];
    QZ_TRF(stamp, "\"%04d-%02d-%02dT%02d:%02d:%02dZ\"", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    put(out, size, len, stamp);
}

void putField(char* out, int size, int* len, const char* name, const char* value, int max) {
    if (!value || !*value) return;
    put(out, size, len, ",\"");
    put(out, size, len, name);
    put(out, size, len, "\":");
    auditJsonString(out, size, len, value, max);
}

void putNumber(char* out, int size, int* len, const char* name, int value) {
    if (!value) return;
    char text[48];
    QZ_TRF(text, ",\"%s\":%d", name, value);
    put(out, size, len, text);
}

const char* resultName(int result) {
    switch (result) {
        case QZ_AUDIT_REFUSED: return "refused";
        case QZ_AUDIT_FAILED: return "failed";
        default: return "done";
    }
}

// True for a whole record: the line from q to its end at nl is one JSON object.
bool wholeRecord(const char* q, const char* nl) { return q[0] == '{' && nl > q && nl[-1] == '}'; }

bool matches(const char* q, const char* filter) {
    return !filter || !*filter || svFindNoCase(q, filter);
}

}  // namespace

const QzOrigin* auditOrigin(const stQzSv* sv) {
    return sv->cmd.origin ? sv->cmd.origin : &kConsoleOrigin;
}

const char* auditKindName(int kind) {
    static const char* const kNames[] = {"console", "config", "task",   "ucon",  "web",   "event",
                                         "vote",    "player", "master", "fleet", "module"};
    if (kind < 0 || kind >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "unknown";
    return kNames[kind];
}

void auditJsonString(char* out, int size, int* len, const char* text, int max) {
    put(out, size, len, "\"");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : "");
    int taken = 0;
    // Room kept for "...", the closing quote and the terminator.
    const int end = size - 6;
    while (*p && *len < end) {
        if (taken >= max) {
            put(out, size, len, "...");
            break;
        }
        unsigned c = *p;
        char esc[8] = "";
        int n = 1;
        if (c == '"') {
            QZ_COPY(esc, "\\\"");
        } else if (c == '\\') {
            QZ_COPY(esc, "\\\\");
        } else if (c < 0x20 || c == 0x7F) {
            QZ_TRF(esc, "\\u%04x", c);
        } else if (c >= 0x80) {
            n = utf8Length(p);
            if (n == 0) {
                QZ_COPY(esc, "\\ufffd");
                n = 1;
            }
        }
        if (esc[0]) {
            if (*len + slen(esc) >= end) break;
            put(out, size, len, esc);
        } else {
            // A whole sequence or nothing: a cut never leaves half a character.
            if (*len + n >= end) break;
            for (int i = 0; i < n; ++i) out[(*len)++] = static_cast<char>(p[i]);
            out[*len] = 0;
        }
        p += n;
        taken += n;
    }
    put(out, size, len, "\"");
}

bool auditWrite(stQzSv* sv, const char* action, const QzAuditTarget* target, const char* command,
                int result, const char* why) {
    stAudit* a = &sv->audit;
    const QzOrigin* o = auditOrigin(sv);
    char line[QZ_AUDIT_LINE_MAX];
    int len = 0;
    line[0] = 0;
    const int size = qz::cap(line) - 2;  // room for the line end
    put(line, size, &len, "{\"time\":");
    putTime(line, size, &len);
    put(line, size, &len, ",\"origin\":{\"kind\":\"");
    put(line, size, &len, auditKindName(o->kind));
    put(line, size, &len, "\"");
    putNumber(line, size, &len, "slot", o->slot);
    putField(line, size, &len, "name", o->name, 64);
    putField(line, size, &len, "addr", o->addr, 48);
    putField(line, size, &len, "guid", o->guid, 33);
    put(line, size, &len, "},\"action\":");
    auditJsonString(line, size, &len, action, 64);
    if (target) {
        put(line, size, &len, ",\"target\":{");
        int mark = len;
        putNumber(line, size, &len, "slot", target->slot);
        putField(line, size, &len, "name", target->name, 64);
        putField(line, size, &len, "guid", target->guid, 33);
        putField(line, size, &len, "addr", target->addr, 48);
        // The first member has no comma before it.
        if (len > mark && line[mark] == ',') {
            memmove(line + mark, line + mark + 1, static_cast<size_t>(len - mark));
            len--;
        }
        put(line, size, &len, "}");
    }
    putField(line, size, &len, "command", command, 1024);
    put(line, size, &len, ",\"result\":\"");
    put(line, size, &len, resultName(result));
    put(line, size, &len, "\"");
    putField(line, size, &len, "why", why, 512);
    put(line, size, &len, "}");
    // The fields are bounded well below the line, so the object is always closed.
    line[len++] = '\n';
    line[len] = 0;

    if (!a->on) return true;
    if (!openFile(a)) {
        a->failures++;
        return false;
    }
    if (a->size + len > QZ_AUDIT_ROTATE_BYTES) {
        rotate(a);
        if (!openFile(a)) {
            a->failures++;
            return false;
        }
    }
    // A record cut short before (a full disk) is ended first, so that this one stands on a line
    // of its own; the reader skips the cut line.
    const char* data = line;
    int n = len;
    char joined[QZ_AUDIT_LINE_MAX + 2];
    if (a->broken) {
        joined[0] = '\n';
        memcpy(joined + 1, line, static_cast<size_t>(len));
        data = joined;
        n = len + 1;
    }
    ssize_t wrote = write(a->fd, data, static_cast<size_t>(n));
    if (wrote == n) {
        a->size += n;
        a->broken = 0;
        return true;
    }
    int err = wrote < 0 ? errno : ENOSPC;
    if (wrote > 0) {
        a->size += wrote;
        a->broken = 1;
    }
    QZ_TRF(a->lastError, "%s", strerror(err));
    a->failures++;
    return false;
}

void auditClose(stQzSv* sv) {
    stAudit* a = &sv->audit;
    if (a->isOpen) close(a->fd);
    a->isOpen = 0;
    a->holding = 0;
    a->holdLen = 0;
}

bool auditHoldBegin(stQzSv* sv) {
    stAudit* a = &sv->audit;
    if (a->holding) return false;
    a->holding = 1;
    a->holdLen = 0;
    a->haveFirst = 0;
    a->first[0] = 0;
    return true;
}

bool auditHoldLine(stQzSv* sv, const char* line, int length) {
    stAudit* a = &sv->audit;
    if (!a->haveFirst) {
        QZ_COPY(a->first, line);
        a->haveFirst = 1;
    }
    if (a->holdLen + length + 1 > QZ_AUDIT_HOLD_MAX) {
        // No room: what was held is shown now and the rest goes out as it comes.
        auditHoldRelease(sv);
        return false;
    }
    memcpy(a->hold + a->holdLen, line, static_cast<size_t>(length));
    a->holdLen += length;
    a->hold[a->holdLen++] = 0;
    return true;
}

void auditHoldFlush(stQzSv* sv) {
    stAudit* a = &sv->audit;
    if (!a->holding || a->holdLen == 0) return;
    // Shown with holding off, so that nothing shown here is held again.
    a->holding = 0;
    int at = 0;
    while (at < a->holdLen) {
        const char* text = a->hold + at;
        int n = slen(text);
        svMsgEmit(sv, QZ_MSG_CONSOLE, text, n);
        at += n + 1;
    }
    a->holdLen = 0;
    a->holding = 1;
}

void auditHoldRelease(stQzSv* sv) {
    auditHoldFlush(sv);
    sv->audit.holding = 0;
}

int auditHoldMark(const stQzSv* sv) {
    const stAudit* a = &sv->audit;
    // Outermost: its answer is the first line held from now on (kept even across flushes).
    if (!a->holding) return -1;
    return a->holdLen;
}

void auditHeldAnswer(const stQzSv* sv, int mark, char* out, int size) {
    const stAudit* a = &sv->audit;
    out[0] = 0;
    if (mark < 0) {
        trcpyz(out, a->haveFirst ? a->first : "", size - 1);
    } else if (a->holdLen > mark) {
        trcpyz(out, a->hold + mark, size - 1);
    }
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
        if (wholeRecord(q, nl) && matches(q, filter)) total++;
        *nl = '\n';
        q = nl + 1;
    }
    int skip = total > count ? total - count : 0;
    int shown = 0;
    for (char* q = p; *q;) {
        char* nl = strchr(q, '\n');
        if (!nl) break;
        *nl = 0;
        if (wholeRecord(q, nl) && matches(q, filter)) {
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
