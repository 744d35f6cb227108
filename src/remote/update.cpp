// The update check and the swap of received module files.
#include "remote/update.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "commands/atomic_file.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/selfcheck.h"
#include "host/state.h"
#include "remote/install.h"
#include "remote/mastauth.h"
#include "remote/mastnet.h"
#include "remote/transfer.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Keeps line in the check's report; a report that is full takes no more.
void keep(stRemote* r, const char* line) {
    size_t have = strlen(r->updReport);
    size_t n = strlen(line);
    if (have + n + 2 > sizeof r->updReport) return;
    memcpy(r->updReport + have, line, n);
    r->updReport[have + n] = '\n';
    r->updReport[have + n + 1] = 0;
}

// An outcome of the update check: the console line, also kept in the check's report.
__attribute__((format(printf, 2, 3))) void say(stQzSv* sv, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    svMsg(sv, "%s", line);
    keep(&sv->remote, line);
}

// Data files fetched with every check, and the rate asked for each.
struct DataFile {
    const char* name;
    int rate;
};
constexpr DataFile kDataFiles[] = {{"qzsec.sv", 1}, {"qzq.6", 4}, {"qzpat.1", 1}};

enum { WANT_NONE = 0, WANT_CHECK = 1, WANT_QUERY = 2, WANT_CONTINUE = 3 };

int firstResolved(stQzSv* sv) {
    for (int i = 0; i < sv->remote.masterCount; ++i) {
        if (remoteMasterAddr(sv, i)) return i;
    }
    return -1;
}

// The newest server module for this system among all masters' lists; -1 when none is newer
// than the running one.
int newestUpdate(stQzSv* sv, stQzFileInfo* out) {
    stRemote* r = &sv->remote;
    int list = masterListIndex('S', 'L');
    int best = -1;
    // Never a downgrade: an update must be newer than the running version and than the one
    // already waiting for the restart.
    int current = updVersionNumber(sv->svVerMajor, sv->svVerMinor);
    if (r->waitingNumber > current) current = r->waitingNumber;
    for (int i = 0; i < r->masterCount; ++i) {
        const arQzFileInfo* l = &r->masters[i].files[list];
        for (int k = 0; k < l->count && k < QZ_FILEINFO_MAX; ++k) {
            const stQzFileInfo* e = &l->e[k];
            if (e->number > current && (best < 0 || e->number > out->number) &&
                remoteMasterAddr(sv, i)) {
                *out = *e;
                best = i;
            }
        }
    }
    return best;
}

void considerUpdate(stQzSv* sv) {
    stRemote* r = &sv->remote;
    int source = firstResolved(sv);
    if (source < 0) return;
    for (const DataFile& f : kDataFiles) dlStart(sv, source, f.name, f.name, QZ_DLP_DATA, f.rate);
    stQzFileInfo e;
    int master = newestUpdate(sv, &e);
    if (master < 0) {
        if (r->waitingNumber > updVersionNumber(sv->svVerMajor, sv->svVerMinor)) {
            say(sv, "QZ Server v%d.%03d is waiting to be installed at the next restart",
                r->waitingNumber / 1000, r->waitingNumber % 1000);
        } else {
            say(sv, "QZ Server is up to date (v%d.%03d)", sv->svVerMajor, sv->svVerMinor);
        }
        return;
    }
    char file[64], target[64];
    QZ_TRF(file, "ls%06d.upd", e.number);
    QZ_TRF(target, "dll/ls%06d.upd", e.number);
    say(sv, "New QZ Server Version v%d.%03d available from %s", e.number / 1000, e.number % 1000,
        remoteMasterName(sv, master));
    r->updEntry = e;
    if (dlStart(sv, master, file, target, QZ_DLP_UPDATE, sv->set.maxDlRate)) r->updatePending = 1;
}

// The installation's verdict, as the administrator reads it.
void reportInstall(stQzSv* sv, int res, const char* error) {
    const stQzFileInfo* e = &sv->remote.updEntry;
    if (res == QZ_INST_FAILED) {
        say(sv, "%s", error);
        say(sv, "QZ Server update v%d.%03d refused: the running version stays", e->number / 1000,
            e->number % 1000);
    } else if (res == QZ_INST_VERIFIED) {
        say(sv, "QZ Server update v%d.%03d verified but NOT installed: no update key (qzsvkey.pub)",
            e->number / 1000, e->number % 1000);
    } else {
        say(sv, "QZ Server update v%d.%03d verified and signed: installed at the next restart",
            e->number / 1000, e->number % 1000);
    }
}

// The transfer's data did not inflate to the update file announced: the transfer's own
// messages.
void reportTransferError(stQzSv* sv, int zerr) {
    stRemote* r = &sv->remote;
    if (zerr == Z_MEM_ERROR) {
        say(sv, "Memory Allocation Error [%s]", r->updFile);
    } else if (zerr == 1) {
        say(sv, "File Corruption Error: Server [%s] file [%s]", r->updServer, r->updFile);
    } else {
        say(sv, "Decompression Error #%d: Server [%s] file [%s]", zerr, r->updServer, r->updFile);
    }
}

// The largest waiting copy taken from the base directory (a module is a few MiB).
constexpr long kBaseCopyMax = 64L << 20;

// Opens the file name (a plain name, no directory part) of the base directory for reading: only
// that directory's own entry, never a symbolic link in its place, a regular file of at most max
// bytes, opened without waiting. -1 with why set otherwise. This is the one place the module
// reads from outside its home directory by a name of its own making. -2 when there is no such
// entry.
int baseOpen(stQzSv* sv, const char* name, long max, long* size, char* why, int whySize) {
    int dir = ::open(sv->baseDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        trf(why, whySize, "%s", strerror(errno));
        return -1;
    }
    int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int err = errno;
    ::close(dir);
    if (fd < 0) {
        trf(why, whySize, "%s", err == ELOOP ? "a symbolic link" : strerror(err));
        return err == ENOENT ? -2 : -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > max) {
        trf(why, whySize, "%s", S_ISREG(st.st_mode) ? "too large" : "not a regular file");
        ::close(fd);
        return -1;
    }
    *size = static_cast<long>(st.st_size);
    return fd;
}

// Copies the base directory's name to the home directory's file of the same name, through
// "<name>.part" created afresh (a link or anything else left under that name is removed, never
// written through), synced before the rename. False with why set when it could not be made.
bool copyFromBase(stQzSv* sv, const char* name, long max, char* why, int whySize) {
    long size = 0;
    int in = baseOpen(sv, name, max, &size, why, whySize);
    if (in < 0) return false;
    char part[QZ_PATH_MAX], to[QZ_PATH_MAX];
    QZ_COPY(to, homePath(name));
    QZ_TRF(part, "%s.part", to);
    struct stat st;
    if (lstat(part, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(part);
    int out = homeOpenFd(part, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0) {
        trf(why, whySize, "%s", homeOpenError());
        ::close(in);
        return false;
    }
    static char buf[65536];
    long copied = 0;
    bool ok = true;
    while (ok) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        copied += n;
        ok = copied <= max && write(out, buf, static_cast<size_t>(n)) == n;
    }
    ::close(in);
    ok = ok && fsync(out) == 0;
    ok = ::close(out) == 0 && ok;
    if (ok && rename(part, to) == 0) return true;
    trf(why, whySize, "%s", copied > max ? "too large" : strerror(errno ? errno : EIO));
    unlink(part);
    return false;
}

// Whether the waiting copy fresh is an update the installer verified: its record "<fresh>.sig"
// ("<kind> <os> <number> <size> <signature>", written by the installer) must carry a signature,
// by the administrator's key qzsvkey.pub, of the copy's size and SHA-256 as they are now. False
// with why set otherwise. Nothing of the copy is loaded before this answers true.
bool verifiedCopy(const char* fresh, char kind, char* why, int whySize) {
    unsigned char key[QZ_UPD_KEY_LEN];
    if (!qzReadKey(homePath("qzsvkey.pub"), key)) {
        trf(why, whySize, "no update key qzsvkey.pub to check it with");
        return false;
    }
    char record[QZ_PATH_MAX];
    QZ_TRF(record, "%s.sig", homePath(fresh));
    FILE* f = homeOpen(record, "rb");
    char line[256] = "";
    bool got = f && fgets(line, sizeof line, f);
    if (f) fclose(f);
    char recKind = 0, recOs = 0, sigHex[2 * QZ_UPD_SIG_LEN + 2] = "";
    int number = 0;
    unsigned long size = 0;
    if (!got || sscanf(line, "%c %c %d %lu %129s", &recKind, &recOs, &number, &size, sigHex) != 5) {
        trf(why, whySize, "no record of the installer (%s.sig)", fresh);
        return false;
    }
    unsigned char sig[QZ_UPD_SIG_LEN];
    if (recKind != kind || recOs != 'L' || slen(sigHex) != 2 * QZ_UPD_SIG_LEN ||
        !qzHexBytes(sigHex, sig, QZ_UPD_SIG_LEN)) {
        trf(why, whySize, "the installer's record %s.sig is not for this file", fresh);
        return false;
    }
    char sha[65], digestWhy[160];
    long actual = 0;
    if (!scDigestFile(homePath(fresh), sha, &actual, digestWhy, qz::cap(digestWhy))) {
        trf(why, whySize, "%s", digestWhy);
        return false;
    }
    char text[QZ_UPD_MANIFEST];
    int tl = trf(text, qz::cap(text), "<p> U %c %c %d %ld %s", kind, 'L', number, actual, sha);
    if (static_cast<unsigned long>(actual) != size ||
        !maVerify(key, sig, text, static_cast<size_t>(tl))) {
        trf(why, whySize, "SHA-256 %s (%ld bytes) is not what the update installer verified", sha,
            actual);
        return false;
    }
    return true;
}

// Swaps one library: the waiting copy becomes current, the current one is kept as old. Only a
// copy the update installer verified is taken; any other, and a copy that does not load or
// lacks the entry point, is set aside as "<new>.bad".
void swapOne(stQzSv* sv, const char* fresh, const char* cur, const char* old, const char* entry,
             const char* message, char kind) {
    char freshPath[QZ_PATH_MAX], curPath[QZ_PATH_MAX], oldPath[QZ_PATH_MAX], bad[QZ_PATH_MAX];
    char record[QZ_PATH_MAX], why[200];
    QZ_COPY(freshPath, homePath(fresh));
    QZ_TRF(record, "%s.sig", freshPath);
    QZ_TRF(bad, "%s.bad", freshPath);
    bool fromBase = false;
    if (access(freshPath, F_OK) != 0) {
        if (!sv->baseDir[0] || strcmp(sv->baseDir, sv->homeDir) == 0) return;
        long size = 0;
        int probe = baseOpen(sv, fresh, kBaseCopyMax, &size, why, qz::cap(why));
        if (probe == -2) return;
        if (probe >= 0) ::close(probe);
        char sigName[64];
        QZ_TRF(sigName, "%s.sig", fresh);
        if (probe < 0 || !copyFromBase(sv, fresh, kBaseCopyMax, why, qz::cap(why))) {
            svMsg(sv, "QZ ERROR: Cannot copy %s from fs_basepath (%s)", fresh, why);
            return;
        }
        // Its record comes along when there is one; without it the copy is refused below.
        unlink(record);
        copyFromBase(sv, sigName, 4096, why, qz::cap(why));
        fromBase = true;
    }
    if (!verifiedCopy(fresh, kind, why, qz::cap(why))) {
        svMsg(sv, "QZ ERROR: %s%s refused: %s; set aside as %s.bad", fresh,
              fromBase ? " (from fs_basepath)" : "", why, fresh);
        rename(freshPath, bad);
        unlink(record);
        return;
    }
    if (fromBase) {
        char basePath[QZ_PATH_MAX];
        QZ_TRF(basePath, "%s%s", sv->baseDir, fresh);
        remove(basePath);
        QZ_TRF(basePath, "%s%s.sig", sv->baseDir, fresh);
        remove(basePath);
        char withBase[128];
        QZ_TRF(withBase, "%s from fs_basepath", message);
        svMsg(sv, "%s", withBase);
    } else {
        svMsg(sv, "%s", message);
    }
    unlink(record);
    QZ_COPY(curPath, homePath(cur));
    QZ_COPY(oldPath, homePath(old));
    // The installer renamed the copy into place without waiting for the disk: it is on the
    // disk before it replaces the running module.
    int fd = ::open(freshPath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
    void* lib = dlopen(freshPath, RTLD_NOW | RTLD_LOCAL);
    char under[130];
    QZ_TRF(under, "_%s", entry);
    bool ok = lib && (dlsym(lib, under) || dlsym(lib, entry));
    if (lib) dlclose(lib);
    if (!ok) {
        svMsg(sv, "QZ Error: Server DLL Load Failure");
        rename(freshPath, bad);
        return;
    }
    if (access(curPath, F_OK) == 0) rename(curPath, oldPath);
    if (rename(freshPath, curPath) != 0) {
        svMsg(sv, "Error #5B76A Making DLL %s", cur);
        rename(oldPath, curPath);
    }
}

}  // namespace

int updVersionNumber(int major, int minor) { return major * 1000 + minor; }

void updLoadKey(stQzSv* sv) {
    stRemote* r = &sv->remote;
    r->haveUpdateKey = qzReadKey(homePath("qzsvkey.pub"), r->updateKey);
    if (!r->haveUpdateKey && access(homePath("qzsvkey.pub"), F_OK) == 0) {
        svMsg(sv, "Update key qzsvkey.pub is not 64 hexadecimal digits: updates are not installed");
    }
}

const char* updReport(stQzSv* sv) { return sv->remote.updReport; }

void updCheck(stQzSv* sv, unsigned) {
    stRemote* r = &sv->remote;
    if (!r->masters) return;
    r->updReport[0] = 0;
    if (sv->set.lan) {
        say(sv, "No Master Queries are sent when qz_sv_lan = 1");
        return;
    }
    updLoadKey(sv);
    if (!r->haveUpdateKey) {
        say(sv,
            "No update key (qzsvkey.pub): the masters' answers cannot be checked and are "
            "not used");
    }
    remoteResolve(sv);
    r->updateWanted = WANT_CHECK;
    r->busy = 1;
}

void updMastersResolved(stQzSv* sv) {
    stRemote* r = &sv->remote;
    int want = r->updateWanted;
    r->updateWanted = WANT_NONE;
    if (want == WANT_QUERY) {
        remoteQuery(sv);
        return;
    }
    if (want == WANT_CONTINUE) {
        considerUpdate(sv);
        return;
    }
    remoteQuery(sv);
    int source = firstResolved(sv);
    if (source < 0) {
        for (int i = 0; i < r->masterCount; ++i) {
            say(sv, "No Master Query Sent - DNS has not yet resolved for %s", r->masters[i].host);
        }
        return;
    }
    dlStart(sv, source, "qzns.dat", "qzns.dat", QZ_DLP_MASTERS, 1);
}

void updDownloadDone(stQzSv* sv, stQzDownload* d, bool ok) {
    stRemote* r = &sv->remote;
    if (!ok && (d->purpose == QZ_DLP_MASTERS || d->purpose == QZ_DLP_UPDATE)) {
        // The transfer printed why; the report names the file that did not arrive.
        char line[128];
        QZ_TRF(line, "Download of %s failed (the console has its messages)", d->file);
        keep(r, line);
    }
    if (d->purpose == QZ_DLP_MASTERS) {
        if (!ok) return;
        // The received list replaces the one in memory; its names are resolved again and the
        // check goes on from there.
        remoteLoadMasters(sv);
        remoteResolve(sv);
        r->updateWanted = WANT_CONTINUE;
        r->busy = 1;
    } else if (d->purpose == QZ_DLP_UPDATE && !ok) {
        r->updatePending = 0;
    }
}

void updReceived(stQzSv* sv, stQzDownload* d, const char* server) {
    stRemote* r = &sv->remote;
    updInstallAbandon(sv);
    QZ_COPY(r->updServer, server);
    QZ_COPY(r->updFile, d->file);
    QZ_COPY(r->updTarget, d->target);
    char* data = d->buf;
    d->buf = nullptr;
    r->updJob = qzInstallStart(data, d->size, d->rawSize, homePath("qzsvnew.so"), 'S', 'L',
                               &r->updEntry, r->haveUpdateKey ? r->updateKey : nullptr);
    if (!r->updJob) {
        svMsg(sv, "Memory Allocation Error [%s]", r->updFile);
        r->updatePending = 0;
    }
}

// Slices of 8 KiB of work (update file read and module made, some ten microseconds each) until
// a quarter of a millisecond of CPU time has gone, so a frame overshoots the budget by one slice
// at most; a 4 MiB module then takes a few dozen frames.
int updInstallFrame(stQzSv* sv, unsigned now) {
    stRemote* r = &sv->remote;
    if (!r->updJob) return 0;
    constexpr unsigned long kSlice = 8192;
    constexpr long long kBudgetUs = 250;
    const long long start = threadCpuMicros();
    const char* error = nullptr;
    int res = QZ_INST_RUNNING;
    do {
        res = qzInstallStep(r->updJob, now, kSlice, &error);
    } while (res == QZ_INST_RUNNING && threadCpuMicros() - start < kBudgetUs &&
             !qzInstallSettling(r->updJob));
    if (res == QZ_INST_RUNNING) return 1;
    int zerr = qzInstallTransferError(r->updJob);
    if (zerr) {
        reportTransferError(sv, zerr);
    } else {
        svMsg(sv, "Received Download File: %s", r->updTarget);
        reportInstall(sv, res, error);
        if (res == QZ_INST_INSTALLED) {
            r->waitingNumber = r->updEntry.number;
            // The record the start-up's swap checks the waiting copy against.
            char line[256];
            AtomicFile rec;
            if (qzInstallRecord(r->updJob, line, qz::cap(line)) && rec.open("qzsvnew.so.sig")) {
                rec.put("%s\r\n", line);
                rec.commit();
            }
        }
    }
    qzInstallFree(r->updJob);
    r->updJob = nullptr;
    r->updatePending = 0;
    return 0;
}

void updInstallAbandon(stQzSv* sv) {
    stRemote* r = &sv->remote;
    qzInstallFree(r->updJob);
    r->updJob = nullptr;
}

void updStartupSwap(stQzSv* sv) {
    // What an installation cut short (a crash, kill -9) left behind is of no use.
    if (remove(homePath("qzsvnew.so.part")) == 0) {
        svMsg(sv, "Removed the unfinished update qzsvnew.so.part");
    }
    swapOne(sv, "qzsvnew.so", "qzsv.so", "qzsvold.so", "sb", "Installing New Server Version", 'S');
    swapOne(sv, "qzclsnew.so", "qzcls.so", "qzclsold.so", "cb", "Installing New Client Library",
            'C');
    swapOne(sv, "qzagsnew.so", "qzags.so", "qzagsold.so", "cb", "Installing New Agent Library",
            'A');
}

void cmd_update(stQzSv* sv, const CmdCall&) {
    svMsg(sv, "Checking the QZ Master Servers for Updates");
    updCheck(sv, GetTickCount());
}
