// The commands of the module's own life cycle: enable, disable, restart, version and paths, and
// the host directives that set the reported version numbers.
#include <cstdlib>

#include "commands/config.h"
#include "commands/dispatch.h"
#include "commands/jobs.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/events.h"
#include "host/startup.h"
#include "host/state.h"
#include "util/text.h"

void cmd_enable(stQzSv* sv, const CmdCall&) {
    sv->enabled = 1;
    svHost(sv, "Cvar_Set", "sv_kestrine 1");
    svMsg(sv, "Kestrine Server is Enabled");
    if (sv->configPending) {
        sv->configPending = 0;
        // A slice now; a long configuration goes on in the next frame calls.
        cfgStartupBegin(sv);
        if (!sv->cmd.stepping) cfgLoadStep(sv, QZ_JOB_SLICE_US);
    }
}

// The module stays enabled until the game server starts it again: the switch is turned off in
// the game server, which reads it at the next start.
void cmd_disable(stQzSv* sv, const CmdCall&) {
    svHost(sv, "Cvar_Set", "sv_kestrine 0");
    svMsg(sv, "The Kestrine Server will be disabled the NEXT TIME upon startup.");
}

void cmd_ver(stQzSv* sv, const CmdCall&) { svPrintVersion(sv); }

// The restart runs at the next frame call, outside the command that asked for it, so that no
// handler is running while the state is rebuilt. A configuration file cannot restart the module
// (it would load itself again at every start), and a second request while one waits is ignored.
void cmd_restart(stQzSv* sv, const CmdCall& call) {
    if (call.source == QZ_SRC_CONFIG || sv->restartPending) {
        svMsg(sv, "qz_sv_restart ignored");
        return;
    }
    const char* reason = call.source == QZ_SRC_WEB ? "WebTool" : "Admin Command";
    svMsg(sv, "Preparing to Restart QZ Server... (%s)", reason);
    sv->restartPending = 1;
    QZ_COPY(sv->restartReason, reason);
}

void cmd_homepath(stQzSv* sv, const CmdCall&) { svMsg(sv, "Home Path is %s", sv->homeDir); }

void cmd_writepath(stQzSv* sv, const CmdCall&) { svMsg(sv, "[%s]", sv->homeDir); }

namespace {

// Reads "MAJOR.MINOR" or "MAJOR MINOR"; a missing part is 0.
void readVersion(const char* text, int* major, int* minor) {
    char* end = nullptr;
    *major = static_cast<int>(strtol(text, &end, 10));
    while (*end == '.' || *end == ' ' || *end == '\t') end++;
    *minor = static_cast<int>(strtol(end, nullptr, 10));
}

}  // namespace

void dir_setsvver(stQzSv* sv, const CmdCall& call) {
    readVersion(call.args, &sv->svVerMajor, &sv->svVerMinor);
}

void dir_setclver(stQzSv* sv, const CmdCall& call) {
    readVersion(call.args, &sv->clVerMajor, &sv->clVerMinor);
}

void dir_setagver(stQzSv* sv, const CmdCall& call) {
    sv->agVer = static_cast<int>(strtol(call.args, nullptr, 10));
}
