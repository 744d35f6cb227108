// The module's side of the exchange with the client module in each player's game: the
// handshake that moves a player from "PRE " to "OK  " (or "SPEC"), and the requests a client
// module may send afterwards. docs/client-exchange.md describes the texts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/cvars.h"
#include "players/kick.h"
#include "players/names.h"
#include "players/power.h"
#include "players/slots.h"
#include "players/violations.h"
#include "remote/md5checks.h"
#include "remote/clientfiles.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// Longest packet text looked at; the rest is ignored.
constexpr int kPacketMax = 256;
// Unexpected packets logged per player and minute; a client module that sends junk must not
// fill the log.
constexpr int kNoiseLines = 10;
// A log proof digests two files, so one player may ask for one a minute.
constexpr unsigned kProofSpacingMs = 60000;

// Counts an unexpected packet of the player; true while it may still be logged this minute.
bool noiseLogged(stQzSv* sv, int slot, Qz_Sv_Client_s* c) {
    unsigned now = GetTickCount();
    if (!c->noiseCount || now - c->noiseTick >= 60000) {
        c->noiseTick = now;
        c->noiseCount = 0;
    }
    if (++c->noiseCount == kNoiseLines + 1) {
        svMsg(sv, "Further unexpected packets from (slot #%d) %s are not logged for a minute", slot,
              c->name);
    }
    return c->noiseCount <= kNoiseLines;
}

}  // namespace

bool plPacketLogAllowed(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    return c && noiseLogged(sv, slot, c);
}

namespace {

// "MAJOR.MINOR" with a three-digit minor, as the version line prints it.
void readVersion(const char* text, int* major, int* minor) {
    char* end = nullptr;
    long a = strtol(text, &end, 10);
    long b = *end == '.' ? strtol(end + 1, nullptr, 10) : 0;
    *major = a < 0 || a > 999 ? 0 : static_cast<int>(a);
    *minor = b < 0 || b > 999 ? 0 : static_cast<int>(b);
}

bool older(int major, int minor, int refMajor, int refMinor) {
    return major < refMajor || (major == refMajor && minor < refMinor);
}

void send(stQzSv* sv, int slot, const char* text) {
    svSendClient(sv, slot, "%c%s", QZ_MSG_EXCHANGE, text);
}

}  // namespace

void plHello(stQzSv* sv, int slot) {
    char text[64];
    QZ_TRF(text, "QZ_HELLO %d.%03d %d", sv->svVerMajor, sv->svVerMinor, slot);
    send(sv, slot, text);
}

// Each step is taken only from the status before it, so a repeated or stray packet cannot move
// a player backwards or skip the version check.
void plPacket(stQzSv* sv, int slot, const char* data, int length) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || !data || length <= 0) return;
    // Query answers and violation reports are longer than the texts below.
    if (cvarPacket(sv, slot, data, length)) return;
    if (md5Packet(sv, slot, data, length)) return;  // MD5Tool check answers
    // Screenshot packets carry binary picture data past the header.
    if (length >= 5 && memcmp(data, "QZ_SS", 5) == 0 && c->status >= QZ_ST_INIT) {
        ssPacket(sv, slot, data, length);
        return;
    }
    // Module file requests, their transfer controls and uploads (remote/clientfiles.h).
    if (cfPacket(sv, slot, data, length)) return;
    char text[kPacketMax];
    int n = length < kPacketMax ? length : kPacketMax - 1;
    memcpy(text, data, static_cast<size_t>(n));
    text[n] = 0;
    char word[16];
    int w = 0;
    while (text[w] && text[w] != ' ' && w < qz::cap(word) - 1) {
        word[w] = text[w];
        w++;
    }
    word[w] = 0;
    const char* args = text + w;
    while (*args == ' ') args++;

    if (!strcmp(word, "QZ_INIT") && c->status == QZ_ST_PRE) {
        readVersion(args, &c->clientVerMajor, &c->clientVerMinor);
        const char* kind = strchr(args, ' ');
        c->spectator = kind && kind[1] == 'S';
        c->status = QZ_ST_INIT;
        char check[48];
        QZ_TRF(check, "QZ_CHECK %d.%03d", sv->clVerMajor, sv->clVerMinor);
        send(sv, slot, check);
        cfOffer(sv, slot);
    } else if (!strcmp(word, "QZ_UPDT") &&
               (c->status == QZ_ST_INIT || c->status == QZ_ST_UPDT)) {
        // From UPDT: a client held back retried its update and reports again.
        readVersion(args, &c->clientVerMajor, &c->clientVerMinor);
        c->status = QZ_ST_UPDT;
        if (older(c->clientVerMajor, c->clientVerMinor, sv->clVerMajor, sv->clVerMinor)) {
            plForceSpec(sv, slot);
            cfUpdateFailed(sv, slot);
        } else {
            send(sv, slot, "QZ_GO");
        }
    } else if (!strcmp(word, "QZ_READY") && c->status == QZ_ST_UPDT &&
               !older(c->clientVerMajor, c->clientVerMinor, sv->clVerMajor, sv->clVerMinor)) {
        c->status = c->spectator ? QZ_ST_SPEC : QZ_ST_OK;
        plSetGuidCvars(sv, slot);
        plClientReady(sv, slot);
    } else if (!strcmp(word, "QZ_PLIST") && c->status >= QZ_ST_INIT) {
        plSendPlayerList(sv, slot);
    } else if (!strcmp(word, "QZ_ALIST") && c->status >= QZ_ST_INIT) {
        nmSendAliasList(sv, slot, *args ? atoi(args) : slot);
    } else if (!strcmp(word, "QZ_PROOF") && c->status >= QZ_ST_INIT &&
               (!c->proofTick || GetTickCount() - c->proofTick >= kProofSpacingMs)) {
        c->proofTick = GetTickCount();
        logProof(sv, slot, QZ_MSG_PRINT, args);
    } else if (pwPacket(sv, slot, word, args)) {  // votes, power list, rcon, files
    } else if (!strncmp(word, "QZ_", 3)) {
        if (noiseLogged(sv, slot, c)) {
            svMsg(sv, "Packet ignored from (slot #%d) %s: %s (status %s)", slot, c->name, word,
                  plStatusName(c->status));
        }
    } else if (noiseLogged(sv, slot, c)) {
        svMsg(sv, "Unknown packet from (slot #%d) %s (%d bytes)", slot, c->name, length);
    }
}
