// The statistics file (qz_sv_statfn, by default qzstat.dat): one record a line, "%s age=%lu
// secs=%lu stat=\"%s\"\r\n". New records are appended (the periodic write, QZ_SV_STATAPPEND);
// QZ_SV_STATWRITE replaces the file by every record at once, atomically; loading reads it into
// "PersStat", merging the lines of one GUID. Damaged lines are skipped and counted; the file is
// never changed by reading it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int statLoad(stQzSv* sv) {
    char path[QZ_PATH_MAX];
    if (!statPath(sv, path, qz::cap(path))) return -1;
    FILE* f = homeOpen(path, "rb");
    if (!f && errno != ENOENT) {
        svMsg(sv, "ERROR Opening Stat File %s", path);
        return -1;
    }
    emptyTable(sv, sv->tPersStat);
    sv->pw.statLoaded = 1;
    sv->pw.statDamaged = 0;
    sv->pw.statCut = 0;
    sv->pw.statLost = 0;
    int loaded = 0, lineNo = 0;
    if (f) {
        char line[kLineMax];
        stSvStat rec;
        while (fgets(line, sizeof line, f)) {
            lineNo++;
            int n = slen(line);
            bool damaged = false;
            if (n > 0 && line[n - 1] != '\n' && !feof(f)) {
                int ch;
                while ((ch = fgetc(f)) != EOF && ch != '\n') {
                }
                damaged = true;
            } else if (line[0] == '\r' || line[0] == '\n') {
                continue;
            } else {
                damaged = !statParseLine(line, &rec);
            }
            // A last line without its line end that does not read is an append cut short (a
            // crash in the middle of a write); nothing of it can be read, so it does not keep
            // the file from being rewritten.
            if (damaged && n > 0 && line[n - 1] != '\n' && feof(f)) {
                sv->pw.statCut = 1;
                svCon(sv, "Cut last line %d in %s skipped", lineNo, path);
                continue;
            }
            if (damaged) {
                if (sv->pw.statDamaged++ < kDamagedShown)
                    svCon(sv, "Damaged line %d in %s skipped", lineNo, path);
                continue;
            }
            int r = statAdd(sv, sv->tPersStat, &rec);
            if (r < 0) {
                svMsg(sv, "ERROR Trying to Load Stats for GUID=%s", rec.guid);
                sv->pw.statLost++;
            } else {
                // Not merged (the sum would not fit one record): kept as a record of its own.
                if (r == 0) svMsg(sv, "ERROR Trying to Merge Stats for GUID=%s", rec.guid);
                loaded++;
            }
        }
        fclose(f);
    }
    svMsg(sv, "%d Stat Record%s Loaded from %s", loaded, loaded == 1 ? "" : "s", path);
    if (sv->pw.statDamaged) {
        svMsg(sv, "%u damaged line%s skipped in %s", sv->pw.statDamaged,
              sv->pw.statDamaged == 1 ? "" : "s", path);
    }
    return loaded;
}

// The playing time of every player is brought up to date first, so that the appended records
// hold it.
int statAppend(stQzSv* sv, bool touch) {
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

// Reads the file first so that nothing it holds is lost, merges the new records in, and writes
// the whole through a temporary file renamed over the old one. On failure the old file stays,
// the records read are read again, and the new records are kept for the next write. A file
// with damaged lines is not replaced (the new records are appended instead). A record whose
// merge fails stays a line of its own, so the file never holds less than before.
int statWrite(stQzSv* sv) {
    if (sv->set.statTrack) {
        unsigned now = qzMonoTick();
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) statTouch(sv, slot, now);
    }
    char path[QZ_PATH_MAX];
    if (!statPath(sv, path, qz::cap(path))) return -1;
    if (statLoad(sv) < 0) return -1;
    // Replacing the file would drop its damaged lines, or records the tables could not take;
    // the administrator decides about them. A cut last line alone held nothing readable.
    if (sv->pw.statDamaged || sv->pw.statLost) {
        svMsg(sv, "Stat File %s holds damaged lines: not replaced, new records appended instead",
              path);
        return statAppend(sv);
    }
    if (sv->pw.statCut) svMsg(sv, "Cut last line of %s dropped (an append was interrupted)", path);
    const int tNew = sv->tNewStat, tPers = sv->tPersStat;
    const unsigned age = static_cast<unsigned>(qzTime());
    const stKeyTable& fresh = sv->keys.tables[tNew];
    for (int i = 0; i < fresh.count; ++i) {
        stSvStat* rec = static_cast<stSvStat*>(keyRecord(&sv->keys, tNew, i));
        if (!rec || !rec->guid[0]) continue;
        stSvStat copy = *rec;
        copy.age = age;
        int r = statAdd(sv, tPers, &copy);
        if (r == 0) svMsg(sv, "ERROR Trying to Merge Stats for GUID=%s", copy.guid);
        if (r < 0) {
            // The new records stay for the next write; the file stays as it is.
            svMsg(sv, "Internal Error - Failed to Add Stat Record to Hash Table");
            statLoad(sv);
            return -1;
        }
    }
    const char* name = sv->set.statFn[0] ? sv->set.statFn : "qzstat.dat";
    AtomicFile out;
    int written = 0;
    if (out.open(name)) {
        const stKeyTable& kept = sv->keys.tables[tPers];
        for (int i = 0; i < kept.count; ++i) {
            const stSvStat* rec = static_cast<const stSvStat*>(keyRecord(&sv->keys, tPers, i));
            if (!rec || !rec->guid[0]) continue;
            out.put("%s age=%lu secs=%lu stat=\"%s\"\r\n", rec->guid,
                    static_cast<unsigned long>(rec->age), static_cast<unsigned long>(rec->secs),
                    rec->stat);
            written++;
        }
    }
    if (!out.commit()) {
        svMsg(sv, "WARNING: Persistent Stat Update Failed (GUID=%s)", "*");
        svMsg(sv, "ERROR Writing Stat File %s (%s)", path, out.error());
        statLoad(sv);
        return -1;
    }
    emptyTable(sv, tNew);
    svMsg(sv, "%d Stat Record%s Written to %s", written, written == 1 ? "" : "s", path);
    return written;
}

void statNewLog(stQzSv* sv) {
    if (sv->set.statTrack && sv->keys.tables[sv->tNewStat].live > 0) statAppend(sv);
    if (sv->set.statAutoLoad) statLoad(sv);
}

void dir_statappend(stQzSv* sv, const CmdCall&) { statAppend(sv); }
void dir_statload(stQzSv* sv, const CmdCall&) { statLoad(sv); }
void dir_statwrite(stQzSv* sv, const CmdCall&) { statWrite(sv); }
