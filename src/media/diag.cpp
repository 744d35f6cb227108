// The diagnostic logs: switching, the gathered buffer, the cap, and the one line per event.
#include "media/diag.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "commands/dispatch.h"
#include "commands/secrets.h"
#include "host/qzsv.h"
#include "remote/packets.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

unsigned qzDiagMask = 0;

namespace {

struct DiagLog {
    int fd;     // -1 while off
    long size;  // bytes in the file, those waiting in buf included
    int len;    // bytes waiting in buf
    char buf[QZ_DIAG_BUF];
};

constexpr const char* kNames[QZ_DIAG_KINDS] = {"qzsvev.log", "qzsvpkt.log", "qzsvsend.log"};

DiagLog g_logs[QZ_DIAG_KINDS] = {{-1, 0, 0, {}}, {-1, 0, 0, {}}, {-1, 0, 0, {}}};
long g_cap = static_cast<long>(QZ_DIAG_CAP_KIB) * 1024;
unsigned g_lastFlush = 0;
time_t g_stampAt = 0;
char g_stamp[32];
int g_stampLen = 0;

// "[MM.DD.YYYY hh:mm:ss] ", the stamp of the server log, broken down once a second.
const char* stamp(int* length) {
    time_t now = qzTime();
    if (g_stampLen == 0 || now != g_stampAt) {
        struct tm lt;
        qzLocalTime(now, &lt);
        g_stampLen =
            QZ_TRF(g_stamp, "[%02u.%02u.%04u %02u:%02u:%02u] ",
                   static_cast<unsigned>(lt.tm_mon + 1), static_cast<unsigned>(lt.tm_mday),
                   static_cast<unsigned>(lt.tm_year + 1900), static_cast<unsigned>(lt.tm_hour),
                   static_cast<unsigned>(lt.tm_min), static_cast<unsigned>(lt.tm_sec));
        if (g_stampLen >= qz::cap(g_stamp)) g_stampLen = qz::cap(g_stamp) - 1;
        g_stampAt = now;
    }
    *length = g_stampLen;
    return g_stamp;
}

// Writes out what waits. A short or failed write drops the rest: a diagnostic log must never
// hold up the frame by retrying.
void writeOut(DiagLog& L) {
    if (L.fd >= 0 && L.len > 0) {
        ssize_t n = write(L.fd, L.buf, static_cast<size_t>(L.len));
        if (n < L.len) L.size -= L.len - (n > 0 ? n : 0);
    }
    L.len = 0;
}

bool openLog(int kind) {
    DiagLog& L = g_logs[kind];
    L.fd = homeOpenFd(homePath(kNames[kind]), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    L.len = 0;
    L.size = 0;
    if (L.fd < 0) return false;
    off_t end = lseek(L.fd, 0, SEEK_END);
    L.size = end > 0 ? static_cast<long>(end) : 0;
    return true;
}

void closeLog(DiagLog& L) {
    writeOut(L);
    if (L.fd >= 0) close(L.fd);
    L.fd = -1;
    L.size = 0;
}

// The file has reached its cap: it becomes "<name>.1" (replacing the one before) and the log
// begins again, so a log never holds more than twice its cap on the disk.
void rotate(int kind) {
    DiagLog& L = g_logs[kind];
    closeLog(L);
    char from[QZ_PATH_MAX], to[QZ_PATH_MAX];
    QZ_COPY(from, homePath(kNames[kind]));
    QZ_TRF(to, "%s.1", from);
    rename(from, to);
    if (!openLog(kind)) qzDiagMask &= ~(1u << kind);
}

// Appends one stamped line (text of length n, no line end).
void append(int kind, const char* text, int n) {
    DiagLog& L = g_logs[kind];
    if (L.fd < 0) return;
    int sl = 0;
    const char* st = stamp(&sl);
    int total = sl + n + 2;
    if (L.size + total > g_cap) {
        rotate(kind);
        if (L.fd < 0) return;
    }
    if (L.len + total > QZ_DIAG_BUF) writeOut(L);
    char* p = L.buf + L.len;
    memcpy(p, st, static_cast<size_t>(sl));
    memcpy(p + sl, text, static_cast<size_t>(n));
    p[sl + n] = '\r';
    p[sl + n + 1] = '\n';
    L.len += total;
    L.size += total;
}

// Longest line text: a heading, an address, and QZ_DIAG_SHOW bytes shown as \xHH at worst.
constexpr int kLineMax = 256 + QZ_DIAG_SHOW * 4;

void line(int kind, const char* fmt, ...) QZ_PRINTF(2, 3);
void line(int kind, const char* fmt, ...) {
    char text[kLineMax];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof text)) n = sizeof text - 1;
    append(kind, text, n);
}

// Shows up to QZ_DIAG_SHOW bytes of data as one line's text: printable characters as they are,
// a backslash as "\\", every other byte as "\xHH"; "..." marks a cut.
void show(char* out, int size, const char* data, int length) {
    static const char kHex[] = "0123456789ABCDEF";
    int o = 0;
    int shown = length < QZ_DIAG_SHOW ? length : QZ_DIAG_SHOW;
    for (int i = 0; i < shown && o < size - 8; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\\') {
            out[o++] = '\\';
            out[o++] = '\\';
        } else if (c >= 32 && c < 127) {
            out[o++] = static_cast<char>(c);
        } else {
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[c >> 4];
            out[o++] = kHex[c & 15];
        }
    }
    if (shown < length && o < size - 4) {
        memcpy(out + o, "...", 3);
        o += 3;
    }
    out[o] = 0;
}

// The length of the word at the start of text (letters, digits, "_", "-", "?", "=", "."),
// at most max.
int wordLength(const char* text, int length, int max) {
    int n = 0;
    while (n < length && n < max) {
        char c = text[n];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '?' || c == '=' || c == '.';
        if (!ok) break;
        n++;
    }
    return n;
}

// A console line as the events log shows it: with its secrets masked (commands/secrets.h) when
// its first word is one the masking knows; any other line (an unknown word may be a password
// typed at the wrong prompt, a game command may set one) shows only its length.
void consoleText(char* out, int size, const char* data, int length) {
    static char text[QZ_LINE_MAX];
    static char masked[QZ_LINE_MAX + 8];
    int n = length < qz::cap(text) - 1 ? length : qz::cap(text) - 1;
    memcpy(text, data, static_cast<size_t>(n));
    text[n] = 0;
    if (strlen(text) != static_cast<size_t>(n) || !cmdMaskKnows(text)) {
        trf(out, size, "(not a module command: %d bytes withheld)", length);
        return;
    }
    cmdMaskSecrets(text, masked, qz::cap(masked));
    show(out, size, masked, slen(masked));
}

// A packet from a player's client module as the packets log shows it: a power player's command
// ("QZ_RCON <command line>") may set a password, so only its word and length are shown, as the
// data-sent log shows the commands handed to the host.
void clientPacketText(char* out, int size, const char* data, int length) {
    constexpr int kWordLen = 7;
    if (length >= kWordLen && memcmp(data, "QZ_RCON", kWordLen) == 0 &&
        (length == kWordLen || data[kWordLen] == ' ' || data[kWordLen] == '\t')) {
        trf(out, size, "QZ_RCON (%d bytes withheld)", length - kWordLen);
        return;
    }
    show(out, size, data, length);
}

// What a datagram holds, as far as it is free of secrets: the tag and, for the exchanges with
// the masters and the authentication server, the text of requests, controls and verdicts and
// the numbers of file blocks (never their data); for directives and remote-console packets
// only the first word (they carry security texts, commands and their answers).
void datagramText(char* out, int size, const char* data, int length) {
    char type = pktType(data, length);
    const char* body = data + QZ_TAG_LEN;
    int bodyLen = length - QZ_TAG_LEN;
    char shown[QZ_DIAG_SHOW * 4 + 8];
    switch (type) {
        case QZ_PT_QUERY:
        case QZ_PT_REQUEST:
        case QZ_PT_CONTROL:
        case QZ_PT_AUTH:
        case QZ_PT_AUTHANSWER:
            show(shown, qz::cap(shown), body, bodyLen);
            trf(out, size, "QZ_%c %s", type, shown);
            return;
        case QZ_PT_FILE:
            if (bodyLen >= 12 && memcmp(body, "VRFB", 4) == 0) {
                const auto* b = reinterpret_cast<const unsigned char*>(body + 4);
                unsigned id =
                    (unsigned{b[0]} << 24) | (unsigned{b[1]} << 16) | (unsigned{b[2]} << 8) | b[3];
                unsigned block =
                    (unsigned{b[4]} << 24) | (unsigned{b[5]} << 16) | (unsigned{b[6]} << 8) | b[7];
                trf(out, size, "QZ_F VRFB file %u block %u (%d data bytes)", id, block,
                    bodyLen - 12);
                return;
            }
            if (bodyLen >= 4 && memcmp(body, "VRFH", 4) == 0) {
                show(shown, qz::cap(shown), body, bodyLen);
                trf(out, size, "QZ_F %s", shown);
                return;
            }
            trf(out, size, "QZ_F (unknown file packet)");
            return;
        case 0: trf(out, size, "(no Kestrine tag)"); return;
        default: {
            // Directives, remote-console packets and types this module does not know.
            while (bodyLen > 0 && *body == ' ') {
                body++;
                bodyLen--;
            }
            int wl = wordLength(body, bodyLen, 32);
            char word[40];
            memcpy(word, body, static_cast<size_t>(wl));
            word[wl] = 0;
            trf(out, size, "QZ_%c %s (%d bytes withheld)", type, word, bodyLen - wl);
            return;
        }
    }
}

}  // namespace

void diagStart() {
    diagShutdown();
    g_cap = static_cast<long>(QZ_DIAG_CAP_KIB) * 1024;
}

void diagShutdown() {
    for (DiagLog& L : g_logs) closeLog(L);
    qzDiagMask = 0;
}

bool diagSwitch(int kind, bool on, const char** why) {
    *why = "";
    if (kind < 0 || kind >= QZ_DIAG_KINDS) return false;
    DiagLog& L = g_logs[kind];
    if (!on) {
        qzDiagMask &= ~(1u << kind);
        closeLog(L);
        return true;
    }
    if (L.fd >= 0) return true;
    if (!openLog(kind)) {
        *why = homeOpenError();
        return false;
    }
    qzDiagMask |= 1u << kind;
    return true;
}

void diagSetCap(int kib) {
    if (kib < QZ_DIAG_CAP_MIN_KIB) kib = QZ_DIAG_CAP_MIN_KIB;
    if (kib > QZ_DIAG_CAP_MAX_KIB) kib = QZ_DIAG_CAP_MAX_KIB;
    g_cap = static_cast<long>(kib) * 1024;
}

int diagCapKib() { return static_cast<int>(g_cap / 1024); }

long diagSize(int kind) { return kind >= 0 && kind < QZ_DIAG_KINDS ? g_logs[kind].size : 0; }

const char* diagName(int kind) { return kind >= 0 && kind < QZ_DIAG_KINDS ? kNames[kind] : ""; }

void diagFrame() {
    if (!qzDiagMask) return;
    unsigned now = GetTickCount();
    if (now - g_lastFlush < 1000) return;
    g_lastFlush = now;
    diagFlush();
}

void diagFlush() {
    for (DiagLog& L : g_logs) writeOut(L);
}

void diagHostEventOn(int event, int slot, const char* data, int length, int result) {
    char shown[kLineMax];
    if (!data || length < 0) length = 0;
    switch (event) {
        case QZ_EV_CONSOLE:
            consoleText(shown, qz::cap(shown), data ? data : "", length);
            line(QZ_DIAG_EV, "CONSOLE %s", shown);
            return;
        case QZ_EV_CONNECT:
            show(shown, qz::cap(shown), data, length);
            line(QZ_DIAG_EV, "CONNECT slot %d %s -> %s", slot, shown,
                 result == QZ_ADMIT ? "admitted" : "refused");
            return;
        case QZ_EV_DISCONNECT: line(QZ_DIAG_EV, "DISCONNECT slot %d", slot); return;
        case QZ_EV_RENAME:
            show(shown, qz::cap(shown), data, length);
            line(QZ_DIAG_EV, "RENAME slot %d %s", slot, shown);
            return;
        case QZ_EV_PACKET: line(QZ_DIAG_EV, "PACKET slot %d (%d bytes)", slot, length); return;
        case QZ_EV_SHUTDOWN: line(QZ_DIAG_EV, "SHUTDOWN"); return;
        default: line(QZ_DIAG_EV, "EVENT %d slot %d (%d bytes)", event, slot, length); return;
    }
}

void diagClientPacketOn(int slot, const char* data, int length) {
    char shown[QZ_DIAG_SHOW * 4 + 8];
    clientPacketText(shown, qz::cap(shown), data, length > 0 ? length : 0);
    line(QZ_DIAG_PKT, "from slot %d (%d bytes) %s", slot, length, shown);
}

void diagClientSendOn(int slot, const char* data, int length) {
    char shown[QZ_DIAG_SHOW * 4 + 8];
    show(shown, qz::cap(shown), data, length > 0 ? length : 0);
    line(QZ_DIAG_SEND, "to slot %d (%d bytes) %s", slot, length, shown);
}

void diagDatagramOn(int kind, const char* port, const sockaddr_in* peer, const char* data,
                    int length) {
    char address[INET_ADDRSTRLEN] = "?";
    unsigned peerPort = 0;
    if (peer) {
        inet_ntop(AF_INET, &peer->sin_addr, address, sizeof address);
        peerPort = ntohs(peer->sin_port);
    }
    char text[kLineMax - 64];
    datagramText(text, qz::cap(text), data, length);
    line(kind, "%s %s %s:%u (%d bytes) %s", port, kind == QZ_DIAG_PKT ? "from" : "to", address,
         peerPort, length, text);
}

void diagHostCallOn(const char* service, const char* argument) {
    const char* arg = argument ? argument : "";
    // The capture buffer and the game state polls say nothing about players or transfers.
    if (strncmp(service, "ConCapBuf", 9) == 0 || strcmp(service, "gamestate") == 0) return;
    char shown[kLineMax - 64];
    if (strcmp(service, "DropClient") == 0 || strcmp(service, "SV_RequestAuthorizationQZ") == 0) {
        show(shown, qz::cap(shown), arg, slen(arg));
    } else {
        // Game variables and game commands may be passwords (the WebTool's game settings and
        // command screens pass the administrator's lines on): the name or command word only.
        int n = slen(arg);
        int wl = wordLength(arg, n, 63);
        trf(shown, qz::cap(shown), "%.*s (%d bytes withheld)", wl, arg, n - wl);
    }
    line(QZ_DIAG_SEND, "host %s %s", service, shown);
}
