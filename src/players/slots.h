// The 64 player slots: the player record, the statuses, and the events the host reports about a
// player (connect, disconnect, client-module packet, rename).
#pragma once

#include "host/qzsv.h"

struct stQzSv;

constexpr int QZ_SLOTS = 64;

// Player statuses; every listing prints them through plStatusName.
enum QzStatus {
    QZ_ST_PRE = 0,   // admitted, the client module has not answered yet
    QZ_ST_INIT = 1,  // the client module introduced itself
    QZ_ST_UPDT = 2,  // checking that the client module is current
    QZ_ST_OK = 3,    // an ordinary playing client
    QZ_ST_SPEC = 4,  // a spectator client
    QZ_ST_SBOT = 5,  // a bot of the game server
};

// Message kinds: the first character of every text the module sends to a player's game
// (docs/client-exchange.md).
constexpr char QZ_MSG_PRINT = 'P';     // shown to the player
constexpr char QZ_MSG_EXCHANGE = 'Q';  // client-module exchange, not shown

// One name registration of a player; in use when text is not empty.
struct stQzReg {
    char name[33];
    char text[33];
    int count;
};

struct Qz_Sv_Client_s {
    char name[33];
    char guid[33];     // empty when the player has none ("NO_GUID" is shown)
    char address[33];  // empty: the slot is free
    char os;
    int status;
    int power;
    stQzReg reg[3];
    unsigned connectTick;  // the authentication rate is measured from here
    int authCount;
    unsigned ssTriggerTick;
    unsigned ssTicks[3];  // the three most recent screenshot requests, a ring
    unsigned statTick;
    // Beyond the fields the other subsystems rely on.
    char authState[12];                  // the GUID's authentication state, shown in parentheses
    unsigned long seq;                   // connection sequence number
    int clientVerMajor, clientVerMinor;  // version the client module reported
    int spectator;                       // the client module said it is a spectator client
    unsigned noiseTick;  // start of the minute in which unexpected packets are counted
    int noiseCount;      // unexpected packets logged in that minute
    unsigned proofTick;  // last log proof answered (0: none yet)
};

struct stPlayers {
    Qz_Sv_Client_s cl[QZ_SLOTS];  // slot n is cl[n - 1]
    unsigned long seq;            // connections admitted since start
    unsigned silentCheckTick;     // last look for clients that never answered
};

// How long a client module has to answer the module's first exchange text before the player is
// refused as one whose game does not run Kestrine.
constexpr int QZ_HELLO_GRACE_MS = 30000;

// "PRE ", "INIT", "UPDT", "OK  ", "SPEC", "SBOT"; "UNKN" for any other value.
const char* plStatusName(int status);
// The record of slot (1..64), or null when the number is out of range. A free slot has a record
// with an empty address.
Qz_Sv_Client_s* plSlot(stQzSv* sv, int slot);
// The record of an occupied slot, or null.
Qz_Sv_Client_s* plPlayer(stQzSv* sv, int slot);
// GUID text as listings show it: the GUID, or "NO_GUID".
const char* plGuidText(const Qz_Sv_Client_s* cl);
// Address kinds by exact, case-blind comparison of the address without its port.
bool plIsBot(const Qz_Sv_Client_s* cl);
// "loopback", "localhost" or "127.0.0.1": a player on the server's own machine.
bool plIsHostPlayer(const Qz_Sv_Client_s* cl);
// A 32-hexadecimal-digit GUID.
bool plGuidValid(const char* guid);

// Authentication rate at tick now, in tenths of events per minute (printed value/10, value%10).
long plAuthRate(const Qz_Sv_Client_s* cl, unsigned now);
// Screenshot requests of the last ten minutes (0..3).
int plRecentSs(const Qz_Sv_Client_s* cl, unsigned now);

// QZ_EV_CONNECT: checks the client against the kick/ban list and takes him into the slot.
// Returns QZ_ADMIT, or QZ_REFUSE after the refusal text was sent and the host asked to drop him.
int plConnect(stQzSv* sv, int slot, const char* data, int length);
// QZ_EV_DISCONNECT: frees the slot ("Lost Connection ..."), or reports an unknown client.
void plDisconnect(stQzSv* sv, int slot);
// QZ_EV_RENAME: the game reports a new name for the player in slot.
void plRename(stQzSv* sv, int slot, const char* data, int length);
// QZ_EV_PACKET: one packet of the client module (players/exchange.cpp).
void plPacket(stQzSv* sv, int slot, const char* data, int length);
// Starts the exchange with a newly admitted client module (players/exchange.cpp).
void plHello(stQzSv* sv, int slot);
// Counts a log line that a packet of the player's client causes (junk, a report for no request);
// true while one may still be written this minute. Past the limit one line says so, and the rest
// of the minute is quiet, so a client cannot fill the log.
bool plPacketLogAllowed(stQzSv* sv, int slot);
// Frees a slot the module itself removed (the host does not report those); logs the second
// form of the lost-connection line.
void plRelease(stQzSv* sv, int slot);
// Sets the two GUID game variables of slot from its record ("EmptySlot" when free).
void plSetGuidCvars(stQzSv* sv, int slot);
// Frees every slot and sets every slot's GUID variables to "EmptySlot".
void plResetAll(stQzSv* sv);
// The frame's work for the players: refuses clients that never answered the exchange
// (players/silent.cpp).
void plFrame(stQzSv* sv);
// Sends a text to every connected player's game (bots excepted).
void plTellAll(stQzSv* sv, const char* text);

// Listings (players/listing.cpp). plList prints qz_sv_Plist (mode 0) or qz_sv_StatList (mode 1);
// a non-empty text lists only the players whose names contain it.
void plList(stQzSv* sv, const char* text, int mode);
// Sends the player list to the game of the player in slot (asked for by his client module).
void plSendPlayerList(stQzSv* sv, int slot);
// The statistics line of a player (empty until the statistics are kept).
const char* plStatLine(stQzSv* sv, int slot);
