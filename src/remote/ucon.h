// UCON, the remote console over UDP: profiles (who may open a session, from where, with which
// password), the ignore list, open sessions, and the packet exchange (docs/ucon.md). Commands sent
// through a session run through the one dispatcher; the module's console messages go back to
// every open session as "QZSV: " lines.
#pragma once

#include <netinet/in.h>

#include "players/bans.h"
#include "remote/ucon_wire.h"
#include "remote/uconport.h"
#include "util/guard.h"

constexpr int QZ_UCON_PROFILES = 32;
constexpr int QZ_UCON_SESSIONS = 64;  // most sessions qz_sv_USessionLimit may allow
constexpr int QZ_UCON_IGNORES = 32;
constexpr int QZ_UCON_TEXT = 64;  // mask, user name, password, ignore text (with terminator)
constexpr int QZ_UCON_REPLY_SOURCES = 64;     // source addresses whose answers are counted
constexpr int QZ_UCON_USED_CHALLENGES = 128;  // logins remembered against replays
// Console lines wait in a queue of each session and leave as signed packets of several lines: a
// long listing costs one MAC and one send per packet, not per line. The queue is allocated when
// the session opens; a frame sends at most QZ_UCON_FLUSH_PACKETS packets of a session.
constexpr int QZ_UCON_OUTBUF = 1 << 20;
constexpr int QZ_UCON_FLUSH_PACKETS = 16;

// Profile types: a receive-only session gets the module's messages and sends no commands.
enum UconType { UCON_TYPE_NOINPUT = 0, UCON_TYPE_CONSOLE = 1 };

struct stUcon {
    int used;  // 0: the slot was deleted (it keeps its place)
    unsigned type;
    char mask[QZ_UCON_TEXT];
    stMaskRule rule;  // the parsed mask
    char user[QZ_UCON_TEXT];
    char password[QZ_UCON_TEXT];
};

struct stUsession {
    int open;
    unsigned type;
    struct sockaddr_in peer;
    char address[22];  // "a.b.c.d:port" of the peer
    char user[QZ_UCON_TEXT];
    char key[33];           // session key, never sent nor shown
    char sid[QZ_UCON_SID];  // public session identifier
    char challenge[QZ_UCON_CHALLENGE];
    unsigned lastIn;   // highest command sequence taken from the peer
    unsigned nextOut;  // sequence of the next message sent
    unsigned hb;       // packets taken on the session (HB)
    unsigned openTick;
    unsigned lastTick;      // tick of the last packet taken
    char* out;              // QZ_UCON_OUTBUF bytes: "QZSV: line\n" waiting to be sent
    int outHead, outLen;    // the waiting text is out[outHead..outLen)
    unsigned long outLost;  // lines that found the queue full
};

struct stUconState {
    stUconPort port;
    stUcon profiles[QZ_UCON_PROFILES];
    int profileCount;  // slots in use, deleted ones included
    char ignores[QZ_UCON_IGNORES][QZ_UCON_TEXT];
    int ignoreCount;
    stUsession sessions[QZ_UCON_SESSIONS];
    int openCount;
    unsigned char secret[16];  // keys the challenges; drawn at start
    int sending;               // a message is being sent to the sessions (no re-entry)
    // Wrong passwords by address and in all: guard for strangers, maskGuard for logins from an
    // address inside the mask of the profile they name, so that strangers' wrong logins never
    // use up the budget of an administrator at his own address.
    stGuessGuard guard;
    stGuessGuard maskGuard;
    // Counted rather than logged one by one; reported once a minute.
    unsigned long badPackets, ignoredPackets;
    unsigned summaryTick;
    unsigned loggedReasons;  // kinds of dropped packet already logged this minute
    // Unsigned answers (challenges, refusals) in the current second: each source address has a
    // small share, and addresses of known profiles a reserve that strangers cannot use up.
    unsigned replyTick, replyCount, reserveCount;
    struct {
        unsigned addr;  // network order; 0: unused
        unsigned tick;  // start of its second
        int count;
    } replySources[QZ_UCON_REPLY_SOURCES];
    // Challenges of the logins taken in the last minute, open sessions or not: a recorded login
    // sent again finds its challenge here.
    struct {
        char challenge[QZ_UCON_CHALLENGE];
        unsigned tick;
    } usedChallenges[QZ_UCON_USED_CHALLENGES];
    int usedNext;
    // Lines caused by packets of open sessions (refused texts) in the current minute.
    unsigned sessionLineTick;
    int sessionLines;
};

struct stQzSv;

// Draws the challenge secret; lists stay as they are (a restart keeps profiles).
void uconInit(stQzSv* sv);
// Takes one datagram that began "\xff\xff\xff\xffQZ_U" (the whole packet, prefix included).
void uconPacket(stQzSv* sv, const struct sockaddr_in* from, const char* packet, int length);
// Frame work: closes sessions silent for qz_sv_UConTimeout seconds and reports the counts of
// dropped packets once a minute.
void uconFrame(stQzSv* sv);
// Queues one console message for every open session as "QZSV: <line>"; uconFrame (or a full
// packet) sends it.
void uconBroadcast(stQzSv* sv, const char* line, int length);
// Sends what waits in the sessions' queues, at most QZ_UCON_FLUSH_PACKETS packets a session.
void uconFlush(stQzSv* sv);
// Ends one session; the peer is told with a signed "END <why>".
void uconCloseSession(stQzSv* sv, stUsession* s, const char* why);
// Closes every session (module shutdown); the peers are told.
void uconCloseAll(stQzSv* sv, const char* why);
