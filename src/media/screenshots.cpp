// The screenshot folder and its files (pages, the serial file), the life of the screenshot
// state (start-up, shut-down) and the per-frame work: time-outs, players gone and automatic
// requests.
#include "media/screenshots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// Letters, digits and "._-/": a folder name that needs no quoting in a page, a log line or a
// shell the administrator may use on it.
bool pathChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/';
}

// Creates every missing folder of rel (relative to the home directory, ends in "/").
bool makeFolders(const char* rel) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(rel));
    int start = slen(homeDir());
    for (char* p = path + start; *p; ++p) {
        if (*p != '/') continue;
        *p = 0;
        bool ok = mkdir(path, 0755) == 0 || errno == EEXIST;
        *p = '/';
        if (!ok) return false;
    }
    return true;
}

// The request that is due: more than qz_sv_ssTimeout seconds since it was made.
bool timedOut(stQzSv* sv, const stSsTransfer* t, unsigned now) {
    return tickElapsed(now, t->startTick) > sv->set.ssTimeout * 1000;
}

// A random wait within the two bounds, in milliseconds; a "to" below "from" counts as "from".
unsigned autoWait(stQzSv* sv) {
    int from = sv->set.autoSsFrom;
    int to = sv->set.autoSsTo < from ? from : sv->set.autoSsTo;
    int span = to - from + 1;
    return static_cast<unsigned>(from + rand() % span) * 1000u;
}

// Picks a random player who may be asked now (the limits would let the request through), so an
// automatic request is never spent on a refusal. Returns 0 when nobody may be asked.
int autoPick(stQzSv* sv, unsigned now) {
    int candidates[QZ_SLOTS];
    int n = 0;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c || plIsBot(c) || c->status < QZ_ST_INIT || c->status > QZ_ST_SPEC) continue;
        bool soon = false;
        for (unsigned t : c->ssTicks) soon = soon || (t != 0 && tickElapsed(now, t) < 30000);
        if (soon || plRecentSs(c, now) >= 3) continue;
        candidates[n++] = slot;
    }
    return n ? candidates[rand() % n] : 0;
}

void autoFrame(stQzSv* sv, unsigned now) {
    stScreens* s = &sv->ss;
    if (sv->set.autoSs != 1 || !sv->enabled) {
        s->autoArmed = 0;
        return;
    }
    if (!s->autoArmed) {
        s->autoDue = now + autoWait(sv);
        s->autoArmed = 1;
        return;
    }
    if (static_cast<int>(now - s->autoDue) < 0) return;
    s->autoDue = now + autoWait(sv);
    int slot = autoPick(sv, now);
    long serial = 0;
    if (slot && ssRequest(sv, QZ_SS_AUTO, slot, &serial) == QZ_SS_REQUESTED) {
        svMsg(sv, "Auto Screenshot %06lu Requested from %-2d %s",
              static_cast<unsigned long>(serial), slot, plSlot(sv, slot)->name);
    }
}

}  // namespace

bool ssPathOk(const char* value) {
    if (!homeNameOk(value)) return false;
    for (const char* p = value; *p; ++p)
        if (!pathChar(*p)) return false;
    return true;
}

bool ssFolder(stQzSv* sv, char* out, int size) {
    stScreens* s = &sv->ss;
    char rel[300];
    const char* value = sv->set.ssPath;
    if (!*value) {
        QZ_COPY(rel, "svss/");
    } else if (!ssPathOk(value)) {
        if (strcmp(s->refusedPath, value) != 0) {
            QZ_COPY(s->refusedPath, value);
            svMsg(sv,
                  "qz_sv_SsPath refused [%s]: screenshots must be saved inside the home "
                  "directory (a relative folder without \"..\"); saving to svss instead",
                  value);
        }
        QZ_COPY(rel, "svss/");
    } else {
        int n = QZ_TRF(rel, "%s", value);
        while (n > 0 && rel[n - 1] == '/') rel[--n] = 0;
        QZ_TRACAT(rel, "/");
    }
    trf(out, size, "%s", homePath(rel));
    struct stat st;
    if (stat(out, &st) == 0 && S_ISDIR(st.st_mode)) return true;
    return makeFolders(rel);
}

// The page is rewritten in place (one write at offset 0, then cut to the line's length) rather
// than truncated to nothing first: on ext4 cutting a file to nothing makes its close push the
// file to the disk, which cost the packet that ended a transfer milliseconds.
bool ssWritePage(const char* folder, long serial, const char* line) {
    char path[QZ_PATH_MAX];
    if (trf(path, qz::cap(path), "%sqz%06d.htm", folder, static_cast<int>(serial)) >= qz::cap(path))
        return false;
    int fd = homeOpenFd(path, O_WRONLY | O_CREAT);
    if (fd < 0) return false;
    const int n = slen(line);
    bool ok = pwrite(fd, line, static_cast<size_t>(n), 0) == n && ftruncate(fd, n) == 0;
    return close(fd) == 0 && ok;
}

// The serial file stays open and its one short line is rewritten in place with a single write
// at offset 0 (a write this small is never torn), so a restart never reuses a serial that
// already names files.
void ssSaveNext(stQzSv* sv) {
    stScreens* s = &sv->ss;
    if (!s->nextOpen) {
        s->nextFd = homeOpenFd(QZ_SSNEXT_FILE, O_WRONLY | O_CREAT);
        if (s->nextFd < 0) return;
        s->nextOpen = 1;
    }
    char line[32];
    int n = QZ_TRF(line, "qz_sv_ssnext %d\r\n", sv->set.ssNext);
    if (pwrite(s->nextFd, line, static_cast<size_t>(n), 0) != n || ftruncate(s->nextFd, n) != 0) {
        close(s->nextFd);
        s->nextOpen = 0;
    }
}

// An index removed by the administrator is started afresh rather than written into the
// removed file.
bool ssAppendIndex(stQzSv* sv, const char* folder, const char* line) {
    stScreens* s = &sv->ss;
    char path[QZ_PATH_MAX];
    trf(path, qz::cap(path), "%s%s", folder, QZ_SSINDEX_FILE);
    struct stat st;
    if (s->index && (strcmp(path, s->indexPath) != 0 || fstat(fileno(s->index), &st) != 0 ||
                     st.st_nlink == 0)) {
        fclose(s->index);
        s->index = nullptr;
    }
    if (!s->index) {
        s->index = homeOpen(path, "ab");
        if (!s->index) return false;
        QZ_COPY(s->indexPath, path);
    }
    bool ok = fputs(line, s->index) >= 0 && fflush(s->index) == 0;
    if (!ok) {
        fclose(s->index);
        s->index = nullptr;
    }
    return ok;
}

void ssStartup(stQzSv* sv) {
    FILE* f = homeOpen(QZ_SSNEXT_FILE, "rb");
    if (!f) return;
    char line[64];
    if (fgets(line, sizeof line, f) && trncasecmp(line, "qz_sv_ssnext ", 13) == 0) {
        long v = strtol(line + 13, nullptr, 10);
        if (v >= 1 && v <= 999999) sv->set.ssNext = static_cast<int>(v);
    }
    fclose(f);
}

void ssPartPath(const stSsTransfer* t, char* out, int size) {
    trf(out, size, "%sqz%06ld.png.part", t->folder, t->serial);
}

void ssRelease(stQzSv* sv, stSsTransfer* t) {
    stScreens* s = &sv->ss;
    if (t->partOpen) {
        close(t->partFd);
        char part[QZ_PATH_MAX];
        ssPartPath(t, part, qz::cap(part));
        unlink(part);
    }
    if (t->data) {
        free(t->data);
        s->pooled -= t->total;
    }
    if (t->serial) s->pending--;
    memset(t, 0, sizeof *t);
}

void ssAbandon(stQzSv* sv, int slot, stSsTransfer* t) {
    if (t->receiving) {
        ssWritePage(t->folder, t->serial, "<p> Screenshot transfer was incomplete.\r\n");
        if (const Qz_Sv_Client_s* c = plPlayer(sv, slot); c && c->seq == t->seq) {
            svSendClient(sv, slot, "%cPNG%c-1", QZ_MSG_EXCHANGE, ' ');
        }
    }
    ssRelease(sv, t);
}

void ssShutdown(stQzSv* sv) {
    stScreens* s = &sv->ss;
    for (stSsTransfer& t : s->t) ssRelease(sv, &t);
    if (s->nextOpen) close(s->nextFd);
    s->nextOpen = 0;
    if (s->index) fclose(s->index);
    s->index = nullptr;
}

// Each pass looks at 64 slots at most and allocates nothing; files are written only for a
// request that ends here.
void ssFrame(stQzSv* sv) {
    stScreens* s = &sv->ss;
    unsigned now = GetTickCount();
    if (s->pending > 0) {
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
            stSsTransfer* t = &s->t[slot - 1];
            if (!t->serial) continue;
            const Qz_Sv_Client_s* c = plPlayer(sv, slot);
            char serial[16];
            QZ_TRF(serial, "%06ld", t->serial);
            if (!c || c->seq != t->seq) {
                logSs(sv, "Screenshot %s abandoned: the player left (slot=%d)", serial, slot);
                ssAbandon(sv, slot, t);
            } else if (timedOut(sv, t, now)) {
                logSs(sv, "Screenshot %s TIMED OUT after %d seconds (slot=%d)", serial,
                      sv->set.ssTimeout, slot);
                svCon(sv, "Screenshot %s TIMED OUT after %d seconds (slot=%d)", serial,
                      sv->set.ssTimeout, slot);
                ssAbandon(sv, slot, t);
            }
        }
    }
    autoFrame(sv, now);
    if (s->running > 0) ssReap(sv);
}
