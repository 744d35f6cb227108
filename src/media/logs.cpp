// The numbered server log: the line writer behind the message routine, held lines, opening the
// next serial and its persistence, the variable and screenshot logs and qz_sv_NewLog.
#include "media/logs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/compare.h"

namespace {

// "[MM.DD.YYYY hh:mm:ss] " for now, broken down once per second.
const char* stampFor(stLogs& L, time_t now, int* length) {
    if (!L.stampOk || L.stampAt != now) {
        struct tm lt;
        qzLocalTime(now, &lt);
        L.stampLen =
            QZ_TRF(L.stamp, "[%02u.%02u.%04u %02u:%02u:%02u] ",
                   static_cast<unsigned>(lt.tm_mon + 1), static_cast<unsigned>(lt.tm_mday),
                   static_cast<unsigned>(lt.tm_year + 1900), static_cast<unsigned>(lt.tm_hour),
                   static_cast<unsigned>(lt.tm_min), static_cast<unsigned>(lt.tm_sec));
        if (L.stampLen >= qz::cap(L.stamp)) L.stampLen = qz::cap(L.stamp) - 1;
        L.stampAt = now;
        L.stampOk = 1;
    }
    *length = L.stampLen;
    return L.stamp;
}

// Remembers which file the open log is, so that a later move can be told.
void noteIdentity(stLogs& L) {
    struct stat st;
    if (L.fp && fstat(fileno(L.fp), &st) == 0) {
        L.fileDev = static_cast<unsigned long long>(st.st_dev);
        L.fileIno = static_cast<unsigned long long>(st.st_ino);
    } else {
        L.fileDev = L.fileIno = 0;
    }
}

// An outside tool (log rotation, an administrator's mv) may have moved or removed the open log.
// Lines must not follow it under its new name: the log's own name is opened again (a new file)
// and says so in its first line. One stat per written line; the write costs a system call
// anyway.
void followName(stQzSv* sv) {
    stLogs& L = sv->logs;
    struct stat st;
    if (stat(L.path, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == L.fileDev &&
        static_cast<unsigned long long>(st.st_ino) == L.fileIno)
        return;
    FILE* fp = homeOpen(L.path, "ab");
    if (!fp) return;  // the old file keeps the lines rather than losing them
    fclose(L.fp);
    L.fp = fp;
    noteIdentity(L);
    char line[QZ_PATH_MAX + 96];
    int sl = 0;
    const char* stamp = stampFor(L, qzTime(), &sl);
    int n = QZ_TRF(line, "%.*sQZ Log File %s Reopened (moved away)\r\n", sl, stamp, L.path);
    if (n >= qz::cap(line)) n = qz::cap(line) - 1;
    fwrite(line, 1, static_cast<size_t>(n), L.fp);
}

// Appends bytes to the open log; with qz_sv_LogSync the data is also pushed to the disk, so a
// crash of the machine loses no line (at the cost of a disk wait per line).
void writeOut(stQzSv* sv, const char* data, int length) {
    stLogs& L = sv->logs;
    if (!L.fp || length <= 0) return;
    followName(sv);
    fwrite(data, 1, static_cast<size_t>(length), L.fp);
    fflush(L.fp);
    if (sv->set.logSync) fdatasync(fileno(L.fp));
}

void hold(stLogs& L, const char* line, int length) {
    if (L.heldLen + length > QZ_LOG_HELD_MAX) {
        L.heldLost++;
        return;
    }
    memcpy(L.held + L.heldLen, line, static_cast<size_t>(length));
    L.heldLen += length;
}

// Writes the held lines to the open log (they are dropped when none is open) and, when some
// did not fit, one line saying how many were lost.
void writeHeld(stQzSv* sv) {
    stLogs& L = sv->logs;
    if (L.heldLen == 0 && L.heldLost == 0) return;
    writeOut(sv, L.held, L.heldLen);
    L.heldLen = 0;
    if (L.heldLost > 0) {
        char line[128];
        int sl = 0;
        const char* stamp = stampFor(L, qzTime(), &sl);
        int n = QZ_TRF(line, "%.*s%d log lines were lost while logging was held\r\n", sl, stamp,
                       L.heldLost);
        L.heldLost = 0;
        writeOut(sv, line, n < qz::cap(line) ? n : qz::cap(line) - 1);
    }
}

// Records the serial of the next log. Written to a temporary name and moved into place, so a
// crash while writing never leaves a half line behind.
void saveNextSerial(stQzSv* sv) {
    char tmp[QZ_PATH_MAX];
    char dst[QZ_PATH_MAX];
    QZ_COPY(tmp, homePath(QZ_LOGNEXT_FILE ".tmp"));
    QZ_COPY(dst, homePath(QZ_LOGNEXT_FILE));
    FILE* f = homeOpen(tmp, "wb");
    if (!f) return;
    bool ok = fprintf(f, "qz_sv_lognext %d\n\n", sv->set.logNext) > 0;
    ok = fclose(f) == 0 && ok;
    if (ok)
        rename(tmp, dst);
    else
        remove(tmp);
}

// The serial kept by the last opening, or 0 when the file is missing or unreadable.
int loadNextSerial() {
    FILE* f = homeOpen(QZ_LOGNEXT_FILE, "rb");
    if (!f) return 0;
    char line[64];
    int serial = 0;
    if (fgets(line, sizeof line, f)) {
        const char* word = "qz_sv_lognext";
        int i = 0;
        while (word[i] && lowerCh(line[i]) == word[i]) i++;
        if (!word[i] && (line[i] == ' ' || line[i] == '\t')) {
            long v = strtol(line + i, nullptr, 10);
            if (v >= 1 && v <= 999999) serial = static_cast<int>(v);
        }
    }
    fclose(f);
    return serial;
}

// Routes an already formatted text by a qz_sv_CvarLogging / qz_sv_ssLogging value. Player
// names and client texts may hold line ends; they become blanks so one text stays one line.
void routeSpecial(stQzSv* sv, int mode, const char* file, char* text) {
    for (char* p = text; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 32) *p = ' ';
    }
    if (mode & 1) svLog(sv, "%s", text);
    if (mode & 2) trLog(homePath(file), "%s", text);
}

}  // namespace

int logPathFor(char* out, int size, const char* home, int serial) {
    unsigned long s = static_cast<unsigned long>(serial < 0 ? 0 : serial);
    if (!home || !*home) return trf(out, size, "svlogs%s%08lu.log", "/", s);
    const char* sep = home[slen(home) - 1] == '/' ? "" : "/";
    return trf(out, size, "%s%ssvlogs%s%08lu.log", home, sep, "/", s);
}

int logSerialInRange(int serial, int floor, int ceiling) {
    if (ceiling < floor) ceiling = floor;
    return serial < floor || serial > ceiling ? floor : serial;
}

int logSerialAfter(int serial, int floor, int ceiling) {
    return logSerialInRange(serial + 1, floor, ceiling);
}

void logLine(stQzSv* sv, const char* text, int length) {
    stLogs& L = sv->logs;
    if (length > QZ_LOG_TEXT_MAX) length = QZ_LOG_TEXT_MAX;
    time_t now = qzTime();
    remoteLogLine(sv, now, text, length);
    bool flushed = logControl(sv);

    // The stamp, the text and the line end are put together first, so that the line reaches
    // the file in one write and a held line is stored whole.
    char line[32 + QZ_LOG_TEXT_MAX + 2];
    int sl = 0;
    const char* stamp = stampFor(L, now, &sl);
    memcpy(line, stamp, static_cast<size_t>(sl));
    memcpy(line + sl, text, static_cast<size_t>(length));
    int n = sl + length;
    line[n++] = '\r';
    line[n++] = '\n';
    if (!L.opened || (sv->set.suspendLogging && !flushed)) {
        hold(L, line, n);
        return;
    }
    writeOut(sv, line, n);
}

bool logControl(stQzSv* sv) {
    stLogs& L = sv->logs;
    if (!L.opened) return false;
    if (sv->set.flushLogging) {
        sv->set.flushLogging = 0;
        writeHeld(sv);
        if (L.fp) {
            fflush(L.fp);
            fdatasync(fileno(L.fp));
        }
        return true;
    }
    if (!sv->set.suspendLogging && (L.heldLen > 0 || L.heldLost > 0)) writeHeld(sv);
    return false;
}

// "qz_sv_suspendlogging [0]": without an argument (or with anything but 0) log lines wait in
// the held buffer; "0" resumes, and the waiting lines are written at once.
void cmd_suspendlogging(stQzSv* sv, const CmdCall& call) {
    const char* a = call.args ? call.args : "";
    bool resume = a[0] == '0' && (a[1] == 0 || a[1] == ' ' || a[1] == '\t');
    sv->set.suspendLogging = resume ? 0 : 1;
    logControl(sv);
    svMsg(sv, resume ? "QZ Server Log resumed" : "QZ Server Log suspended");
}

// "qz_sv_flushlogging": writes the waiting lines now (suspended or not) and pushes the file to
// the disk. An argument is accepted and ignored, so older configuration lines still flush.
void cmd_flushlogging(stQzSv* sv, const CmdCall&) {
    sv->set.flushLogging = 1;
    logControl(sv);
    sv->set.flushLogging = 0;
    svMsg(sv, "QZ Server Log flushed");
}

bool logOpen(stQzSv* sv, const char* reason) {
    stLogs& L = sv->logs;
    if (L.fp) {
        // Lines held back belong to the log they were written in.
        writeHeld(sv);
        fclose(L.fp);
        L.fp = nullptr;
    }
    int serial = logSerialInRange(sv->set.logNext, sv->set.logFloor, sv->set.logCeiling);
    logPathFor(L.path, qz::cap(L.path), sv->homeDir, serial);
    L.serial = serial;
    // A serial that comes round again appends to its old file rather than removing it: no log
    // line is ever thrown away by the module; the administrator removes old logs.
    bool existed = access(L.path, F_OK) == 0;
    L.fp = homeOpen(L.path, "ab");
    noteIdentity(L);
    L.opened = 1;
    sv->set.logNext = logSerialAfter(serial, sv->set.logFloor, sv->set.logCeiling);
    saveNextSerial(sv);
    if (!L.fp) {
        L.heldLen = 0;
        L.heldLost = 0;
        svMsg(sv, "QZ ERROR: Cannot open log file %s (%s)", L.path, strerror(errno));
        logOpenGameLog(sv);
        return false;
    }
    if (!sv->set.suspendLogging) writeHeld(sv);
    // The letter tells a fresh file (N) from one that already held lines and is continued (A).
    svMsg(sv, "QZ Log File %s Opened for %s (%c)", L.path, reason, existed ? 'A' : 'N');
    logOpenGameLog(sv);
    return true;
}

void logStartup(stQzSv* sv) {
    int next = loadNextSerial();
    if (next > 0) sv->set.logNext = next;
    logOpen(sv, "NEWLOG");
}

void logShutdown(stQzSv* sv) {
    stLogs& L = sv->logs;
    if (L.fp) {
        writeHeld(sv);
        fclose(L.fp);
        L.fp = nullptr;
    }
    remoteLogClose(sv);
}

namespace {

// Formats a special-log line (prefix, then the caller's text) and routes it as mode says.
void routeFormatted(stQzSv* sv, int mode, const char* file, const char* prefix, const char* fmt,
                    va_list ap) {
    char line[QZ_MSG_MAX];
    int n = QZ_TRF(line, "%s", prefix);
    if (n < qz::cap(line) - 1) vsnprintf(line + n, static_cast<size_t>(qz::cap(line) - n), fmt, ap);
    line[sizeof line - 1] = 0;
    routeSpecial(sv, mode, file, line);
}

}  // namespace

void logCvar(stQzSv* sv, int slot, const char* name, const char* guid, const char* address,
             const char* fmt, ...) {
    int mode = sv->set.cvarLogging;
    if (!(mode & 3)) return;
    char prefix[QZ_MSG_MAX];
    QZ_TRF(prefix, "[From #%d %s(%s) %s] ", slot, name ? name : "", guid ? guid : "",
           address ? address : "");
    va_list ap;
    va_start(ap, fmt);
    routeFormatted(sv, mode, QZ_CVARLOG_FILE, prefix, fmt, ap);
    va_end(ap);
}

void logSs(stQzSv* sv, const char* fmt, ...) {
    int mode = sv->set.ssLogging;
    if (!(mode & 3)) return;
    va_list ap;
    va_start(ap, fmt);
    routeFormatted(sv, mode, QZ_SSLOG_FILE, "", fmt, ap);
    va_end(ap);
}

void cmd_newlog(stQzSv* sv, const CmdCall&) {
    svMsg(sv, "Opening a New QZ Server Log");
    logOpen(sv, "NEWLOG");
}
