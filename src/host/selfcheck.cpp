// The check of the module's own program files: digest, record, compare, report.
#include "host/selfcheck.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

// The files a start-up swap may replace, in the order of stScIds.
constexpr const char* kSwapped[QZ_SC_FILES] = {"qzsv.so", "qzcls.so", "qzags.so"};
// The companion libraries the module loads from its home directory.
constexpr const char* kCompanions[] = {"qzcls.so", "qzags.so"};
constexpr int kChunk = 65536;
constexpr long long kBudgetUs = 250;
constexpr int kRecordMax = 16;

struct RecordLine {
    char sha[65];
    long size;
    char path[QZ_PATH_MAX];
};

void toHex(const unsigned char* bytes, int n, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    out[2 * n] = 0;
}

// Opens a program file for reading: a regular file only, without waiting on anything else.
int openProgram(const char* path, char* why, int whySize) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        trf(why, whySize, "cannot open %s (%s)", path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        trf(why, whySize, "%s is not a regular file", path);
        close(fd);
        return -1;
    }
    return fd;
}

bool isHex64(const char* p) {
    for (int i = 0; i < 64; ++i) {
        char c = p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Reads the record: lines "<sha256> <size> <path>". Lines that do not parse are skipped.
int readRecord(RecordLine* out, int max) {
    FILE* f = homeOpen(homePath(QZ_SC_RECORD), "rb");
    if (!f) return 0;
    int n = 0;
    char line[QZ_PATH_MAX + 128];
    while (n < max && fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        if (slen(line) < 68 || !isHex64(line) || line[64] != ' ') continue;
        char* end = nullptr;
        long size = strtol(line + 65, &end, 10);
        if (!end || *end != ' ' || size < 0 || !end[1]) continue;
        memcpy(out[n].sha, line, 64);
        out[n].sha[64] = 0;
        out[n].size = size;
        QZ_COPY(out[n].path, end + 1);
        n++;
    }
    fclose(f);
    return n;
}

// Writes the record through a temporary file and a rename, so a crash leaves the old one.
bool writeRecord(const RecordLine* lines, int n) {
    char tmp[QZ_PATH_MAX], dst[QZ_PATH_MAX];
    QZ_COPY(tmp, homePath(QZ_SC_RECORD ".tmp"));
    QZ_COPY(dst, homePath(QZ_SC_RECORD));
    FILE* f = homeOpen(tmp, "wb");
    if (!f) return false;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        ok = fprintf(f, "%s %ld %s\r\n", lines[i].sha, lines[i].size, lines[i].path) > 0 && ok;
    }
    ok = fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp, dst) == 0) return true;
    remove(tmp);
    return false;
}

// The file the module was loaded from, or empty with the reason when there is none to check.
void findModule(const char* given, char* path, int size, char* why, int whySize) {
    path[0] = 0;
    why[0] = 0;
    if (given) {
        trcpyz(path, given, size - 1);
        return;
    }
    Dl_info info;
    memset(&info, 0, sizeof info);
    if (!dladdr(reinterpret_cast<const void*>(&scDigestFile), &info) || !info.dli_fname ||
        !info.dli_fname[0]) {
        trf(why, whySize, "the dynamic loader names no file for the module");
        return;
    }
    char self[PATH_MAX];
    char real[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    if (!realpath(info.dli_fname, real)) {
        trf(why, whySize, "cannot find the module's file %s (%s)", info.dli_fname, strerror(errno));
        return;
    }
    if (strcmp(real, self) == 0) {
        trf(why, whySize, "the module is linked into the program %s, not loaded as qzsv.so", self);
        return;
    }
    trcpyz(path, real, size - 1);
}

void listFiles(stQzSv* sv) {
    stSelfCheck& c = sv->selfcheck;
    c.count = 0;
    if (c.modulePath[0]) {
        memset(&c.files[c.count], 0, sizeof c.files[0]);
        QZ_COPY(c.files[c.count].path, c.modulePath);
        c.count++;
    }
    for (const char* name : kCompanions) {
        const char* path = homePath(name);
        if (access(path, F_OK) != 0) continue;  // a missing one is reported where it is loaded
        memset(&c.files[c.count], 0, sizeof c.files[0]);
        QZ_COPY(c.files[c.count].path, path);
        c.count++;
    }
}

void endFile(stSelfCheck& c) {
    if (c.fdOpen) close(c.fd);
    c.fdOpen = 0;
    c.fd = -1;
    if (c.ctx) EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(c.ctx));
    c.ctx = nullptr;
}

// Digests the files of the check for about budget microseconds of CPU time (0: to the end).
// Returns true when every file is done.
bool step(stSelfCheck& c, long long budget) {
    static unsigned char chunk[kChunk];
    const long long start = threadCpuMicros();
    while (c.at < c.count) {
        stScFile& f = c.files[c.at];
        if (!c.fdOpen) {
            c.fd = openProgram(f.path, f.why, qz::cap(f.why));
            c.fdOpen = c.fd >= 0;
            f.size = 0;
            auto* ctx = EVP_MD_CTX_new();
            c.ctx = ctx;
            if (c.fdOpen && (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)) {
                QZ_TRF(f.why, "no memory to digest %s", f.path);
            }
            if (f.why[0]) {
                endFile(c);
                c.at++;
                continue;
            }
        }
        ssize_t n = read(c.fd, chunk, sizeof chunk);
        auto* ctx = static_cast<EVP_MD_CTX*>(c.ctx);
        if (n > 0) {
            EVP_DigestUpdate(ctx, chunk, static_cast<size_t>(n));
            f.size += n;
        } else if (n == 0) {
            unsigned char md[32];
            unsigned mdLen = 0;
            if (EVP_DigestFinal_ex(ctx, md, &mdLen) == 1 && mdLen == 32) {
                toHex(md, 32, f.sha);
            } else {
                QZ_TRF(f.why, "cannot digest %s", f.path);
            }
            endFile(c);
            c.at++;
        } else if (errno != EINTR) {
            QZ_TRF(f.why, "cannot read %s (%s)", f.path, strerror(errno));
            endFile(c);
            c.at++;
        }
        if (budget > 0 && threadCpuMicros() - start >= budget) break;
    }
    return c.at >= c.count;
}

const RecordLine* findRecord(const RecordLine* lines, int n, const char* path) {
    for (int i = 0; i < n; ++i) {
        if (strcmp(lines[i].path, path) == 0) return &lines[i];
    }
    return nullptr;
}

// Compares what the check found with the record, updates the record where the start-up put a
// new copy in place or nothing was recorded yet (or everything, when accepting), and reports.
void conclude(stQzSv* sv) {
    stSelfCheck& c = sv->selfcheck;
    RecordLine lines[kRecordMax];
    int n = readRecord(lines, kRecordMax);
    int intact = 0, changed = 0, unreadable = 0, recorded = 0, unrecorded = 0;
    for (int i = 0; i < c.count; ++i) {
        const stScFile& f = c.files[i];
        if (f.why[0]) {
            svMsg(sv, "Program file not checkable: %s", f.why);
            unreadable++;
            continue;
        }
        const RecordLine* rec = findRecord(lines, n, f.path);
        bool same = rec && strcmp(rec->sha, f.sha) == 0 && rec->size == f.size;
        if (rec && !same && !f.swapped && !c.accept) {
            svMsg(sv,
                  "Program file CHANGED: %s has SHA-256 %s (%ld bytes); recorded %s (%ld bytes)",
                  f.path, f.sha, f.size, rec->sha, rec->size);
            changed++;
            continue;
        }
        if (same) {
            svMsg(sv, "Program file intact: %s (SHA-256 %s, %ld bytes)", f.path, f.sha, f.size);
            intact++;
            continue;
        }
        RecordLine* slot = const_cast<RecordLine*>(rec);
        if (!slot && n < kRecordMax) slot = &lines[n++];
        if (!slot) continue;
        memcpy(slot->sha, f.sha, sizeof slot->sha);
        slot->size = f.size;
        QZ_COPY(slot->path, f.path);
        const char* how = c.accept    ? "accepted"
                          : f.swapped ? "installed by the update"
                                      : "first check";
        // Nothing to compare with: recorded now, but not known to be intact.
        if (!c.accept && !f.swapped) unrecorded++;
        svMsg(sv, "Program file recorded (%s): %s (SHA-256 %s, %ld bytes)", how, f.path, f.sha,
              f.size);
        recorded++;
    }
    if (recorded > 0 && !writeRecord(lines, n)) {
        svMsg(sv, "QZ ERROR: Cannot write the program file record %s (%s)", homePath(QZ_SC_RECORD),
              homeOpenError());
    }
    if (!c.modulePath[0]) {
        svMsg(sv, "Program file check: not checkable (%s)", c.notCheckable);
    } else if (changed > 0) {
        svMsg(sv,
              "Program file check: CHANGED (%d of %d files differ from %s; qz_sv_FileCheck accept "
              "records them once the change is known to be wanted)",
              changed, c.count, QZ_SC_RECORD);
    } else if (unreadable > 0) {
        svMsg(sv, "Program file check: not checkable (%d of %d files cannot be read)", unreadable,
              c.count);
    } else if (unrecorded > 0) {
        svMsg(sv,
              "Program file check: not checkable (%d of %d files had no record in %s; recorded "
              "now, compared from the next check on)",
              unrecorded, c.count, QZ_SC_RECORD);
    } else {
        svMsg(sv, "Program file check: intact (%d checked, %d newly recorded)", intact + recorded,
              recorded);
    }
}

void begin(stQzSv* sv, bool accept) {
    stSelfCheck& c = sv->selfcheck;
    endFile(c);
    listFiles(sv);
    c.accept = accept ? 1 : 0;
    c.at = 0;
    c.running = 1;
}

}  // namespace

bool scDigestFile(const char* path, char* sha65, long* size, char* why, int whySize) {
    stSelfCheck c;
    memset(&c, 0, sizeof c);
    c.count = 1;
    trcpyz(c.files[0].path, path, qz::cap(c.files[0].path) - 1);
    step(c, 0);
    trcpyz(sha65, c.files[0].sha, 64);
    *size = c.files[0].size;
    trcpyz(why, c.files[0].why, whySize - 1);
    return !c.files[0].why[0];
}

void scNoteIds(stScIds* ids) {
    for (int i = 0; i < QZ_SC_FILES; ++i) {
        struct stat st;
        bool ok = stat(homePath(kSwapped[i]), &st) == 0;
        ids->dev[i] = ok ? static_cast<unsigned long long>(st.st_dev) : 0;
        ids->ino[i] = ok ? static_cast<unsigned long long>(st.st_ino) : 0;
    }
}

void scStartupFor(stQzSv* sv, const char* modulePath, const stScIds* before) {
    stSelfCheck& c = sv->selfcheck;
    findModule(modulePath, c.modulePath, qz::cap(c.modulePath), c.notCheckable,
               qz::cap(c.notCheckable));
    begin(sv, false);
    // A file that the swap replaced a moment ago is the copy the last update verified and
    // signed: it is recorded, not reported as changed.
    stScIds after;
    scNoteIds(&after);
    for (int i = 0; before && i < c.count; ++i) {
        for (int k = 0; k < QZ_SC_FILES; ++k) {
            char path[QZ_PATH_MAX];
            QZ_COPY(path, homePath(kSwapped[k]));
            if (strcmp(c.files[i].path, path) != 0) continue;
            c.files[i].swapped = before->ino[k] != after.ino[k] || before->dev[k] != after.dev[k];
        }
    }
    long long t0 = threadCpuMicros();
    step(c, 0);
    c.lastMicros = threadCpuMicros() - t0;
    c.running = 0;
    conclude(sv);
}

void scStartup(stQzSv* sv, const stScIds* before) { scStartupFor(sv, nullptr, before); }

int scFrame(stQzSv* sv) {
    stSelfCheck& c = sv->selfcheck;
    if (!c.running) return 0;
    long long t0 = threadCpuMicros();
    bool done = step(c, kBudgetUs);
    c.lastMicros += threadCpuMicros() - t0;
    c.frames++;
    if (!done) return 1;
    c.running = 0;
    conclude(sv);
    svCon(sv, "Program file check took %lld.%03lld ms of CPU time over %d frames",
          c.lastMicros / 1000, c.lastMicros % 1000, c.frames);
    return 0;
}

void scAbandon(stQzSv* sv) {
    endFile(sv->selfcheck);
    sv->selfcheck.running = 0;
}

// "qz_sv_FileCheck" digests the program files again, a slice a frame, and reports as the
// start-up does; "qz_sv_FileCheck accept" records what it finds as the new reference.
void cmd_filecheck(stQzSv* sv, const CmdCall& call) {
    stSelfCheck& c = sv->selfcheck;
    const char* a = call.args ? call.args : "";
    while (*a == ' ' || *a == '\t') a++;
    bool accept = strncmp(a, "accept", 6) == 0 && (a[6] == 0 || a[6] == ' ' || a[6] == '\t');
    if (*a && !accept) {
        svMsg(sv, "Usage: qz_sv_FileCheck [accept]");
        return;
    }
    if (c.running) {
        svMsg(sv, "Program file check already under way");
        return;
    }
    if (!c.modulePath[0]) {
        svMsg(sv, "Program file check: not checkable (%s)", c.notCheckable);
        return;
    }
    begin(sv, accept);
    c.lastMicros = 0;
    c.frames = 0;
    svMsg(sv, "Program file check started (%d files)%s", c.count,
          accept ? ": what is found becomes the record" : "");
}
