// The audit log: writing records (one write(2) each, no fsync in the frame), rotating the file by
// size, summarising refusals beyond a rate, and holding an audited command's answer until its
// record is written. Reading records back is auditread.cpp.
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
#include "webtool/admins.h"

namespace {

const QzOrigin kConsoleOrigin{QZ_ORIGIN_CONSOLE, 0, "", "", "", 0};

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

void putTime(char* out, int size, int* len, time_t t) {
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

}  // namespace

const QzOrigin* auditOrigin(const stQzSv* sv) {
    return sv->cmd.origin ? sv->cmd.origin : &kConsoleOrigin;
}

const char* auditKindName(int kind) {
    static const char* const kNames[] = {"console", "config", "task",   "ucon",
                                         "web",     "event",  "vote",   "player",
                                         "master",  "fleet",  "module", "qzadmin"};
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
                // The byte itself, readable back: U+DC80..U+DCFF never stand for a character of
                // valid UTF-8 (surrogates are not encoded), so they cannot be confused with one.
                QZ_TRF(esc, "\\udc%02x", c);
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

int auditFormat(char* line, int lineSize, long long when, const QzOrigin* o, const char* action,
                const QzAuditTarget* target, const char* command, int result, const char* why) {
    int len = 0;
    line[0] = 0;
    const int size = lineSize - 2;  // room for the line end
    put(line, size, &len, "{\"time\":");
    putTime(line, size, &len, static_cast<time_t>(when));
    put(line, size, &len, ",\"origin\":{\"kind\":\"");
    put(line, size, &len, auditKindName(o->kind));
    put(line, size, &len, "\"");
    putNumber(line, size, &len, "slot", o->slot);
    putField(line, size, &len, "name", o->name, 64);
    if (o->level > 0) putField(line, size, &len, "level", webLevelName(o->level), 8);
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
    return len;
}

bool auditAppendFile(const char* path, const char* line, int length, char* why, int whySize) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        trf(why, whySize, "cannot open %s: %s", QZ_AUDIT_FILE, strerror(errno));
        return false;
    }
    // A record cut short before (a full disk) is ended first, as the module's writer does.
    char last = '\n';
    off_t end = lseek(fd, 0, SEEK_END);
    bool broken = end > 0 && pread(fd, &last, 1, end - 1) == 1 && last != '\n';
    bool ok = (!broken || write(fd, "\n", 1) == 1) &&
              write(fd, line, static_cast<size_t>(length)) == static_cast<ssize_t>(length);
    int err = errno;
    close(fd);
    if (!ok) trf(why, whySize, "cannot write %s: %s", QZ_AUDIT_FILE, strerror(err ? err : ENOSPC));
    return ok;
}

namespace {

// Appends a formatted line to the module's open file (rotating it first when it would pass its
// size). False, with the reason in lastError, when it could not be written.
bool appendLine(stAudit* a, const char* line, int len);

// The origin in force, with the level of the WebTool request being answered: the request knows
// its administrator's level before any record is made.
QzOrigin effectiveOrigin(stQzSv* sv) {
    QzOrigin o = *auditOrigin(sv);
    if (o.kind == QZ_ORIGIN_WEB && o.level == 0 && auditOrigin(sv) == &sv->web.origin)
        o.level = sv->web.level;
    return o;
}

// Counts a refusal beyond the minute's share for its summary, by asker and action.
void leaveOut(stQzSv* sv, const char* action) {
    stAudit* a = &sv->audit;
    const QzOrigin o = effectiveOrigin(sv);
    // The address's port changes with every connection: the summary counts by address.
    char addr[48];
    QZ_COPY(addr, o.addr);
    char* colon = strrchr(addr, ':');
    if (colon && !strchr(addr, '[')) *colon = 0;
    char level[16] = "";
    if (o.level > 0) QZ_TRF(level, " (%s)", webLevelName(o.level));
    char who[128];
    QZ_TRF(who, "%s%s%s%s%s%s %s", auditKindName(o.kind), o.name[0] ? " " : "", o.name, level,
           addr[0] ? " from " : "", addr, action ? action : "");
    long long now = static_cast<long long>(qzTime());
    if (a->leftOut == 0) a->leftFrom = now;
    a->leftTo = now;
    a->leftOut++;
    for (int i = 0; i < a->leftByCount; ++i) {
        if (strcmp(a->leftBy[i].who, who) == 0) {
            a->leftBy[i].count++;
            return;
        }
    }
    if (a->leftByCount < QZ_AUDIT_SUMMARY_WHO) {
        QZ_COPY(a->leftBy[a->leftByCount].who, who);
        a->leftBy[a->leftByCount].count = 1;
        a->leftByCount++;
        return;
    }
    a->leftOthers++;
}

// Writes the summary of the refusals left out, and starts a new minute.
void writeSummary(stQzSv* sv) {
    stAudit* a = &sv->audit;
    if (a->leftOut > 0) {
        char why[512];
        char from[24], to[24];
        struct tm tm {};
        time_t t = static_cast<time_t>(a->leftFrom);
        gmtime_r(&t, &tm);
        QZ_TRF(from, "%02d:%02d:%02dZ", tm.tm_hour, tm.tm_min, tm.tm_sec);
        t = static_cast<time_t>(a->leftTo);
        gmtime_r(&t, &tm);
        QZ_TRF(to, "%02d:%02d:%02dZ", tm.tm_hour, tm.tm_min, tm.tm_sec);
        int n = QZ_TRF(why, "%d refusal%s beyond %d a minute not recorded one by one (%s to %s):",
                       a->leftOut, a->leftOut == 1 ? "" : "s", QZ_AUDIT_REFUSALS_PER_MIN, from, to);
        for (int i = 0; i < a->leftByCount && n < qz::cap(why); ++i) {
            n += trf(why + n, qz::cap(why) - n, "%s %d by %s", i ? ";" : "", a->leftBy[i].count,
                     a->leftBy[i].who);
        }
        if (a->leftOthers > 0 && n < qz::cap(why))
            trf(why + n, qz::cap(why) - n, "; %d by others", a->leftOthers);
        const QzOrigin module = qzOrigin(QZ_ORIGIN_MODULE, 0, nullptr, nullptr, nullptr);
        char line[QZ_AUDIT_LINE_MAX];
        int len = auditFormat(line, qz::cap(line), static_cast<long long>(qzTime()), &module,
                              "refusals-summary", nullptr, nullptr, QZ_AUDIT_REFUSED, why);
        if (a->on) appendLine(a, line, len);
    }
    a->refusalStart = qzMonoTick();
    a->refusals = 0;
    a->leftOut = 0;
    a->leftByCount = 0;
    a->leftOthers = 0;
}

bool minuteOver(const stAudit* a) {
    return static_cast<unsigned>(tickElapsed(qzMonoTick(), a->refusalStart)) >= 60000u;
}

}  // namespace

void auditFrame(stQzSv* sv) {
    stAudit* a = &sv->audit;
    if (a->leftOut > 0 && minuteOver(a)) writeSummary(sv);
}

bool auditWrite(stQzSv* sv, const char* action, const QzAuditTarget* target, const char* command,
                int result, const char* why) {
    stAudit* a = &sv->audit;
    if (result == QZ_AUDIT_REFUSED) {
        if (minuteOver(a)) writeSummary(sv);
        if (a->refusals >= QZ_AUDIT_REFUSALS_PER_MIN) {
            leaveOut(sv, action);
            return true;
        }
        a->refusals++;
    }
    const QzOrigin o = effectiveOrigin(sv);
    char line[QZ_AUDIT_LINE_MAX];
    int len = auditFormat(line, qz::cap(line), static_cast<long long>(qzTime()), &o, action, target,
                          command, result, why);
    if (!a->on) return true;
    return appendLine(a, line, len);
}

namespace {

bool appendLine(stAudit* a, const char* line, int len) {
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

}  // namespace

void auditClose(stQzSv* sv) {
    stAudit* a = &sv->audit;
    // The refusals left out so far are summarised before the file closes (a restart's state is
    // new).
    if (a->leftOut > 0) writeSummary(sv);
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
