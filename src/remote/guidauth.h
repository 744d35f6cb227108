// GUID authentication: each connecting player's GUID is sent to the authentication server
// (qz_sv_guidauthserver, "host:port"), which answers whether it knows the GUID and how many days
// old it is. Answers are matched by an unpredictable challenge number; a silent server never
// keeps a player out. docs/guidauth.md describes the exchange and the decisions.
#pragma once

#include <netinet/in.h>

#include "remote/resolve.h"

constexpr int QZ_GUIDAUTH_RETRY_MS = 2000;   // a request unanswered this long is sent again
constexpr int QZ_GUIDAUTH_GIVEUP_MS = 6000;  // then the server counts as silent
// After that the player plays on, but his request is still sent now and then, the wait doubling
// from QZ_GUIDAUTH_LATE_MS up to a minute, until QZ_GUIDAUTH_LATE_END_MS after he connected: an
// answer that comes late is acted on, so a server made deaf by a flood only postpones a refusal.
constexpr int QZ_GUIDAUTH_LATE_MS = 10000;
constexpr int QZ_GUIDAUTH_LATE_END_MS = 5 * 60 * 1000;
// A name that did not resolve is looked up again after a wait doubling from the first to the
// second figure.
constexpr int QZ_GUIDAUTH_RESOLVE_RETRY_MS = 5000;
constexpr int QZ_GUIDAUTH_RESOLVE_RETRY_MAX_MS = 5 * 60 * 1000;
// Lines caused by answer packets (arrivals and refusals of unmatched ones) logged one by one in
// a minute; the rest are counted and reported once a minute.
constexpr int QZ_GUIDAUTH_LINES_PER_MINUTE = 20;
// Datagrams read from the authentication server's own socket a frame, and their longest size.
constexpr int QZ_GUIDAUTH_READS = 128;
constexpr int QZ_GUIDAUTH_PACKET = 512;

struct stGuidPending {
    int used;
    unsigned long challenge;
    int slot;
    unsigned long seq;  // the player's connection number: the slot may change hands meanwhile
    char guid[33];
    char address[48];
    int lan;  // LANAUTH instead of AUTH
    int sent;
    unsigned firstTick, sentTick;
    int late;        // past the give-up: the player plays on, the request is still repeated
    int lateWaitMs;  // wait before the next late request
};

struct stGuidAuth {
    stGuidPending pending[64];
    // A socket of its own, connected to the authentication server's address: the system queues
    // only that server's datagrams on it, so a flood of the module's port cannot crowd an answer
    // out. sockOpen 0: none (requests then go out through the module's socket).
    int sockOpen;
    int sock;
    sockaddr_in sockPeer;  // the address it is connected to
    int count;
    stQzResolve server;
    char serverName[128];  // the host the lookup is for
    int port;
    int badSetting;         // qz_sv_guidauthserver names no host or port: nothing to look up
    unsigned retryTick;     // when a failed lookup is tried again
    int retryWaitMs;        // the wait after the next failure
    unsigned long ignored;  // answer lines not logged in the current minute
    unsigned lineTick;      // start of the minute of the line budget
    int lines;              // lines logged in it
    // Players without a GUID, by slot - 1: their connection number (0: none) and since when.
    unsigned long noGuidSeq[64];
    unsigned noGuidTick[64];
};

struct stQzSv;

struct Qz_Sv_Client_s;

// The GUID rules of a connecting client, before he is taken into the slot and before the ban
// checks (not called for bots and the server's own players): a GUID "unknown" and malformed
// identification are refused; the host is asked about him ("SV_RequestAuthorizationQZ"; a host
// may write a GUID into c for a player without one); "New Connect ..." is logged; a GUID that a
// player on the server already has is refused unless bit 4 of qz_sv_GuidRelax tolerates it.
// Returns false after refusing him (the dialog text to his game, then the drop).
bool guidAuthAdmit(stQzSv* sv, int slot, Qz_Sv_Client_s* c);
// A player was admitted: starts the grace of a player still without a GUID, and queues the
// request for his GUID (nothing for bots, the server's own players, a missing GUID, or while
// qz_sv_guidauth is 0).
void guidAuthConnect(stQzSv* sv, int slot);
// The slot's player left: his request is forgotten.
void guidAuthDisconnect(stQzSv* sv, int slot);
// Sends, resends and gives up on requests. True while requests wait (the socket is then read
// every frame).
bool guidAuthFrame(stQzSv* sv);
// An answer packet (tag included) from the socket. Packets from another address than the
// authentication server's are dropped.
void guidAuthPacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from);
// True when from is the authentication server's address and port.
bool guidAuthFrom(stQzSv* sv, const sockaddr_in* from);
void guidAuthShutdown(stQzSv* sv);
