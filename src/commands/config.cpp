// qz_sv_WriteCfg, qz_sv_Load and qz_sv_LoadLock. Configuration files are scripts of the command
// language in the home directory: loading passes each line to sv_cmd, writing produces lines
// that sv_cmd reads back to the same values.
#include "commands/config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "commands/atomic_file.h"
#include "commands/dispatch.h"
#include "commands/handlers.h"
#include "commands/jobs.h"
#include "commands/settings.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/md5.h"
#include "util/text.h"

namespace {

constexpr const char* kMainFile = "qzsv.cfg";
constexpr const char* kLogFile = "qzsvlog.cfg";
// Locked files are digested only up to this size; a bigger one shows no digest.
constexpr long kDigestMax = 4L * 1024 * 1024;

// One setting line: "%s \"%s\" //%s" for a text, "%s %d //%s" for an integer, or "%s %u //%s"
// where the unsigned form is asked for (the remote log port). Text values are written as they
// stand: no escapes, since a value can never hold a double quote (assignment refuses one) and a
// backslash means itself.
void writeSetting(stQzSv* sv, AtomicFile& out, const SettingRow* row, bool asUnsigned) {
    if (row->kind == SET_TEXT) {
        out.put("%s \"%s\" //%s\r\n", row->name, settingText(sv, row), row->help);
    } else if (asUnsigned) {
        out.put("%s %u //%s\r\n", row->name, static_cast<unsigned>(*settingInt(sv, row)),
                row->help);
    } else {
        out.put("%s %d //%s\r\n", row->name, *settingInt(sv, row), row->help);
    }
}

// The setting lines of the main file: the placed settings by their place, then any other
// written setting in table order.
void writeSettings(stQzSv* sv, AtomicFile& out) {
    int last = 0;
    for (int i = 0; i < kSettingCount; ++i) {
        if (kSettingTable[i].writeAt > last) last = kSettingTable[i].writeAt;
    }
    for (int at = 1; at <= last; ++at) {
        for (int i = 0; i < kSettingCount; ++i) {
            const SettingRow* row = &kSettingTable[i];
            if (row->writeAt == at && settingInMainFile(row)) writeSetting(sv, out, row, false);
        }
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRow* row = &kSettingTable[i];
        if (row->writeAt == 0 && settingInMainFile(row)) writeSetting(sv, out, row, false);
    }
}

bool writeLogFile(stQzSv* sv) {
    AtomicFile out;
    // The remote log password is in it.
    if (!out.open(kLogFile, 0600)) {
        svMsg(sv, "Error opening \"%s\" to write config", kLogFile);
        return false;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRow* row = &kSettingTable[i];
        if (row->flags & SETF_LOGCFG) writeSetting(sv, out, row, true);
    }
    if (!out.commit()) {
        svMsg(sv, "Error writing \"%s\" (%s); the old file is kept", kLogFile, out.error());
        return false;
    }
    return true;
}

// Leading "./" says nothing about which file is meant; dropping it lets the circular-reference
// test compare names as written.
const char* plainName(const char* name) {
    while (name[0] == '.' && name[1] == '/') name += 2;
    return name;
}

bool beingLoaded(stQzSv* sv, const char* name) {
    for (int i = 0; i < sv->cmd.loadDepth && i < QZ_LOAD_DEPTH_MAX; ++i) {
        if (strcmp(sv->cmd.loading[i], plainName(name)) == 0) return true;
    }
    return false;
}

// Size and digest of the file about to be locked, so that the player list can show which
// configuration governs the server.
void recordLockedFile(stQzSv* sv, const char* name) {
    QZ_COPY(sv->cmd.lockName, plainName(name));
    sv->cmd.lockSize = 0;
    sv->cmd.lockDigest[0] = 0;
    FILE* fp = homeOpen(name, "rb");
    if (!fp) return;
    struct stat st;
    if (fstat(fileno(fp), &st) == 0) sv->cmd.lockSize = static_cast<long>(st.st_size);
    if (sv->cmd.lockSize <= kDigestMax) {
        char* data = static_cast<char*>(malloc(static_cast<size_t>(sv->cmd.lockSize) + 1));
        if (data) {
            size_t got = fread(data, 1, static_cast<size_t>(sv->cmd.lockSize), fp);
            QZ_COPY(sv->cmd.lockDigest, qzmd5(data, static_cast<unsigned>(got), 0));
            free(data);
        }
    }
    fclose(fp);
}

}  // namespace

void cmdFileArg(const char* args, char* out, int size) {
    if (size <= 0) return;
    const char* p = args ? args : "";
    while (*p == ' ' || *p == '\t') p++;
    int n = 0;
    if (*p == '"') {
        const char* end = strchr(p + 1, '"');
        p++;
        n = end ? static_cast<int>(end - p) : slen(p);
    } else {
        while (p[n] && p[n] != ' ' && p[n] != '\t') n++;
    }
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

bool cmdFileNameOk(stQzSv* sv, const char* command, const char* name) {
    if (homeNameOk(name)) return true;
    svMsg(sv,
          "%s: file name \"%s\" refused: it must stay inside the home directory (no absolute "
          "path, no \"..\")",
          command, name);
    return false;
}

namespace {

// What follows the last line of a loaded file.
enum CfgAfter {
    CFG_AFTER_NOTHING = 0,
    CFG_AFTER_LOCK,     // the configuration locks (qz_sv_LoadLock)
    CFG_AFTER_USERCFG,  // qzsvuser.cfg loads (the start-up's pair of files)
};

static_assert(QZ_TYPED_LINE == QZ_LINE_MAX, "a typed line waits whole");

// Opens a file and puts it on top of the loads in progress: its lines come next.
bool pushFile(stQzSv* sv, const char* name, int mustExist, int flags, int after) {
    if (sv->cmd.loadDepth >= QZ_LOAD_DEPTH_MAX) {
        svMsg(sv, "Too Many Nested Loads Error");
        return false;
    }
    FILE* fp = homeOpen(name, "rb");
    if (!fp) {
        if (errno == ENOENT) {
            if (mustExist) svMsg(sv, "File Not Found: %s", name);
        } else {
            svMsg(sv, "Cannot load %s: %s", name, homeOpenError());
        }
        return false;
    }
    const int depth = sv->cmd.loadDepth;
    QZ_COPY(sv->cmd.loading[depth], plainName(name));
    sv->cmd.files[depth] = {fp, 0, flags, after, 0, {}};
    if (sv->cmd.origin) {
        sv->cmd.files[depth].ownOrigin = 1;
        sv->cmd.files[depth].origin = *sv->cmd.origin;
    }
    sv->cmd.loadDepth++;
    return true;
}

void lockNow(stQzSv* sv) {
    sv->cmd.locked = 1;
    svMsg(sv, "Config locked [%s][%ld bytes]", sv->cmd.lockName, sv->cmd.lockSize);
}

// Closes the innermost file and does what follows it.
void popFile(stQzSv* sv) {
    const int depth = --sv->cmd.loadDepth;
    stCfgFile done = sv->cmd.files[depth];
    fclose(done.fp);
    sv->cmd.files[depth] = {};
    sv->cmd.loading[depth][0] = 0;
    if (done.after == CFG_AFTER_LOCK) lockNow(sv);
    if (done.after == CFG_AFTER_USERCFG) pushFile(sv, "qzsvuser.cfg", 0, 0, CFG_AFTER_NOTHING);
}

// Reads the next line of the innermost file into line. False at the end of the file.
bool nextLine(stQzSv* sv, char (&line)[QZ_LINE_MAX]) {
    stCfgFile* f = &sv->cmd.files[sv->cmd.loadDepth - 1];
    const char* name = sv->cmd.loading[sv->cmd.loadDepth - 1];
    while (fgets(line, sizeof line, f->fp)) {
        f->number++;
        int n = slen(line);
        if (n == QZ_LINE_MAX - 1 && line[n - 1] != '\n') {
            // The buffer is full but the line may still end here: only its line end (or the
            // end of the file) can follow. Anything more makes it over-long, and it is skipped
            // whole: half a command is worse than none.
            bool more = false;
            int c;
            while ((c = fgetc(f->fp)) != EOF && c != '\n') more = more || c != '\r';
            if (more) {
                svMsg(sv, "%s line %d is longer than %d characters: ignored", name, f->number,
                      QZ_LINE_MAX - 1);
                continue;
            }
        }
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
        return true;
    }
    return false;
}

// Runs a first slice of a load just asked for, unless a slice is running already (a loaded line
// asked): a small file is then loaded before the command returns.
void stepUnlessStepping(stQzSv* sv) {
    if (!sv->cmd.stepping) cfgLoadStep(sv, QZ_JOB_SLICE_US);
}

}  // namespace

bool sv_load_cfg(stQzSv* sv, const char* name, int mustExist, int flags) {
    if (!pushFile(sv, name, mustExist, flags, CFG_AFTER_NOTHING)) return false;
    stepUnlessStepping(sv);
    return true;
}

bool cfgLoadStep(stQzSv* sv, long long budgetUs) {
    stCmdState& c = sv->cmd;
    if (c.stepping) return false;
    c.stepping = 1;
    const long long begun = threadCpuMicros();
    // The line is copied before dispatch: a loaded line may load another file.
    char line[QZ_LINE_MAX];
    for (int lines = 0; c.loadDepth > 0;) {
        if (lines >= QZ_CFG_LINES_MIN && threadCpuMicros() - begun >= budgetUs) break;
        if (!nextLine(sv, line)) {
            popFile(sv);
            continue;
        }
        lines++;
        // A copy: the line may open or close files and move the load stack.
        const stCfgFile file = c.files[c.loadDepth - 1];
        if (file.ownOrigin) {
            sv_cmd_as(sv, &file.origin, QZ_SRC_CONFIG, line, file.flags);
        } else {
            sv_cmd(sv, QZ_SRC_CONFIG, line, file.flags);
        }
    }
    // Lines typed during the load follow it, in the order typed; one that starts a load of its
    // own leaves the rest waiting behind that load.
    int ran = 0;
    while (c.loadDepth == 0 && !c.holdTyped && ran < c.typedCount) {
        QZ_COPY(line, c.typed[ran]);
        ran++;
        sv_cmd(sv, QZ_SRC_CONSOLE, line, 0);
    }
    if (ran) {
        memmove(c.typed[0], c.typed[ran], static_cast<size_t>(c.typedCount - ran) * sizeof c.typed[0]);
        c.typedCount -= ran;
    }
    c.stepping = 0;
    return c.loadDepth == 0 && c.typedCount == 0;
}

bool cfgLoadRunning(const stQzSv* sv) { return sv->cmd.loadDepth > 0; }

bool cfgTypedLine(stQzSv* sv, const char* line) {
    stCmdState& c = sv->cmd;
    if (c.loadDepth == 0 && c.typedCount == 0 && !c.holdTyped) return false;
    if (c.typedCount == QZ_TYPED_MAX) {
        svMsg(sv, "Console line ignored: %d lines already wait for the configuration load",
              QZ_TYPED_MAX);
        return true;
    }
    QZ_COPY(c.typed[c.typedCount], line);
    c.typedCount++;
    return true;
}

void cfgLoadStopAll(stQzSv* sv) {
    stCmdState& c = sv->cmd;
    while (c.loadDepth > 0) {
        const int depth = --c.loadDepth;
        fclose(c.files[depth].fp);
        c.files[depth] = {};
        c.loading[depth][0] = 0;
    }
    c.typedCount = 0;
}

// Refused while the configuration is locked, or while a file is being locked, whoever asks (the
// dispatcher refuses the console's command already; the WebTool's button calls this directly):
// writing would replace the locked file, dropping its lock line or the settings it leaves out,
// or qzsv.cfg, which the next start loads before anything locks.
bool sv_write_cfg(stQzSv* sv, const char* name) {
    if (sv->cmd.locked || sv->cmd.lockName[0]) {
        svMsg(sv, "Command ignored due to locked config mode");
        return false;
    }
    if (!name || !*name) name = kMainFile;
    if (!cmdFileNameOk(sv, "qz_sv_WriteCfg", name)) return false;
    bool logOk = writeLogFile(sv);

    // The web key and the remote console passwords are in it.
    AtomicFile out;
    if (!out.open(name, 0600)) {
        svMsg(sv, "Error opening \"%s\" to write config", name);
        return false;
    }
    out.text(";Auto Generated by Kestrine Server\r\n");
    out.text(";   Some of the following settings may not apply,\r\n");
    out.text(
        ";   see docs/settings.md and docs/config-files.md of Kestrine Server for all of "
        "them\r\n");
    writeSettings(sv, out);
    out.text("qz_sv_load qzsvlog.cfg //load remote logging settings (if qzsvlog.cfg exists)\r\n");
    for (int i = 0; i < kCfgSectionCount; ++i) {
        out.text(kCfgSections[i].heading);
        kCfgSections[i].write(sv, out);
    }
    if (!out.commit()) {
        svMsg(sv, "Error writing \"%s\" (%s); the old file is kept", name, out.error());
        return false;
    }
    svMsg(sv, "Config File written to %s", name);
    return logOk;
}

void sv_load_lock(stQzSv* sv, const char* name, int flags) {
    if (!name || !*name) {
        svMsg(sv, "Command ignored due to empty filename specification");
        return;
    }
    if (sv->cmd.locked) {
        svMsg(sv, "Command ignored due to locked config mode");
        return;
    }
    if (beingLoaded(sv, name)) {
        svMsg(sv, "Command ignored due to circular reference");
        return;
    }
    if (!cmdFileNameOk(sv, "qz_sv_LoadLock", name)) return;
    if (sv->cmd.lockName[0]) {
        // A lock line inside a file that is being locked: the outer file governs and the lock
        // follows when its load ends. Locking here would refuse the outer file's remaining lines
        // and record the wrong file, so this file is only loaded.
        sv_load_cfg(sv, name, 1, flags);
        return;
    }
    char locked[QZ_CFG_NAME_MAX];
    QZ_COPY(locked, name);
    recordLockedFile(sv, locked);
    // The lock follows the file's last line (in a later frame call for a long file).
    if (!pushFile(sv, locked, 1, flags, CFG_AFTER_LOCK)) {
        sv->cmd.lockName[0] = 0;
        sv->cmd.lockSize = 0;
        sv->cmd.lockDigest[0] = 0;
        return;
    }
    stepUnlessStepping(sv);
}

bool cfgLockedLine(stQzSv* sv, char* out, int size) {
    if (!out || size <= 0) return false;
    out[0] = 0;
    if (!sv->cmd.locked) return false;
    trf(out, size, "\r\n^5QZ SERVER CONFIG LOCKED [%s][%ld bytes][%s]", sv->cmd.lockName,
        sv->cmd.lockSize, sv->cmd.lockDigest);
    return true;
}

void cfgStartupBegin(stQzSv* sv) {
    // A disabled module refuses every line, so loading would only print refusals.
    if (!sv->enabled) return;
    // The files the module loads at each start are one audit record each; their lines are not
    // recorded one by one (media/audit.h).
    static const char* const kStartupFiles[] = {kMainFile, "qzsvuser.cfg"};
    for (const char* file : kStartupFiles) {
        // A missing file is no error and loads nothing.
        if (access(homePath(file), F_OK) != 0) continue;
        QzOrigin origin = qzOrigin(QZ_ORIGIN_CONFIG, 0, file, nullptr, nullptr);
        QzOriginScope scope(sv, &origin);
        if (!auditWrite(sv, "config-load", nullptr, file, QZ_AUDIT_DONE, nullptr))
            svMsg(sv, "AUDIT: the record of the load of %s could not be written (%s)", file,
                  sv->audit.lastError);
    }
    if (!pushFile(sv, kMainFile, 0, 0, CFG_AFTER_USERCFG)) {
        pushFile(sv, "qzsvuser.cfg", 0, 0, CFG_AFTER_NOTHING);
    }
}

void cfgStartupLoad(stQzSv* sv) {
    cfgStartupBegin(sv);
    while (cfgLoadRunning(sv)) cfgLoadStep(sv, QZ_JOB_SLICE_US);
}

void cmd_load(stQzSv* sv, const CmdCall& call) {
    if (sv->cmd.loadDepth >= QZ_LOAD_DEPTH_MAX) {
        svMsg(sv, "Too Many Nested Loads Error");
        return;
    }
    char name[QZ_CFG_NAME_MAX];
    cmdFileArg(call.args, name, qz::cap(name));
    if (!*name) {
        svMsg(sv, "No File Specified; Loading qzsv.cfg as Default Config");
        QZ_COPY(name, kMainFile);
    }
    if (!cmdFileNameOk(sv, "qz_sv_Load", name)) return;
    sv_load_cfg(sv, name, 1, call.flags);
}

void cmd_writecfg(stQzSv* sv, const CmdCall& call) {
    char name[QZ_CFG_NAME_MAX];
    cmdFileArg(call.args, name, qz::cap(name));
    sv_write_cfg(sv, name);
}

void cmd_loadlock(stQzSv* sv, const CmdCall& call) {
    char name[QZ_CFG_NAME_MAX];
    cmdFileArg(call.args, name, qz::cap(name));
    sv_load_lock(sv, name, call.flags);
}
