// The statistics file (qz_sv_statfn, by default qzstat.dat): one record a line, "%s age=%lu
// secs=%lu stat=\"%s\"\r\n". New records are appended (the periodic write, QZ_SV_STATAPPEND);
// QZ_SV_STATWRITE replaces the file by every record at once, atomically; loading reads it into
// "PersStat", merging the lines of one GUID. Damaged lines are skipped and counted; the file is
// never changed by reading it. Loads and whole writes of a large file run as a job, a slice of
// CPU time per frame, so that no frame waits for a whole file.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "commands/atomic_file.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

// Longest line read: a whole record with its 986-character text is shorter.
constexpr int kLineMax = 1200;
// Damaged lines named one by one; the rest are only counted.
constexpr int kDamagedShown = 10;

// The file name comes from a setting: it must stay inside the home directory.
bool statPath(stQzSv* sv, char* out, int size) {
    const char* name = sv->set.statFn[0] ? sv->set.statFn : "qzstat.dat";
    if (!homeNameOk(name)) {
        svMsg(sv, "Statistics file name refused: %s", name);
        return false;
    }
    trf(out, size, "%s", homePath(name));
    return true;
}

// Releases every record of table t. A table left without live records starts again from its
// first slot, so that refilling it appends instead of searching for free slots.
void emptyTable(stQzSv* sv, int t) {
    stKeyTable& table = sv->keys.tables[t];
    for (int i = 0; i < table.count && table.live > 0; ++i) {
        const char* rec = static_cast<const char*>(keyRecord(&sv->keys, t, i));
        if (rec && rec[0]) keyRelease(&sv->keys, t, i);
    }
    if (table.live == 0) table.count = 0;
}

bool digits(const char* p, unsigned* out) {
    unsigned long long v = 0;
    int n = 0;
    for (; p[n] >= '0' && p[n] <= '9'; ++n) {
        v = v * 10 + static_cast<unsigned>(p[n] - '0');
        if (n >= 10 || v > 0xFFFFFFFFull) return false;
    }
    *out = static_cast<unsigned>(v);
    return n > 0 && (p[n] == ' ' || p[n] == 0);
}

bool writeRecord(FILE* f, const stSvStat* rec) {
    return fprintf(f, "%s age=%lu secs=%lu stat=\"%s\"\r\n", rec->guid,
                   static_cast<unsigned long>(rec->age), static_cast<unsigned long>(rec->secs),
                   rec->stat) > 0;
}

bool statLineOk(const char* line, int length) {
    char copy[kLineMax];
    if (length >= kLineMax) return false;
    trcpyz(copy, line, length);
    stSvStat rec;
    return statParseLine(copy, &rec);
}

}  // namespace

// The fields are found by their words; the text runs from "stat=\"" to the line's last quote,
// after which only the line end may follow.
bool statParseLine(const char* line, stSvStat* rec) {
    memset(rec, 0, sizeof *rec);
    int g = 0;
    while (line[g] && line[g] != ' ') g++;
    if (g != 32) return false;
    trcpyz(rec->guid, line, 32);
    if (!plGuidValid(rec->guid)) return false;
    const char* stat = strstr(line + g, "stat=\"");
    if (!stat) return false;
    char head[96];
    int h = static_cast<int>(stat - (line + g));
    if (h >= qz::cap(head)) return false;
    trcpyz(head, line + g, h);
    const char* age = strstr(head, " age=");
    const char* secs = strstr(head, " secs=");
    if (!age || !secs || !digits(age + 5, &rec->age) || !digits(secs + 6, &rec->secs)) return false;
    const char* text = stat + 6;
    const char* quote = strrchr(text, '"');
    if (!quote) return false;
    const char* rest = quote + 1;
    if (*rest == '\r') rest++;
    if (*rest == '\n') rest++;
    if (*rest) return false;
    int n = static_cast<int>(quote - text);
    if (n > QZ_STAT_TEXT) return false;
    trcpyz(rec->stat, text, n);
    return statTextValid(rec->stat);
}

// ---- Loads and whole writes spread over frames ----

enum StatPhase { PH_EMPTY, PH_READ, PH_MERGE, PH_WRITE, PH_COMMIT };

// A file this small, with few new records, is read and written in the call that asks for it:
// that costs well under a millisecond, and the answer then comes at once, whatever the
// machine's speed.
constexpr long kSmallFile = 64 * 1024;
constexpr int kSmallNew = 256;
// Records (or lines) handled between two looks at the clock, and at most in one slice.
constexpr int kCheckEvery = 32;
constexpr int kSliceMax = 4096;

struct stStatJob {
    bool write;
    bool small;    // done in the call that asks for it (see kSmallFile)
    bool syncing;  // a large write's data is being synced before its rename
    int phase;
    int at;  // next record of the phase (emptying, merging, writing)
    FILE* in;
    int lineNo, loaded;
    char path[QZ_PATH_MAX];
    char name[QZ_PATH_MAX];  // the file name setting when the job started
    AtomicFile out;
    int written;
    unsigned age;  // the age written into the merged new records
    // The new records a write took out of "NewStat", as they were there: put back when the
    // write fails, so that the next write still has them.
    stSvStat* taken;
    int takenCount, takenCap;
};

namespace {

const char* statName(stQzSv* sv) { return sv->set.statFn[0] ? sv->set.statFn : "qzstat.dat"; }

// A budget that never runs out: the job runs to its end in one call.
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
};

void jobFree(stQzSv* sv) {
    stStatJob* job = sv->pw.statJob;
    if (!job) return;
    if (job->in) fclose(job->in);
    job->out.abandon();
    free(job->taken);
    delete job;
    sv->pw.statJob = nullptr;
}

// Puts the records a failed write had taken back into "NewStat", merged with what was gathered
// since; nothing is lost unless the table refuses a record (reported).
void putBack(stQzSv* sv, stStatJob* job) {
    for (int i = 0; i < job->takenCount; ++i) {
        int r = statAdd(sv, sv->tNewStat, &job->taken[i]);
        if (r < 0) svMsg(sv, "Internal Error - Failed to Add Stat Record to Hash Table");
    }
    job->takenCount = 0;
}

stStatJob* jobOpen(stQzSv* sv, bool write) {
    char path[QZ_PATH_MAX];
    if (!statPath(sv, path, qz::cap(path))) return nullptr;
    FILE* f = homeOpen(path, "rb");
    if (!f && errno != ENOENT) {
        svMsg(sv, "ERROR Opening Stat File %s", path);
        return nullptr;
    }
    stStatJob* job = new (std::nothrow) stStatJob();
    if (!job) {
        if (f) fclose(f);
        svMsg(sv, "ERROR Opening Stat File %s", path);
        return nullptr;
    }
    job->write = write;
    struct stat st;
    job->small = (!f || (fstat(fileno(f), &st) == 0 && st.st_size <= kSmallFile)) &&
                 sv->keys.tables[sv->tNewStat].count <= kSmallNew;
    job->phase = PH_EMPTY;
    job->in = f;
    QZ_COPY(job->path, path);
    QZ_COPY(job->name, statName(sv));
    sv->pw.statJob = job;
    sv->pw.statLoaded = 1;
    sv->pw.statDamaged = 0;
    sv->pw.statCut = 0;
    sv->pw.statLost = 0;
    return job;
}

// Releases the records of "PersStat" from job->at on. True when the table is empty.
bool stepEmpty(stQzSv* sv, stStatJob* job, Slice& slice) {
    const int t = sv->tPersStat;
    stKeyTable& table = sv->keys.tables[t];
    while (job->at < table.count && table.live > 0) {
        const char* rec = static_cast<const char*>(keyRecord(&sv->keys, t, job->at));
        if (rec && rec[0]) keyRelease(&sv->keys, t, job->at);
        job->at++;
        if (slice.over()) return false;
    }
    // A table left without live records starts again from its first slot, so that refilling
    // it appends instead of searching for free slots.
    if (table.live == 0) table.count = 0;
    job->at = 0;
    return true;
}

// Reads lines into "PersStat". True at the end of the file.
bool stepRead(stQzSv* sv, stStatJob* job, Slice& slice) {
    FILE* f = job->in;
    if (!f) return true;
    char line[kLineMax];
    stSvStat rec;
    while (fgets(line, sizeof line, f)) {
        job->lineNo++;
        int n = slen(line);
        bool damaged = false;
        if (n > 0 && line[n - 1] != '\n' && !feof(f)) {
            int ch;
            while ((ch = fgetc(f)) != EOF && ch != '\n') {
            }
            damaged = true;
        } else if (line[0] == '\r' || line[0] == '\n') {
            if (slice.over()) return false;
            continue;
        } else {
            damaged = !statParseLine(line, &rec);
        }
        // A last line without its line end that does not read is an append cut short (a
        // crash in the middle of a write); nothing of it can be read, so it does not keep
        // the file from being rewritten.
        if (damaged && n > 0 && line[n - 1] != '\n' && feof(f)) {
            sv->pw.statCut = 1;
            svCon(sv, "Cut last line %d in %s skipped", job->lineNo, job->path);
        } else if (damaged) {
            if (sv->pw.statDamaged++ < kDamagedShown)
                svCon(sv, "Damaged line %d in %s skipped", job->lineNo, job->path);
        } else {
            int r = statAdd(sv, sv->tPersStat, &rec);
            if (r < 0) {
                svMsg(sv, "ERROR Trying to Load Stats for GUID=%s", rec.guid);
                sv->pw.statLost++;
            } else {
                // Not merged (the sum would not fit one record): kept as a record of its own.
                if (r == 0) svMsg(sv, "ERROR Trying to Merge Stats for GUID=%s", rec.guid);
                job->loaded++;
            }
        }
        if (slice.over()) return false;
    }
    fclose(f);
    job->in = nullptr;
    return true;
}

void loadMessages(stQzSv* sv, const stStatJob* job) {
    svMsg(sv, "%d Stat Record%s Loaded from %s", job->loaded, job->loaded == 1 ? "" : "s",
          job->path);
    if (sv->pw.statDamaged) {
        svMsg(sv, "%u damaged line%s skipped in %s", sv->pw.statDamaged,
              sv->pw.statDamaged == 1 ? "" : "s", job->path);
    }
}

}  // namespace

bool statJobBusy(const stQzSv* sv) { return sv->pw.statJob != nullptr; }

// The playing time of every player is brought up to date first, so that the appended records
// hold it.
int statAppend(stQzSv* sv, bool touch) {
    if (sv->pw.statJob) {
        sv->pw.statQueued |= QZ_STATQ_APPEND;
        return 0;
    }
    if (touch && sv->set.statTrack) {
        unsigned now = qzMonoTick();
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) statTouch(sv, slot, now);
    }
    char path[QZ_PATH_MAX];
    if (!statPath(sv, path, qz::cap(path))) return -1;
    const int t = sv->tNewStat;
    long moved = 0;
    FILE* f = homeOpenAppendLine(path, statLineOk, &moved);
    if (moved)
        svMsg(sv, "Cut last line of %s moved to %s.cut (an append was interrupted)", path, path);
    if (!f) {
        svMsg(sv, "ERROR Opening Stat File %s", path);
        return -1;
    }
    const unsigned age = static_cast<unsigned>(qzTime());
    int written = 0;
    const stKeyTable& table = sv->keys.tables[t];
    for (int i = 0; i < table.count; ++i) {
        stSvStat* rec = static_cast<stSvStat*>(keyRecord(&sv->keys, t, i));
        if (!rec || !rec->guid[0]) continue;
        rec->age = age;
        if (writeRecord(f, rec)) {
            written++;
        } else {
            svMsg(sv, "WARNING: Persistent Stat Update Failed (GUID=%s)", rec->guid);
        }
    }
    if (fclose(f) != 0) svMsg(sv, "WARNING: Persistent Stat Update Failed (GUID=%s)", "*");
    emptyTable(sv, t);
    svMsg(sv, "%d Stat Record%s Written to %s", written, written == 1 ? "" : "s", path);
    return written;
}

namespace {

void runQueued(stQzSv* sv);

void touchAll(stQzSv* sv) {
    if (!sv->set.statTrack) return;
    unsigned now = qzMonoTick();
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) statTouch(sv, slot, now);
}

bool startWrite(stQzSv* sv, bool step) {
    touchAll(sv);
    if (!jobOpen(sv, true)) {
        sv->pw.statWriteCount = -1;
        return false;
    }
    if (step) statJobStep(sv, QZ_JOB_SLICE_US);
    return true;
}

bool startLoad(stQzSv* sv, bool step) {
    if (!jobOpen(sv, false)) {
        sv->pw.statLoadCount = -1;
        return false;
    }
    if (step) statJobStep(sv, QZ_JOB_SLICE_US);
    return true;
}

enum StepResult { STEP_MORE, STEP_DONE, STEP_FAILED };

// Moves the records of "NewStat" into "PersStat", one at a time: a record is merged, noted
// and released in one go, so an event that comes between two slices starts a new record for
// the next write. STEP_FAILED when the table (or the memory for the note) refused a record.
StepResult stepMerge(stQzSv* sv, stStatJob* job, Slice& slice, unsigned age) {
    const int tNew = sv->tNewStat, tPers = sv->tPersStat;
    stKeyTable& fresh = sv->keys.tables[tNew];
    while (job->at < fresh.count) {
        stSvStat* rec = static_cast<stSvStat*>(keyRecord(&sv->keys, tNew, job->at));
        if (rec && rec->guid[0]) {
            if (job->takenCount == job->takenCap) {
                int cap = job->takenCap ? job->takenCap * 2 : 64;
                void* grown = realloc(job->taken, sizeof(stSvStat) * static_cast<size_t>(cap));
                if (!grown) return STEP_FAILED;
                job->taken = static_cast<stSvStat*>(grown);
                job->takenCap = cap;
            }
            stSvStat copy = *rec;
            copy.age = age;
            int r = statAdd(sv, tPers, &copy);
            if (r == 0) svMsg(sv, "ERROR Trying to Merge Stats for GUID=%s", copy.guid);
            if (r < 0) return STEP_FAILED;
            job->taken[job->takenCount++] = *rec;
            keyRelease(&sv->keys, tNew, job->at);
        }
        job->at++;
        if (slice.over()) return STEP_MORE;
    }
    if (fresh.live == 0) fresh.count = 0;
    return STEP_DONE;
}

// Writes the records of "PersStat" from job->at on. True when all are written.
bool stepWrite(stQzSv* sv, stStatJob* job, Slice& slice) {
    const int tPers = sv->tPersStat;
    const stKeyTable& kept = sv->keys.tables[tPers];
    while (job->at < kept.count) {
        const stSvStat* rec = static_cast<const stSvStat*>(keyRecord(&sv->keys, tPers, job->at));
        job->at++;
        if (rec && rec->guid[0]) {
            job->out.put("%s age=%lu secs=%lu stat=\"%s\"\r\n", rec->guid,
                         static_cast<unsigned long>(rec->age),
                         static_cast<unsigned long>(rec->secs), rec->stat);
            job->written++;
        }
        if (slice.over()) return false;
    }
    return true;
}

// The whole write failed: the old file stays, the new records go back to "NewStat" for the
// next write, and "PersStat" is read again from the file.
void writeFailed(stQzSv* sv, stStatJob* job) {
    putBack(sv, job);
    jobFree(sv);
    sv->pw.statWriteCount = -1;
    startLoad(sv, true);
}

// One slice of the running job. Returns when the slice is spent or the job has ended.
void stepJob(stQzSv* sv, Slice& slice) {
    stStatJob* job = sv->pw.statJob;
    if (job->phase == PH_EMPTY) {
        if (!stepEmpty(sv, job, slice)) return;
        job->phase = PH_READ;
    }
    if (job->phase == PH_READ) {
        if (!stepRead(sv, job, slice)) return;
        loadMessages(sv, job);
        sv->pw.statLoadCount = job->loaded;
        if (!job->write) {
            jobFree(sv);
            return;
        }
        // Replacing the file would drop its damaged lines, or records the tables could not
        // take; the administrator decides about them. A cut last line alone held nothing
        // readable.
        if (sv->pw.statDamaged || sv->pw.statLost) {
            svMsg(sv,
                  "Stat File %s holds damaged lines: not replaced, new records appended instead",
                  job->path);
            jobFree(sv);
            sv->pw.statWriteCount = statAppend(sv);
            return;
        }
        if (sv->pw.statCut)
            svMsg(sv, "Cut last line of %s dropped (an append was interrupted)", job->path);
        job->phase = PH_MERGE;
        job->at = 0;
        job->age = static_cast<unsigned>(qzTime());
    }
    if (job->phase == PH_MERGE) {
        StepResult r = stepMerge(sv, job, slice, job->age);
        if (r == STEP_FAILED) {
            // The new records stay for the next write; the file stays as it is.
            svMsg(sv, "Internal Error - Failed to Add Stat Record to Hash Table");
            writeFailed(sv, job);
        }
        if (r != STEP_DONE) return;
        job->phase = PH_WRITE;
        job->at = 0;
        job->out.open(job->name);
    }
    if (job->phase == PH_WRITE) {
        if (job->out.isOpen() && !stepWrite(sv, job, slice)) return;
        job->phase = PH_COMMIT;
        // A large file's data is synced before the rename, over the next frames.
        if (!job->small && job->out.isOpen()) {
            job->syncing = true;
            if (job->out.commitStart()) return;
        }
    }
    int done = job->syncing ? job->out.commitPoll() : job->out.commit() ? 1 : -1;
    if (done == 0) return;
    if (done < 0) {
        svMsg(sv, "WARNING: Persistent Stat Update Failed (GUID=%s)", "*");
        svMsg(sv, "ERROR Writing Stat File %s (%s)", job->path, job->out.error());
        writeFailed(sv, job);
        return;
    }
    svMsg(sv, "%d Stat Record%s Written to %s", job->written, job->written == 1 ? "" : "s",
          job->path);
    sv->pw.statWriteCount = job->written;
    jobFree(sv);
}

// Starts what waited for the job that ended: the append first (its records then reach the
// file a write reads), then a write, which serves a queued load as well, or the load.
void runQueued(stQzSv* sv) {
    stPower& p = sv->pw;
    while (!p.statJob && p.statQueued) {
        if (p.statQueued & QZ_STATQ_APPEND) {
            p.statQueued &= ~QZ_STATQ_APPEND;
            statAppend(sv);
        } else if (p.statQueued & QZ_STATQ_WRITE) {
            p.statQueued &= ~(QZ_STATQ_WRITE | QZ_STATQ_LOAD);
            startWrite(sv, false);
        } else {
            p.statQueued &= ~QZ_STATQ_LOAD;
            startLoad(sv, false);
        }
    }
}

}  // namespace

bool statJobStep(stQzSv* sv, long long budgetUs) {
    if (sv->pw.statJob) {
        if (sv->pw.statJob->small) budgetUs = kUnlimited;
        Slice slice{threadCpuMicros(), budgetUs, budgetUs >= kUnlimited ? INT_MAX : kSliceMax};
        stepJob(sv, slice);
    }
    if (!sv->pw.statJob) runQueued(sv);
    return !sv->pw.statJob && !sv->pw.statQueued;
}

void statJobFinish(stQzSv* sv) {
    while (!statJobStep(sv, kUnlimited)) {
        // A large write waits for its sync.
        if (sv->pw.statJob && sv->pw.statJob->syncing) atomicSyncSettle();
    }
}

void statJobAbandon(stQzSv* sv) {
    stStatJob* job = sv->pw.statJob;
    sv->pw.statQueued = 0;
    if (!job) return;
    if (job->write) {
        putBack(sv, job);
        svMsg(sv, "Whole write of %s given up by the shut-down: the file is left as it was",
              job->path);
    }
    jobFree(sv);
}

// Reads the file first so that nothing it holds is lost, merges the new records in, and writes
// the whole through a temporary file renamed over the old one. On failure the old file stays,
// the records read are read again, and the new records are kept for the next write. A file
// with damaged lines is not replaced (the new records are appended instead). A record whose
// merge fails stays a line of its own, so the file never holds less than before.
bool statWriteStart(stQzSv* sv) {
    stPower& p = sv->pw;
    if (p.statJob) {
        if (p.statQueued & QZ_STATQ_WRITE) {
            svMsg(sv, "Stat File %s busy: write already queued", p.statJob->path);
        } else {
            p.statQueued |= QZ_STATQ_WRITE;
            svMsg(sv, "Stat File %s busy: write queued", p.statJob->path);
        }
        return true;
    }
    return startWrite(sv, true);
}

bool statLoadStart(stQzSv* sv) {
    stPower& p = sv->pw;
    if (p.statJob) {
        // A write reads the file too: a load queued behind one is served by it.
        if (p.statQueued & (QZ_STATQ_LOAD | QZ_STATQ_WRITE)) {
            svMsg(sv, "Stat File %s busy: load already queued", p.statJob->path);
        } else {
            p.statQueued |= QZ_STATQ_LOAD;
            svMsg(sv, "Stat File %s busy: load queued", p.statJob->path);
        }
        return true;
    }
    return startLoad(sv, true);
}

int statWrite(stQzSv* sv) {
    statJobFinish(sv);
    if (!startWrite(sv, false)) return -1;
    statJobFinish(sv);
    return sv->pw.statWriteCount;
}

int statLoad(stQzSv* sv) {
    statJobFinish(sv);
    if (!startLoad(sv, false)) return -1;
    statJobFinish(sv);
    return sv->pw.statLoadCount;
}

namespace {

// A load asked for while another job runs waits behind it, silently: the job is then running.
bool loadJobStart(stQzSv* sv) {
    if (sv->pw.statJob) {
        sv->pw.statQueued |= QZ_STATQ_LOAD;
        return true;
    }
    return startLoad(sv, false);
}

}  // namespace

const QzJob kStatLoadJob = {"statistics load", loadJobStart, statJobStep};

// The log's opening and the append already cost this call some time: a large file's load
// starts with the next frame.
void statNewLog(stQzSv* sv) {
    if (sv->set.statTrack && sv->keys.tables[sv->tNewStat].live > 0) statAppend(sv);
    if (!sv->set.statAutoLoad) return;
    if (sv->pw.statJob) {
        statLoadStart(sv);
    } else if (startLoad(sv, false) && sv->pw.statJob && sv->pw.statJob->small) {
        statJobStep(sv, QZ_JOB_SLICE_US);
    }
}

void dir_statappend(stQzSv* sv, const CmdCall&) {
    if (sv->pw.statJob && !(sv->pw.statQueued & QZ_STATQ_APPEND))
        svMsg(sv, "Stat File %s busy: append queued", sv->pw.statJob->path);
    statAppend(sv);
}
void dir_statload(stQzSv* sv, const CmdCall&) { statLoadStart(sv); }
void dir_statwrite(stQzSv* sv, const CmdCall&) { statWriteStart(sv); }
