// The whole alias file: qz_sv_AliasLoad reads it into the "Alias" table and qz_sv_AliasWrite
// replaces it by every record, atomically. Both run as a job, a slice of CPU time per frame, so
// that a large file never holds up a frame; the closing line comes when the job ends. At most
// one job runs; a request while it runs waits for it once.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "commands/atomic_file.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/names.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

// Longest alias line accepted: GUID, three 10-digit numbers, a 32-character name, blanks and the
// line end fit well within it; anything longer is damage.
constexpr int kLineMax = 160;
// Read size of the alias load.
constexpr int kChunk = 1 << 16;
// A file this small (or a table this small, for a write) is read or written in the call that
// asks for it: that costs well under a millisecond, and the answer then comes at once, whatever
// the machine's speed.
constexpr long kSmallFile = 64 * 1024;
constexpr int kSmallTable = 1024;
// Records (or lines) handled between two looks at the clock, and at most in one slice.
constexpr int kCheckEvery = 32;
constexpr int kSliceMax = 4096;
constexpr long long kUnlimited = LLONG_MAX / 4;

// The slice's clock: true once the budget or the slice's record count is spent.
struct Slice {
    long long start, budget;
    int cap;
    int done = 0;
    bool over() {
        ++done;
        if (done >= cap) return true;
        return done % kCheckEvery == 0 && threadCpuMicros() - start >= budget;
    }
    long long left() const { return budget - (threadCpuMicros() - start); }
};

Slice sliceOf(long long budgetUs) {
    return Slice{threadCpuMicros(), budgetUs, budgetUs >= kUnlimited ? INT_MAX : kSliceMax};
}

// Splits a stream into lines itself, a block at a time, so that a NUL byte or an endless line
// is only damage to skip, never a crash or a cut record; resumable, so that a load can be
// spread over frames.
struct AliasReader {
    FILE* in = nullptr;
    char* chunk = nullptr;
    size_t got = 0, pos = 0;
    char line[kLineMax];
    int lineLen = 0;
    bool tooLong = false;
    int loaded = 0, damaged = 0, merged = 0, cut = 0;
    bool countCut = true;  // a last line that does not read counts in cut, not in damaged
};

// One line into the table. last: the file's last line, without its line end. When it does not
// read, a write was cut short there (a crash in the middle of an append): that is counted
// apart, since rewriting the file loses nothing that could be read.
void takeLine(stQzSv* sv, AliasReader& r, bool last) {
    int n = r.lineLen;
    if (n > 0 && r.line[n - 1] == '\r') n--;
    stAliasRec rec;
    if (r.tooLong || !nmAliasParse(r.line, n, &rec)) {
        if (last && r.countCut) {
            r.cut++;
        } else if (n > 0 || r.tooLong) {
            r.damaged++;
        }
        return;
    }
    if (stAliasRec* a = nmAliasFind(sv, &rec)) {
        // The same alias twice: one record, the larger count and the widest time span.
        if (rec.count > a->count) a->count = rec.count;
        if (rec.first < a->first) a->first = rec.first;
        if (rec.last > a->last) a->last = rec.last;
        r.merged++;
        r.loaded++;
    } else if (keyStoreRecord(&sv->keys, sv->tAlias, &rec)) {
        r.loaded++;
    } else {
        r.damaged++;
    }
}

// Reads on until the slice is spent; true at the end of the stream (the reader's block freed).
bool readStep(stQzSv* sv, AliasReader& r, Slice& slice) {
    if (!r.chunk) r.chunk = static_cast<char*>(malloc(kChunk));
    if (!r.chunk) return true;
    for (;;) {
        if (r.pos == r.got) {
            r.got = fread(r.chunk, 1, kChunk, r.in);
            r.pos = 0;
            if (r.got == 0) break;
        }
        while (r.pos < r.got) {
            char ch = r.chunk[r.pos++];
            if (ch == '\n') {
                takeLine(sv, r, false);
                r.lineLen = 0;
                r.tooLong = false;
                if (slice.over()) return false;
            } else if (r.lineLen < kLineMax) {
                r.line[r.lineLen++] = ch;
            } else {
                r.tooLong = true;
            }
        }
    }
    if (r.lineLen > 0 || r.tooLong) takeLine(sv, r, true);  // a last line without its line end
    r.lineLen = 0;
    r.tooLong = false;
    free(r.chunk);
    r.chunk = nullptr;
    return true;
}

void formatLine(const stAliasRec* a, char (&line)[256]) {
    QZ_TRF(line, "%s %lu %lu %lu %s\r\n", a->guid, static_cast<unsigned long>(a->count),
           static_cast<unsigned long>(a->first), static_cast<unsigned long>(a->last), a->name);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

struct stAliasJob {
    bool write;
    bool small;  // done in the call that asks for it (see kSmallFile)
    char path[QZ_PATH_MAX];
    AliasReader reader;  // the load
    AtomicFile out;      // the write
    int at, written;
    bool syncing;  // a large write's data is being synced before its rename
};

namespace {

void jobFree(stQzSv* sv) {
    stAliasJob* job = sv->names.aliasJob;
    if (!job) return;
    if (job->reader.in) fclose(job->reader.in);
    free(job->reader.chunk);
    job->out.abandon();
    delete job;
    sv->names.aliasJob = nullptr;
}

stAliasJob* newJob(stQzSv* sv, bool write, const char* name) {
    stAliasJob* job = new (std::nothrow) stAliasJob();
    if (!job) return nullptr;
    job->write = write;
    QZ_COPY(job->path, homePath(name));
    sv->names.aliasJob = job;
    return job;
}

// Starts a write of name (valid, inside the home). False, with the error printed, when the new
// file cannot be created.
bool startWrite(stQzSv* sv, const char* name) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(name));
    stAliasJob* job = nmAliasTableOk(sv) ? newJob(sv, true, name) : nullptr;
    // The append stream would go on writing into the replaced file.
    nmAliasClose(sv);
    if (job) job->small = sv->keys.tables[sv->tAlias].count <= kSmallTable;
    if (!job || !job->out.open(name)) {
        jobFree(sv);
        svMsg(sv, "ERROR Writing Aliases to %s", path);
        return false;
    }
    return true;
}

// Writes records from job->at on. Records stored meanwhile (tracking only ever adds records at
// the end of the table) are written too; the append stream may have put them into the old file
// as well, which the rename then replaces. True when done.
bool writeStep(stQzSv* sv, stAliasJob* job, Slice& slice) {
    const stKeyTable& table = sv->keys.tables[sv->tAlias];
    char line[256];
    while (!job->syncing && job->at < table.count) {
        const stAliasRec* a =
            static_cast<const stAliasRec*>(keyRecord(&sv->keys, sv->tAlias, job->at));
        job->at++;
        if (a && a->guid[0]) {
            formatLine(a, line);
            job->out.put("%s", line);
            job->written++;
        }
        if (slice.over()) return false;
    }
    // A large file's data is synced before the rename, over the next frames.
    if (!job->small && !job->syncing) {
        job->syncing = true;
        if (job->out.commitStart()) return false;
    }
    int done = job->syncing ? job->out.commitPoll() : job->out.commit() ? 1 : -1;
    if (done == 0) return false;
    bool ok = done > 0;
    // The append stream may hold the old file open: the next new alias reopens the new one.
    nmAliasClose(sv);
    // Aliases first seen while the data was synced went to the old file only.
    if (ok && job->syncing && !strcmp(job->path, homePath(sv->set.aliasFn))) {
        for (int i = job->at; i < table.count; ++i) {
            const stAliasRec* a =
                static_cast<const stAliasRec*>(keyRecord(&sv->keys, sv->tAlias, i));
            if (a && a->guid[0]) {
                nmAliasAppend(sv, a);
                job->written++;
            }
        }
    }
    if (ok) {
        svMsg(sv, "%d Alias%s Written to %s", job->written, job->written == 1 ? "" : "es",
              job->path);
    } else {
        svMsg(sv, "ERROR Writing Aliases to %s", job->path);
    }
    jobFree(sv);
    return true;
}

// The load writes the file back from the table only when it merged repeated records or the
// file's last line was cut short, and found no other damage: a damaged file is left exactly as
// it is for the administrator to look at.
void loadEnded(stQzSv* sv, stAliasJob* job, Slice& slice) {
    const AliasReader& r = job->reader;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, job->path);
    const int loaded = r.loaded, damaged = r.damaged, merged = r.merged, cut = r.cut;
    jobFree(sv);
    svMsg(sv, "%d Alias%s Loaded from %s", loaded, loaded == 1 ? "" : "es", path);
    if (damaged) {
        svMsg(sv, "%d damaged alias line%s skipped in %s (file left unchanged)", damaged,
              damaged == 1 ? "" : "s", path);
    } else if (merged || cut) {
        if (cut) svMsg(sv, "Cut last line of %s dropped (an append was interrupted)", path);
        // Written back before anything queued, with what is left of this slice.
        if (startWrite(sv, sv->set.aliasFn) && slice.left() > 0) {
            Slice rest = sliceOf(slice.left());
            writeStep(sv, sv->names.aliasJob, rest);
        }
    }
}

// A load of qz_sv_AliasFn. A missing or unreadable file loads nothing: the closing line comes
// at once.
bool startLoad(stQzSv* sv) {
    const char* name = sv->set.aliasFn;
    FILE* in = nullptr;
    if (nmAliasTableOk(sv) && homeNameOk(name)) in = homeOpen(homePath(name), "rb");
    stAliasJob* job = in ? newJob(sv, false, name) : nullptr;
    if (!job) {
        if (in) fclose(in);
        svMsg(sv, "%d Alias%s Loaded from %s", 0, "es", homePath(name));
        return false;
    }
    job->reader.in = in;
    struct stat st;
    job->small = fstat(fileno(in), &st) == 0 && st.st_size <= kSmallFile;
    return true;
}

void runQueued(stQzSv* sv) {
    stNames& nm = sv->names;
    while (!nm.aliasJob && (nm.aliasQueuedLoad || nm.aliasQueuedWrite)) {
        if (nm.aliasQueuedWrite) {
            nm.aliasQueuedWrite = 0;
            startWrite(sv, nm.aliasQueuedName);
        } else {
            nm.aliasQueuedLoad = 0;
            startLoad(sv);
        }
    }
}

void stepJob(stQzSv* sv, Slice& slice) {
    stAliasJob* job = sv->names.aliasJob;
    if (job->write) {
        writeStep(sv, job, slice);
    } else if (readStep(sv, job->reader, slice)) {
        loadEnded(sv, job, slice);
    }
}

}  // namespace

bool nmAliasJobStep(stQzSv* sv, long long budgetUs) {
    if (sv->names.aliasJob) {
        Slice slice = sliceOf(sv->names.aliasJob->small ? kUnlimited : budgetUs);
        stepJob(sv, slice);
    }
    if (!sv->names.aliasJob) runQueued(sv);
    return !sv->names.aliasJob && !sv->names.aliasQueuedLoad && !sv->names.aliasQueuedWrite;
}

void nmAliasLoadStart(stQzSv* sv) {
    stNames& nm = sv->names;
    if (nm.aliasJob) {
        if (nm.aliasQueuedLoad) {
            svMsg(sv, "Alias File %s busy: load already queued", nm.aliasJob->path);
        } else {
            nm.aliasQueuedLoad = 1;
            svMsg(sv, "Alias File %s busy: load queued", nm.aliasJob->path);
        }
        return;
    }
    if (startLoad(sv)) nmAliasJobStep(sv, QZ_JOB_SLICE_US);
}

void nmAliasWriteStart(stQzSv* sv, const char* name) {
    stNames& nm = sv->names;
    if (!name || !*name) name = sv->set.aliasFn;
    if (nm.aliasJob) {
        if (nm.aliasQueuedWrite) {
            svMsg(sv, "Alias File %s busy: write already queued (%s)", nm.aliasJob->path,
                  homePath(nm.aliasQueuedName));
        } else {
            nm.aliasQueuedWrite = 1;
            QZ_COPY(nm.aliasQueuedName, name);
            svMsg(sv, "Alias File %s busy: write queued", nm.aliasJob->path);
        }
        return;
    }
    if (startWrite(sv, name)) nmAliasJobStep(sv, QZ_JOB_SLICE_US);
}

void nmAliasJobEnd(stQzSv* sv) {
    stNames& nm = sv->names;
    nm.aliasQueuedLoad = 0;
    nm.aliasQueuedWrite = 0;
    if (nm.aliasJob && nm.aliasJob->write) {
        Slice all = sliceOf(kUnlimited);
        while (nm.aliasJob && !writeStep(sv, nm.aliasJob, all)) atomicSyncSettle();
    }
    jobFree(sv);
}

namespace {

bool loadJobStart(stQzSv* sv) {
    if (sv->names.aliasJob) {
        sv->names.aliasQueuedLoad = 1;
        return true;
    }
    return startLoad(sv);
}

}  // namespace

const QzJob kAliasLoadJob = {"alias load", loadJobStart, nmAliasJobStep};

int nmAliasLoad(stQzSv* sv, const char* name, int* damaged, int* merged, int* cut) {
    *damaged = 0;
    *merged = 0;
    if (cut) *cut = 0;
    if (!nmAliasTableOk(sv) || !homeNameOk(name)) return 0;
    FILE* in = homeOpen(homePath(name), "rb");
    if (!in) return 0;
    int loaded = nmAliasLoadStream(sv, in, damaged, merged, cut);
    fclose(in);
    return loaded;
}

int nmAliasLoadStream(stQzSv* sv, FILE* in, int* damaged, int* merged, int* cut) {
    *damaged = 0;
    *merged = 0;
    if (cut) *cut = 0;
    if (!nmAliasTableOk(sv)) return 0;
    AliasReader r;
    r.in = in;
    r.countCut = cut != nullptr;
    Slice all = sliceOf(kUnlimited);
    while (!readStep(sv, r, all)) {
    }
    *damaged = r.damaged;
    *merged = r.merged;
    if (cut) *cut = r.cut;
    return r.loaded;
}

int nmAliasWrite(stQzSv* sv, const char* name) {
    if (!nmAliasTableOk(sv) || !homeNameOk(name)) return -1;
    // The append stream would go on writing into the replaced file.
    nmAliasClose(sv);
    AtomicFile out;
    if (!out.open(name)) return -1;
    const stKeyTable& table = sv->keys.tables[sv->tAlias];
    char line[256];
    int written = 0;
    for (int i = 0; i < table.count; ++i) {
        const stAliasRec* a = static_cast<const stAliasRec*>(keyRecord(&sv->keys, sv->tAlias, i));
        if (!a || !a->guid[0]) continue;
        formatLine(a, line);
        out.put("%s", line);
        written++;
    }
    return out.commit() ? written : -1;
}

int nmAliasWriteStream(stQzSv* sv, FILE* out) {
    if (!nmAliasTableOk(sv)) return -1;
    const stKeyTable& table = sv->keys.tables[sv->tAlias];
    char line[256];
    bool ok = true;
    int written = 0;
    for (int i = 0; i < table.count; ++i) {
        const stAliasRec* a = static_cast<const stAliasRec*>(keyRecord(&sv->keys, sv->tAlias, i));
        if (!a || !a->guid[0]) continue;
        formatLine(a, line);
        ok = fputs(line, out) >= 0 && ok;
        written++;
    }
    return ok ? written : -1;
}

void cmd_aliasload(stQzSv* sv, const CmdCall&) { nmAliasLoadStart(sv); }

// qz_sv_AliasWrite [optional filename]: a new file, replacing the old one atomically.
void cmd_aliaswrite(stQzSv* sv, const CmdCall& call) {
    char name[QZ_PATH_MAX];
    const char* p = call.args;
    while (isBlank(*p)) p++;
    QZ_COPY(name, p);
    int n = slen(name);
    while (n > 0 && isBlank(name[n - 1])) name[--n] = 0;
    if (!name[0]) QZ_COPY(name, sv->set.aliasFn);
    if (!homeNameOk(name)) {
        char shown[64];
        nmCleanName(shown, qz::cap(shown), name);
        svMsg(sv, "Alias file name refused (must stay in the home directory): %s", shown);
        return;
    }
    nmAliasWriteStart(sv, name);
}

// At the module's start the host waits for the call anyway: the load runs to its end.
void nmStartup(stQzSv* sv) {
    if (!sv->set.aliasAutoLoad) return;
    nmAliasLoadStart(sv);
    while (!nmAliasJobStep(sv, kUnlimited)) {
    }
}
