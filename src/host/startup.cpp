// The module's life: start-up in the documented order, the frame call, restart and shut-down.
#include "host/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "commands/atomic_file.h"
#include "commands/config.h"
#include "commands/dispatch.h"
#include "commands/jobs.h"
#include "commands/settings.h"
#include "host/bridge.h"
#include "host/netready.h"
#include "host/selfcheck.h"
#include "host/state.h"
#include "media/audit.h"
#include "media/diag.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/bans.h"
#include "players/cvars.h"
#include "players/power.h"
#include "players/slots.h"
#include "players/violations.h"
#include "remote/mastnet.h"
#include "remote/ucon.h"
#include "remote/update.h"
#include "util/clock.h"
#include "util/defaults.h"
#include "util/files.h"
#include "util/text.h"

namespace {

#if defined(__x86_64__)
constexpr const char* kPlatform = "linux-x86_64";
#elif defined(__i386__)
constexpr const char* kPlatform = "linux-i386";
#else
constexpr const char* kPlatform = "linux";
#endif

// Creates dir and every missing parent; false when one of them cannot be created.
bool makeDirs(const char* dir) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, dir);
    for (char* p = path + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = 0;
        if (mkdir(path, 0755) != 0 && errno != EEXIST) return false;
        *p = '/';
    }
    return mkdir(path, 0755) == 0 || errno == EEXIST;
}

bool fileExists(const char* name) { return access(homePath(name), F_OK) == 0; }

// Copies the regular file from (anywhere) to the home directory's to, through "<to>.part" so
// that a copy cut short is never taken for the file. False when it could not be made.
bool copyIn(const char* from, const char* to) {
    char part[QZ_PATH_MAX];
    QZ_TRF(part, "%s.part", to);
    FILE* in = openRegularFile(from);
    if (!in) return false;
    FILE* out = homeOpen(part, "wb");
    bool ok = out != nullptr;
    static char buf[65536];
    while (ok) {
        size_t n = fread(buf, 1, sizeof buf, in);
        if (n == 0) {
            ok = !ferror(in);
            break;
        }
        ok = fwrite(buf, 1, n, out) == n;
    }
    fclose(in);
    if (out) ok = fclose(out) == 0 && ok;
    if (ok && rename(part, to) == 0) return true;
    remove(part);
    return false;
}

// The client module and the agent module are served to the players' games from the home
// directory; a game installation provides them in its base directory, from where a missing one
// is copied.
void copyFromBase(stQzSv* sv) {
    if (!sv->baseDir[0] || strcmp(sv->baseDir, sv->homeDir) == 0) return;
    for (const char* name : {"qzcl.so", "qzag.so"}) {
        if (fileExists(name)) continue;
        char from[QZ_PATH_MAX], to[QZ_PATH_MAX];
        QZ_TRF(from, "%s%s", sv->baseDir, name);
        if (access(from, F_OK) != 0) continue;
        QZ_COPY(to, homePath(name));
        if (copyIn(from, to)) {
            svMsg(sv, "Copied %s from fs_basepath", name);
        } else {
            svMsg(sv, "QZ ERROR: Cannot copy %s from fs_basepath (%s)", name, from);
        }
    }
}

// Record layouts of the keyed tables. Each table is keyed on the GUID text at the start of its
// records (33 bytes: 32 characters and a terminator).
struct KeyedLayout {
    const char* name;
    int recSize;
    int initCap;
    int stQzSv::*number;
};
constexpr KeyedLayout kKeyedTables[] = {
    {"NameLocks", sizeof(stNameLock), 64, &stQzSv::tNameLocks},
    {"Alias", sizeof(stAliasRec), 1024, &stQzSv::tAlias},
    {"PersStat", sizeof(stSvStat), 1024, &stQzSv::tPersStat},
    {"NewStat", sizeof(stSvStat), 64, &stQzSv::tNewStat},
    {"GuidAuth", QZ_PAIR_RECORD, 256, &stQzSv::tGuidAuth},
};

void restartKeep(const stQzSv* sv, stRestartKeep* k) {
    k->svVerMajor = sv->svVerMajor;
    k->svVerMinor = sv->svVerMinor;
    k->agVer = sv->agVer;
    k->clVerMajor = sv->clVerMajor;
    k->clVerMinor = sv->clVerMinor;
    k->locked = sv->cmd.locked;
    QZ_COPY(k->lockName, sv->cmd.lockName);
    k->lockSize = sv->cmd.lockSize;
    QZ_COPY(k->lockDigest, sv->cmd.lockDigest);
}

void restoreVersions(stQzSv* sv, const stRestartKeep* k) {
    sv->svVerMajor = k->svVerMajor;
    sv->svVerMinor = k->svVerMinor;
    sv->agVer = k->agVer;
    sv->clVerMajor = k->clVerMajor;
    sv->clVerMinor = k->clVerMinor;
}

}  // namespace

bool svFormHome(const char* gamePath, char* out, int size) {
    if (!gamePath || !*gamePath) return false;
    int n = slen(gamePath);
    const char* sep = gamePath[n - 1] == '/' ? "" : "/";
    // Room is kept for the longest file name the module appends to the home directory.
    constexpr int kLongestName = 64;
    int total = trf(out, size, "%s%sqz/", gamePath, sep);
    if (total >= size - kLongestName) {
        out[0] = 0;
        return false;
    }
    return true;
}

void svPrintVersion(stQzSv* sv) {
    svMsg(sv, "Kestrine Server (v%d.%03d | A%d C%d.%03d) %s", sv->svVerMajor, sv->svVerMinor,
          sv->agVer, sv->clVerMajor, sv->clVerMinor, kPlatform);
}

// The start-up up to its files: the module's state, home directory, program files, marker files,
// record tables and remote services.
namespace {

int svStartHead(stQzSv* sv, const qz_host* host) {
    memset(sv, 0, sizeof *sv);
    sv->selfcheck.fd = -1;
    sv->host = *host;
    clockSetSource(host->clock);
    uconPortInit(sv);
    uconInit(sv);
    sv->svVerMajor = QZ_VERSION_MAJOR;
    sv->svVerMinor = qzBuildMinor();
    settingsDefaults(sv);

    svCvar(sv, "version", sv->gameVersion, qz::cap(sv->gameVersion));
    svMsg(sv, "Game Version [%s]", sv->gameVersion);
    svPrintVersion(sv);

    // The home directory comes from the game's home path; a game without a separate home path
    // leaves it empty, and the base path serves instead.
    char gamePath[QZ_PATH_MAX * 2];
    if (!svCvar(sv, "fs_homepath", gamePath, qz::cap(gamePath)) || !*gamePath) {
        svCvar(sv, "fs_basepath", gamePath, qz::cap(gamePath));
    }
    if (!svFormHome(gamePath, sv->homeDir, qz::cap(sv->homeDir))) {
        if (*gamePath) {
            svMsg(sv, "QZ ERROR: Home path too long (%d characters)", slen(gamePath));
        } else {
            svMsg(sv, "QZ ERROR: No home path (fs_homepath and fs_basepath are empty)");
        }
        svMsg(sv, "QZ ERROR: Server Failed to Initialize");
        return -1;
    }
    char basePath[QZ_PATH_MAX * 2];
    svCvar(sv, "fs_basepath", basePath, qz::cap(basePath));
    if (!svFormHome(basePath, sv->baseDir, qz::cap(sv->baseDir))) sv->baseDir[0] = 0;

    // homePath keeps room for a whole file name after the directory, so the directory itself
    // has a shorter limit than the path buffer.
    if (!setHomeDir(sv->homeDir)) {
        svMsg(sv, "QZ ERROR: Home path too long (%d characters)", slen(sv->homeDir));
        svMsg(sv, "QZ ERROR: Server Failed to Initialize");
        return -1;
    }
    if (!makeDirs(sv->homeDir)) {
        svMsg(sv, "QZ ERROR: Cannot create home directory %s (%s)", sv->homeDir, strerror(errno));
        svMsg(sv, "QZ ERROR: Server Failed to Initialize");
        return -1;
    }
    sv->audit.on = 1;
    for (const char* sub : {"htm", "dll", "svlogs", "svss"}) {
        if (!makeDirs(homePath(sub))) {
            svMsg(sv, "QZ ERROR: Cannot create directory %s (%s)", homePath(sub), strerror(errno));
        }
    }

    // A module received by the last update (checked and signed then) takes its place now; the
    // check of the program files that follows records a copy put in place here.
    stScIds beforeSwap;
    scNoteIds(&beforeSwap);
    updStartupSwap(sv);
    copyFromBase(sv);
    // The diagnostic logs start off; qz_sv_DiagLog (at the console or in a configuration file)
    // switches them on.
    diagStart();
    scStartup(sv, &beforeSwap);

    sv->uconMarker = fileExists("qzucon.use");
    sv->writeMarker = fileExists("qzwrite.use");

    plLoadCompanions(sv);

    keyStoreInit(&sv->keys, 1009);
    keyStoreRandomKey(&sv->keys);  // players choose the keys: file them under a secret hash key
    for (const KeyedLayout& t : kKeyedTables) {
        sv->*t.number = keyTableCreate(&sv->keys, t.name, t.recSize, 0, QZ_PAIR_KEY, t.initCap);
    }

    // The game server's switch: "0" starts the module disabled.
    char sw[16];
    svCvar(sv, "sv_kestrine", sw, qz::cap(sw));
    sv->enabled = 1;
    if (sw[0] == '0' && sw[1] == 0) {
        svMsg(sv, "Preparing to Disable QZ Server... (%s)", "sv_kestrine is 0");
        sv->enabled = 0;
        // A disabled module refuses every line of its configuration; it is loaded when the
        // module is enabled instead.
        sv->configPending = 1;
    }
    remoteStart(sv);
    return 0;
}

// The services that read the configuration, once it has loaded.
void startServices(stQzSv* sv) {
    // Version defaults go only into values the configuration left empty.
    defaultsInstall(sv);
    webStart(sv);
    // Last, so that the log serial settings of the configuration apply; the messages of the
    // start-up so far wait in the log's held lines and open the new log.
    logStartup(sv);
    // The serial file overrides a qz_sv_SsNext of the configuration, as the log serial does.
    ssStartup(sv);
}

// The jobs of a restart, in the order of the start-up. The ban file is read into a new list
// while the list in force keeps answering; the restart goes on meanwhile, and the count line
// comes when the file is read (for a large file after the restart's last line).
bool restartBans(stQzSv* sv) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath("qzbans.dat"));
    if (access(path, F_OK) != 0) {
        // Nothing to load: the list empties as at a start without the file.
        banFree(sv);
        return false;
    }
    if (banLoadBegin(sv, path, true)) banLoadStep(sv, QZ_JOB_SLICE_US);
    return false;
}
// The fleet's queue and cache files are small (a few hundred reports, a bounded cache).
bool restartFleet(stQzSv* sv) {
    fleetStartup(sv);
    return false;
}
bool restartPower(stQzSv* sv) { return pwStartupBegin(sv); }
bool stepPower(stQzSv* sv, long long budgetUs) { return pwStartupStep(sv, budgetUs); }
bool restartConfig(stQzSv* sv) {
    cfgStartupBegin(sv);
    return true;
}
bool stepConfig(stQzSv* sv, long long budgetUs) {
    cfgLoadStep(sv, budgetUs);
    return !cfgLoadRunning(sv);
}
// After the configuration, which decides qz_sv_AliasAutoLoad and the alias file name.
bool restartAliases(stQzSv* sv) { return sv->set.aliasAutoLoad && kAliasLoadJob.start(sv); }
bool stepAliases(stQzSv* sv, long long budgetUs) { return kAliasLoadJob.step(sv, budgetUs); }
bool restartServices(stQzSv* sv) {
    startServices(sv);
    return false;
}
// The start-up has loaded qzsv.cfg and qzsvuser.cfg as at any start. A lock that they did not
// set again is restored by loading the locked file once more (its lines win over the earlier
// files) and locking; when the file cannot be loaded any longer the lock still holds, with the
// name, size and digest recorded when it was taken (stepLock).
bool restartLock(stQzSv* sv) {
    const stRestartKeep* k = &sv->restart.keep;
    restoreVersions(sv, k);
    if (!k->locked || sv->cmd.locked) return false;
    sv_load_lock(sv, k->lockName, 0);
    return true;
}
bool stepLock(stQzSv* sv, long long budgetUs) {
    if (!stepConfig(sv, budgetUs)) return false;
    const stRestartKeep* k = &sv->restart.keep;
    if (sv->cmd.locked) return true;
    sv->cmd.locked = 1;
    QZ_COPY(sv->cmd.lockName, k->lockName);
    sv->cmd.lockSize = k->lockSize;
    QZ_COPY(sv->cmd.lockDigest, k->lockDigest);
    svMsg(sv, "Config stays locked [%s][%ld bytes]", sv->cmd.lockName, sv->cmd.lockSize);
    return true;
}
bool restartDone(stQzSv* sv) {
    svMsg(sv, "QZ Server Restarted (%s)", sv->restart.reason);
    return false;
}

constexpr QzJob kRestartJobs[] = {
    {"bans", restartBans, nullptr},
    {"fleet", restartFleet, nullptr},
    {"power", restartPower, stepPower},
    {"configuration", restartConfig, stepConfig},
    {"aliases", restartAliases, stepAliases},
    {"services", restartServices, nullptr},
    {"lock", restartLock, stepLock},
    {"done", restartDone, nullptr},
};
constexpr int kRestartJobCount = sizeof kRestartJobs / sizeof kRestartJobs[0];

void shutdownAll(stQzSv* sv, stKeyStore* formerKeys);

// Shuts the module down and starts it again without its files, which the restart's jobs load.
// The players are still on the game server: the restart keeps its picture of who is connected,
// and the ban list in force, which answers until the file is read again.
void restartBegin(stQzSv* sv) {
    qz_host host = sv->host;
    static stRestartRun run;
    run = {};
    QZ_COPY(run.reason, sv->restartReason);
    restartKeep(sv, &run.keep);
    static stPlayers kept;
    kept = sv->players;
    banLoadStop(sv, false);
    static stBans bans;
    bans = sv->bans;
    bans.listing = {};  // a listing in progress ends with the restart
    memset(&sv->bans, 0, sizeof sv->bans);
    static stKeyStore formerKeys;
    shutdownAll(sv, &formerKeys);
    const bool started = svStartHead(sv, &host) == 0;
    sv->bans = bans;
    if (!started) {
        banFree(sv);
        banDropAll(sv);
        keyStoreFree(&formerKeys);
        return;
    }
    sv->players = kept;
    sv->restart = run;
    sv->restart.formerKeys = formerKeys;
    sv->restart.retired = 1;
    memset(&formerKeys, 0, sizeof formerKeys);
    sv->restart.stage = 1;
    // Console lines typed during the restart run after it, in order.
    sv->cmd.holdTyped = 1;
}

// Runs the restart's jobs in order, each for its slice; a job that is not done leaves the rest
// for the next frame call.
void restartSteps(stQzSv* sv) {
    stRestartRun& r = sv->restart;
    while (r.stage) {
        const QzJob& job = kRestartJobs[r.stage - 1];
        bool done = false;
        if (!r.started) {
            r.started = 1;
            done = job.start && !job.start(sv);
        }
        // Half a slice: the ban list's reload has the other half of the frame.
        if (!done && job.step && !job.step(sv, QZ_JOB_SLICE_US / 2)) return;
        r.started = 0;
        r.stage = r.stage < kRestartJobCount ? r.stage + 1 : 0;
    }
    sv->cmd.holdTyped = 0;
}

}  // namespace

int svStart(stQzSv* sv, const qz_host* host) {
    if (svStartHead(sv, host) != 0) return -1;
    // Bans come before the configuration, which may empty or extend the list.
    banStartupLoad(sv);
    fleetStartup(sv);
    pwStartup(sv);
    cfgStartupLoad(sv);
    // After the configuration, which decides qz_sv_AliasAutoLoad and the alias file name.
    nmStartup(sv);
    startServices(sv);
    return 0;
}

bool svRestarting(const stQzSv* sv) { return sv->restart.stage != 0; }


namespace {

// The shut-down; the keyed tables go to formerKeys instead of being freed when it is given.
void shutdownAll(stQzSv* sv, stKeyStore* formerKeys) {
    cfgLoadStopAll(sv);
    scAbandon(sv);
    pwFree(sv);
    uconCloseAll(sv, "shutdown");
    guidAuthShutdown(sv);
    fleetShutdown(sv);
    uconPortClose(sv);
    webShutdown(sv);
    remoteShutdown(sv);
    ssShutdown(sv);
    logShutdown(sv);
    auditClose(sv);
    nmFree(sv);
    if (formerKeys) {
        *formerKeys = sv->keys;
        memset(&sv->keys, 0, sizeof sv->keys);
    }
    keyStoreFree(&sv->keys);
    if (sv->restart.retired) keyStoreFree(&sv->restart.formerKeys);
    banLoadStop(sv, false);
    banFree(sv);
    banDropAll(sv);
    cvarFree(sv);
    plCloseCompanions(sv);
    diagShutdown();
    clockSetSource(nullptr);
    memset(sv, 0, sizeof *sv);
}

}  // namespace

// A line typed behind a load ("qz_sv_Load big.cfg" then "qz_sv_KickLen 5" then "quit") was
// meant to run: the host's quit comes after it. The shut-down runs the queue as the following
// frames would have, with a bound so that a host that quits is never held long.
bool svFinishQueued(stQzSv* sv, int maxSlices) {
    for (int i = 0; i < maxSlices; ++i) {
        if (sv->restart.stage) {
            restartSteps(sv);
            banFrame(sv, QZ_JOB_SLICE_US / 2);
            continue;
        }
        if (!sv->cmd.loadDepth && !sv->cmd.typedCount) break;
        cfgLoadStep(sv, QZ_JOB_SLICE_US);
    }
    const stCmdState& c = sv->cmd;
    if (!sv->restart.stage && !c.loadDepth && !c.typedCount) return true;
    char what[QZ_CFG_NAME_MAX + 40] = "";
    if (sv->restart.stage) {
        QZ_COPY(what, "the restart was not finished");
    } else if (c.loadDepth) {
        QZ_TRF(what, "the load of %s was not finished", c.loading[0]);
    }
    char lines[48] = "";
    if (c.typedCount) {
        QZ_TRF(lines, "%s%d typed console line%s not run", what[0] ? "; " : "", c.typedCount,
               c.typedCount == 1 ? " was" : "s were");
    }
    svMsg(sv, "Shutting down before the queued work ended: %s%s", what, lines);
    return false;
}

void svShutdown(stQzSv* sv) {
    svFinishQueued(sv, QZ_SHUTDOWN_SLICES);
    shutdownAll(sv, nullptr);
}

void svFrame(stQzSv* sv) {
    if (sv->restartPending) restartBegin(sv);
    if (sv->restart.stage) {
        // Until its files are loaded the module is only partly started: the frame does the
        // restart's share and the ban list's (a load and blocks to hand back), nothing else.
        restartSteps(sv);
        banFrame(sv, sv->restart.stage ? QZ_JOB_SLICE_US / 2 : QZ_JOB_SLICE_US);
        if (sv->restart.stage) return;
    }
    if (sv->cmd.loadDepth || sv->cmd.typedCount) cfgLoadStep(sv, QZ_JOB_SLICE_US);
    if (sv->restart.retired && keyStoreFreeStep(&sv->restart.formerKeys, QZ_JOB_SLICE_US / 2))
        sv->restart.retired = 0;
    // A handful per frame keeps one frame call short however many events are queued.
    eventRunDue(sv, 8);
    plFrame(sv);
    banListFrame(sv);
    banFrame(sv, QZ_JOB_SLICE_US);
    cvarFrame(sv);
    md5Frame(sv);
    pwFrame(sv);
    nmFrame(sv);
    ssFrame(sv);
    if (guidAuthFrame(sv)) sv->remote.busy = 1;
    fleetFrame(sv);
    netPollFrame(sv);  // one system call tells the socket readers below whether to read
    remoteFrame(sv);
    webFrame(sv);
    uconPortFrame(sv);
    netPollDone();
    uconFrame(sv);
    scFrame(sv);
    diagFrame();
    auditFrame(sv);
    atomicSyncReport(sv);
}

void svConsole(stQzSv* sv, const char* data, int length) {
    if (!data || length < 0) return;
    if (length >= QZ_LINE_MAX) {
        svMsg(sv, "Console line too long (%d bytes, limit %d): ignored", length, QZ_LINE_MAX - 1);
        return;
    }
    if (memchr(data, 0, static_cast<size_t>(length))) {
        svMsg(sv, "Console line holds a NUL byte: ignored");
        return;
    }
    char line[QZ_LINE_MAX];
    memcpy(line, data, static_cast<size_t>(length));
    line[length] = 0;
    // A line typed while a configuration loads (or the module restarts) runs after it: it must
    // not overtake the lines it follows.
    if (cfgTypedLine(sv, line)) return;
    sv_cmd(sv, QZ_SRC_CONSOLE, line, 0);
}
