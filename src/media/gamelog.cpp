// The game's own log file as seen from the server log: its path, its handling at each log
// opening (with the call site of the statistics and alias steps), and the log proof answers
// that give the MD5 digests and sizes of the current server log and of the game log.
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "players/power.h"
#include "util/md5.h"

namespace {

// The proof reads a whole file into memory for the digest; larger files answer READ_ERROR
// rather than take that much memory inside a frame.
constexpr long kProofMax = 32L * 1024 * 1024;
// The game log the module asks for when statistics are kept and the game writes none.
constexpr const char* kDefaultGameLog = "games.log";

// The statistics (game events "init", "kill", "death", "addskill", "loseskill" read from the
// game log, then the statistics write and load) and the alias write and load belong to the
// players subsystem; their steps are called from here once it provides them. gameLog is open
// for reading at its start, or null when the game keeps no log.
void logRunStatsAndAliases(stQzSv* sv, FILE* gameLog) {
    statNewLog(sv);
    (void)gameLog;
}

// "OK", "MISMATCH" or "READ_ERROR" for one claimed digest.
const char* verdict(bool readable, const char* digest, const char* claimed) {
    if (!readable) return "READ_ERROR";
    return strcmp(digest, claimed) == 0 ? "OK" : "MISMATCH";
}

}  // namespace

bool logGameLogPath(stQzSv* sv, char* out, int size) {
    if (size > 0) out[0] = 0;
    char name[256];
    svCvar(sv, "g_log", name, qz::cap(name));
    if (!homeNameOk(name)) return false;
    char home[QZ_PATH_MAX];
    if (!svCvar(sv, "fs_homepath", home, qz::cap(home)) || !*home) {
        svCvar(sv, "fs_basepath", home, qz::cap(home));
    }
    // The game keeps its files in the folder "main" of its home path.
    const char* sep = *home && home[slen(home) - 1] != '/' ? "/" : "";
    int n = trf(out, size, "%s%smain%s%s", home, sep, "/", name);
    if (n >= size) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool logFileDigest(const char* path, char* digest33, long* size) {
    trf(digest33, 33, "READ_ERROR");
    *size = 0;
    if (!path || !*path) return false;
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    long n = -1;
    if (fseek(f, 0, SEEK_END) == 0) n = ftell(f);
    if (n < 0 || n > kProofMax || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        return false;
    }
    char* data = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (!data) {
        fclose(f);
        return false;
    }
    bool ok = fread(data, 1, static_cast<size_t>(n), f) == static_cast<size_t>(n);
    fclose(f);
    if (ok) {
        trf(digest33, 33, "%s", qzmd5(data, static_cast<unsigned>(n), 0));
        *size = n;
    }
    free(data);
    return ok;
}

void logProof(stQzSv* sv, int slot, char kind, const char* claim) {
    stLogs& L = sv->logs;
    if (L.fp) fflush(L.fp);
    char qzDigest[33], gameDigest[33];
    long qzSize = 0, gameSize = 0;
    bool qzOk = logFileDigest(L.fp ? L.path : nullptr, qzDigest, &qzSize);
    char gamePath[QZ_PATH_MAX];
    logGameLogPath(sv, gamePath, qz::cap(gamePath));
    bool gameOk = logFileDigest(gamePath, gameDigest, &gameSize);

    char lines[3][QZ_MSG_MAX];
    int count = 0;
    QZ_TRF(lines[count], "%cServer's local QZ Log File %s has MD5 of %s (%d bytes)", kind, L.path,
           qzDigest, static_cast<int>(qzSize));
    count++;
    QZ_TRF(lines[count], "%cServer's local Game Log File %s has MD5 of %s (%d bytes)", kind,
           gamePath, gameDigest, static_cast<int>(gameSize));
    count++;
    if (claim && claim[0] == '{' && claim[1] == 'S' && claim[2] == '}') {
        char qzClaim[64] = "", gameClaim[64] = "";
        const char* p = claim + 3;
        int i = 0;
        while (*p && *p != ' ' && i < 63) qzClaim[i++] = *p++;
        qzClaim[i] = 0;
        while (*p == ' ') p++;
        i = 0;
        while (*p && *p != ' ' && i < 63) gameClaim[i++] = *p++;
        gameClaim[i] = 0;
        const char* v1 = verdict(qzOk, qzDigest, qzClaim);
        const char* v2 = verdict(gameOk, gameDigest, gameClaim);
        QZ_TRF(lines[count], "%c{S}%s %s", kind, v1, v2);
        count++;
        svLog(sv, "Log proof for slot %d: QZ Log File %s, Game Log File %s", slot, v1, v2);
    }
    for (int i = 0; i < count; ++i) {
        // On the console the message-kind character means nothing and is left out.
        if (slot >= 1 && slot <= 64)
            svSendClient(sv, slot, "%s", lines[i]);
        else
            svMsg(sv, "%s", lines[i] + 1);
    }
}

// The game log is read for the statistics, so when statistics are kept and the game writes no
// log, the game is asked to write one. An administrator's own "g_log" is never replaced.
void logOpenGameLog(stQzSv* sv) {
    char name[256];
    svCvar(sv, "g_log", name, qz::cap(name));
    if (!name[0] && sv->set.statTrack) {
        svHost(sv, "Cvar_Set", "%s %s", "g_log", kDefaultGameLog);
    }
    char path[QZ_PATH_MAX];
    FILE* gameLog = nullptr;
    if (logGameLogPath(sv, path, qz::cap(path))) gameLog = fopen(path, "rb");
    logRunStatsAndAliases(sv, gameLog);
    if (gameLog) fclose(gameLog);
}
