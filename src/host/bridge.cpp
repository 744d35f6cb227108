// Host services seen from the module: every call into the host goes through here, so the
// services the module uses are all in one place.
#include "host/bridge.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/state.h"
#include "media/audit.h"
#include "media/diag.h"
#include "media/logs.h"
#include "remote/ucon.h"
#include "util/compare.h"

bool svNoClientModule(const stQzSv* sv) { return sv->host.flags & QZ_HOST_NO_CLIENT_MODULE; }

bool svHostDropsBots(const stQzSv* sv) { return sv->host.flags & QZ_HOST_DROPS_BOTS; }

int svHostRaw(stQzSv* sv, const char* service, const char* argument) {
    if (!sv->host.hostCall) return 0;
    auditHoldFlush(sv);
    diagHostCall(service, argument);
    return sv->host.hostCall(service, argument);
}

int svHost(stQzSv* sv, const char* service, const char* fmt, ...) {
    char arg[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(arg, sizeof arg, fmt, ap);
    va_end(ap);
    arg[sizeof arg - 1] = 0;
    return svHostRaw(sv, service, arg);
}

bool svCvar(stQzSv* sv, const char* name, char* out, int size) {
    if (size <= 0) return false;
    out[0] = 0;
    if (!sv->host.cvarGet) return false;
    int known = sv->host.cvarGet(name, out, size);
    out[size - 1] = 0;
    if (!known) out[0] = 0;
    return known != 0;
}

namespace {

// One message, cut to QZ_MSG_MAX - 1 characters. The text is formatted once and shared by the
// console and the log, so a message costs one format whatever its level.
void vsvMsg(stQzSv* sv, int level, const char* fmt, va_list ap) {
    char line[QZ_MSG_MAX];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    line[sizeof line - 1] = 0;
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
    for (char* p = line; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 32) *p = ' ';
    }
    // The console part of an audited command's answer waits until its record is written.
    if (sv->audit.holding && (level & QZ_MSG_CONSOLE)) {
        if (level & QZ_MSG_LOG) logLine(sv, line, n);
        if (auditHoldLine(sv, line, n)) return;
        svMsgEmit(sv, QZ_MSG_CONSOLE, line, n);
        return;
    }
    svMsgEmit(sv, level, line, n);
}

}  // namespace

void svMsgEmit(stQzSv* sv, int level, const char* line, int n) {
    if ((level & QZ_MSG_CONSOLE) && sv->host.print) sv->host.print(line);
    if (level & QZ_MSG_CONSOLE) uconBroadcast(sv, line, n);
    if (level & QZ_MSG_LOG) logLine(sv, line, n);
}

void svMsgLevel(stQzSv* sv, int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsvMsg(sv, level, fmt, ap);
    va_end(ap);
}

void svMsg(stQzSv* sv, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsvMsg(sv, QZ_MSG_BOTH, fmt, ap);
    va_end(ap);
}

void svLog(stQzSv* sv, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsvMsg(sv, QZ_MSG_LOG, fmt, ap);
    va_end(ap);
}

void svCon(stQzSv* sv, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsvMsg(sv, QZ_MSG_CONSOLE, fmt, ap);
    va_end(ap);
}

void svSendClient(stQzSv* sv, int slot, const char* fmt, ...) {
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    text[sizeof text - 1] = 0;
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof text)) n = sizeof text - 1;
    auditHoldFlush(sv);
    diagClientSend(slot, text, n);
    if (sv->host.sendClient) sv->host.sendClient(slot, text, n);
}

void svSendClientBytes(stQzSv* sv, int slot, const char* data, int length) {
    if (!sv->host.sendClient || !data || length < 0) return;
    auditHoldFlush(sv);
    diagClientSend(slot, data, length);
    sv->host.sendClient(slot, data, length);
}

const char* svFindNoCase(const char* text, const char* name) {
    if (!name || !*name) return text;
    for (const char* p = text; *p; ++p) {
        int i = 0;
        while (name[i] && p[i] && lowerCh(p[i]) == lowerCh(name[i])) i++;
        if (!name[i]) return p;
        if (!p[i]) return nullptr;  // the rest of the text is shorter than the name
    }
    return nullptr;
}

// Takes the line "name=value" out of a form text and hands "name value" to the host's
// "Cvar_Set" service. The copy holds at most 255 characters; without "=" nothing is set.
void sv_cvar_set(stQzSv* sv, const char* text, const char* name) {
    if (!text) return;
    const char* at = svFindNoCase(text, name);
    if (!at) return;
    char work[256];
    trcpyz(work, at, sizeof work - 1);
    // The line ends first: an "=" from a later line must never make the line break part of a
    // game variable's name, so a field without its own "=" sets nothing.
    for (char* p = work; *p; ++p) {
        if (*p == '\r' || *p == '\n') {
            *p = 0;
            break;
        }
    }
    char* eq = strchr(work, '=');
    if (!eq) return;
    *eq = ' ';
    svHostRaw(sv, "Cvar_Set", work);
}
