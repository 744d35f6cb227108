// The three diagnostic logs of the home directory: qzsvev.log (the events the host gave the
// module), qzsvpkt.log (packets received) and qzsvsend.log (data sent). Each is off until the
// administrator switches it on (qz_sv_DiagLog); while off, a hook costs one test of a global
// word and nothing else. While on, lines are gathered in a fixed buffer and written out when it
// fills and once a second from the frame, and a file that reaches its cap is moved to
// "<name>.1" and begun again. No line ever carries a secret: a console line is shown with its
// secrets masked (commands/secrets.h) or withheld, other texts that may hold one are cut to their
// first word. docs/logs.md describes the lines.
//
// The logs belong to the process rather than to one module state: the UDP socket code, which
// receives and sends without the central state at hand, writes to them too, and the module is
// one per process (as its home directory and clock are).
#pragma once

struct sockaddr_in;

enum QzDiagKind { QZ_DIAG_EV = 0, QZ_DIAG_PKT = 1, QZ_DIAG_SEND = 2, QZ_DIAG_KINDS = 3 };

// Bit (1 << kind) is set while that log is on.
extern unsigned qzDiagMask;

inline bool diagOn(int kind) { return __builtin_expect((qzDiagMask >> kind) & 1u, 0); }

// Default and bounds of the size at which a log moves to "<name>.1", in KiB.
constexpr int QZ_DIAG_CAP_KIB = 8192;
constexpr int QZ_DIAG_CAP_MIN_KIB = 16;
constexpr int QZ_DIAG_CAP_MAX_KIB = 1048576;
// Bytes gathered before a write.
constexpr int QZ_DIAG_BUF = 16384;
// Most bytes of a packet or text shown in one line.
constexpr int QZ_DIAG_SHOW = 160;

struct stQzSv;

// Start-up: every log off, the cap back to its default. Shut-down: lines written out, files
// closed, every log off.
void diagStart();
void diagShutdown();
// Switches one log on (opening its file for appending) or off (writing out and closing). False,
// with the reason in *why, when the file cannot be opened.
bool diagSwitch(int kind, bool on, const char** why);
// Sets the cap of every log (KiB, clamped to the bounds above).
void diagSetCap(int kib);
int diagCapKib();
// Bytes in the log's file now (written and waiting); 0 while off.
long diagSize(int kind);
// The log's file name ("qzsvev.log", ...).
const char* diagName(int kind);
// The frame: writes out what waits, at most once a second.
void diagFrame();
// Writes out what waits in every log now.
void diagFlush();

// The workers behind the hooks below; called only while the log is on.
void diagHostEventOn(int event, int slot, const char* data, int length, int result);
void diagClientPacketOn(int slot, const char* data, int length);
void diagClientSendOn(int slot, const char* data, int length);
void diagDatagramOn(int kind, const char* port, const sockaddr_in* peer, const char* data,
                    int length);
void diagHostCallOn(const char* service, const char* argument);

// Hooks. Each costs one test while its log is off.
// A call of the host into sb (every event but the frame), with the verdict for a connect.
inline void diagHostEvent(int event, int slot, const char* data, int length, int result) {
    if (diagOn(QZ_DIAG_EV)) diagHostEventOn(event, slot, data, length, result);
}
// A packet from the client module of the player in slot.
inline void diagClientPacket(int slot, const char* data, int length) {
    if (diagOn(QZ_DIAG_PKT)) diagClientPacketOn(slot, data, length);
}
// A text or block sent to the game of the player in slot.
inline void diagClientSend(int slot, const char* data, int length) {
    if (diagOn(QZ_DIAG_SEND)) diagClientSendOn(slot, data, length);
}
// A datagram received on (or sent from) one of the module's UDP ports ("udp": masters and the
// authentication server; "ucon": the remote console port).
inline void diagDatagramIn(const char* port, const sockaddr_in* from, const char* data,
                           int length) {
    if (diagOn(QZ_DIAG_PKT) && length > 0) diagDatagramOn(QZ_DIAG_PKT, port, from, data, length);
}
inline void diagDatagramOut(const char* port, const sockaddr_in* to, const char* data, int length) {
    if (diagOn(QZ_DIAG_SEND) && length > 0) diagDatagramOn(QZ_DIAG_SEND, port, to, data, length);
}
// A call of the module into a host service.
inline void diagHostCall(const char* service, const char* argument) {
    if (diagOn(QZ_DIAG_SEND)) diagHostCallOn(service, argument);
}
