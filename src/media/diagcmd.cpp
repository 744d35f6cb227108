// qz_sv_DiagLog: shows and switches the diagnostic logs (an unlisted command; docs/logs.md).
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "media/diag.h"
#include "util/compare.h"

namespace {

// The log named by word ("ev", "pkt", "send", or the file name with or without ".log"); -1 for
// every log ("all"), -2 for none.
int kindOf(const char* word) {
    static const char* const kWords[QZ_DIAG_KINDS][3] = {
        {"ev", "qzsvev", "qzsvev.log"},
        {"pkt", "qzsvpkt", "qzsvpkt.log"},
        {"send", "qzsvsend", "qzsvsend.log"},
    };
    if (trcasecmp(word, "all") == 0) return -1;
    for (int k = 0; k < QZ_DIAG_KINDS; ++k) {
        for (const char* w : kWords[k]) {
            if (trcasecmp(word, w) == 0) return k;
        }
    }
    return -2;
}

// 1 for on, 0 for off, -1 for anything else.
int switchOf(const char* word) {
    if (trcasecmp(word, "1") == 0 || trcasecmp(word, "on") == 0) return 1;
    if (trcasecmp(word, "0") == 0 || trcasecmp(word, "off") == 0) return 0;
    return -1;
}

void showOne(stQzSv* sv, int kind) {
    if (diagOn(kind)) {
        svMsg(sv, "Diagnostic log %s is on (%ld bytes, cap %d KiB)", diagName(kind), diagSize(kind),
              diagCapKib());
    } else {
        svMsg(sv, "Diagnostic log %s is off", diagName(kind));
    }
}

void switchOne(stQzSv* sv, int kind, bool on) {
    const char* why = "";
    if (!diagSwitch(kind, on, &why)) {
        svMsg(sv, "Diagnostic log %s cannot be opened (%s)", diagName(kind), why);
        return;
    }
    showOne(sv, kind);
}

}  // namespace

// "qz_sv_DiagLog" shows the three logs; "qz_sv_DiagLog <ev|pkt|send|all> <1|0|on|off>" switches;
// "qz_sv_DiagLog cap <KiB>" sets the size at which each log moves to "<name>.1".
void cmd_diaglog(stQzSv* sv, const CmdCall& call) {
    char a[32] = "", b[32] = "";
    const char* args = call.args ? call.args : "";
    int n = 0;
    for (char* out : {a, b}) {
        while (args[n] == ' ' || args[n] == '\t') n++;
        int w = 0;
        while (args[n] && args[n] != ' ' && args[n] != '\t') {
            if (w < 31) out[w++] = args[n];
            n++;
        }
        out[w] = 0;
    }
    if (!a[0]) {
        for (int k = 0; k < QZ_DIAG_KINDS; ++k) showOne(sv, k);
        return;
    }
    if (trcasecmp(a, "cap") == 0) {
        char* end = nullptr;
        long kib = strtol(b, &end, 10);
        if (!b[0] || *end || kib <= 0) {
            svMsg(sv, "Usage: qz_sv_DiagLog cap <KiB, %d to %d>", QZ_DIAG_CAP_MIN_KIB,
                  QZ_DIAG_CAP_MAX_KIB);
            return;
        }
        diagSetCap(kib > QZ_DIAG_CAP_MAX_KIB ? QZ_DIAG_CAP_MAX_KIB : static_cast<int>(kib));
        svMsg(sv, "Diagnostic logs move to <name>.1 at %d KiB", diagCapKib());
        return;
    }
    int kind = kindOf(a);
    int on = switchOf(b);
    if (kind == -2 || on < 0) {
        svMsg(sv, "Usage: qz_sv_DiagLog [ev|pkt|send|all] [1|0] or qz_sv_DiagLog cap <KiB>");
        return;
    }
    for (int k = 0; k < QZ_DIAG_KINDS; ++k) {
        if (kind == -1 || kind == k) switchOne(sv, k, on == 1);
    }
}
