// GUID authentication: each connecting player's GUID is sent to the authentication server
// (qz_sv_guidauthserver, "host:port"), which answers whether it knows the GUID and how many days
// old it is. Answers are matched by an unpredictable challenge number; a silent server never
// keeps a player out. docs/guidauth.md describes the exchange and the decisions.
#pragma once

#include <netinet/in.h>

#include "remote/resolve.h"

constexpr int QZ_GUIDAUTH_RETRY_MS = 2000;   // a request unanswered this long is sent again
constexpr int QZ_GUIDAUTH_GIVEUP_MS = 6000;  // then the server counts as silent

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
};

struct stGuidAuth {
    stGuidPending pending[64];
    int count;
    stQzResolve server;
    char serverName[128];  // the host the lookup is for
    int port;
    unsigned long ignored;  // answers dropped since the last report
};

struct stQzSv;

// A player was admitted: queues the request for his GUID (nothing for bots, the server's own
// players, a missing or malformed GUID, or while qz_sv_guidauth is 0).
void guidAuthConnect(stQzSv* sv, int slot);
// The slot's player left: his request is forgotten.
void guidAuthDisconnect(stQzSv* sv, int slot);
// Sends, resends and gives up on requests. True while requests wait (the socket is then read
// every frame).
bool guidAuthFrame(stQzSv* sv);
// An answer packet (tag included) from the socket. Packets from another address than the
// authentication server's are dropped.
void guidAuthPacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from);
void guidAuthShutdown(stQzSv* sv);
