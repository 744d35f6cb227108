// The program qz_sv_SsCmd names, run after a stored screenshot: found only inside the home
// directory, started without a shell and with fixed arguments, never waited for; finished
// programs are reaped by the frame.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "util/text.h"

extern char** environ;

namespace {

// The real path of the program must lie under the real home directory, so a symbolic link in
// the home directory cannot lead to a program elsewhere.
bool insideHome(const char* program) {
    char real[PATH_MAX], home[PATH_MAX];
    if (!realpath(program, real) || !realpath(homeDir()[0] ? homeDir() : ".", home)) return false;
    size_t n = strlen(home);
    return strncmp(real, home, n) == 0 && (home[n - 1] == '/' || real[n] == '/');
}

void notRun(stQzSv* sv, const char* value, const char* why) {
    svMsg(sv, "qz_sv_ssCmd not run [%s]: %s", value, why);
}

// Starts the program with standard input from /dev/null and every descriptor above standard
// error closed, so it inherits none of the module's sockets or files. Returns posix_spawn's
// error number (0: started).
int spawn(const char* program, char* const argv[], pid_t* pid) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
    int rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0) rc = posix_spawn(pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

}  // namespace

int ssRunCommand(stQzSv* sv, const char* picture, long serial, const char* page) {
    stScreens* s = &sv->ss;
    const char* value = sv->set.ssCmd;
    stSsChild* kid = nullptr;
    for (stSsChild& k : s->kids)
        if (!kid && k.pid == 0) kid = &k;
    if (!kid) {
        notRun(sv, value, "too many programs still running");
        return 0;
    }
    if (!homeNameOk(value)) {
        notRun(sv, value, "the program must lie inside the home directory");
        return 0;
    }
    char program[QZ_PATH_MAX];
    QZ_COPY(program, homePath(value));
    struct stat st;
    if (stat(program, &st) != 0 || !S_ISREG(st.st_mode)) {
        notRun(sv, value, "no such file");
        return 0;
    }
    if (access(program, X_OK) != 0) {
        notRun(sv, value, "not an executable file");
        return 0;
    }
    if (!insideHome(program)) {
        notRun(sv, value, "the program must lie inside the home directory");
        return 0;
    }
    char serialText[16], pictureArg[QZ_PATH_MAX], pageArg[QZ_PATH_MAX];
    QZ_TRF(serialText, "%06ld", serial);
    QZ_COPY(pictureArg, picture);
    QZ_COPY(pageArg, page);
    char* argv[] = {program, pictureArg, serialText, pageArg, nullptr};
    pid_t pid = 0;
    int rc = spawn(program, argv, &pid);
    if (rc != 0) {
        logSs(sv, "Attempted qz_sv_ssCmd (result=%d) [%s][%s]", -1, program, picture);
        notRun(sv, value, strerror(rc));
        return 0;
    }
    kid->pid = static_cast<int>(pid);
    QZ_COPY(kid->program, program);
    QZ_COPY(kid->picture, picture);
    s->running++;
    return kid->pid;
}

// waitpid with WNOHANG only: a program that is still running is looked at again next frame.
void ssReap(stQzSv* sv) {
    stScreens* s = &sv->ss;
    for (stSsChild& k : s->kids) {
        if (k.pid == 0) continue;
        int status = 0;
        pid_t r = waitpid(k.pid, &status, WNOHANG);
        if (r == 0) continue;
        int result = -1;
        if (r == k.pid) {
            result = WIFEXITED(status)     ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : -1;
        }
        // r < 0: the host reaps children itself (SIGCHLD ignored); the result is unknown.
        logSs(sv, "Attempted qz_sv_ssCmd (result=%d) [%s][%s]", result, k.program, k.picture);
        memset(&k, 0, sizeof k);
        s->running--;
    }
}
