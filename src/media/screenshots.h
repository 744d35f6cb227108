// Screenshots: the qz_sv_GetSs command and the request routine with its limits and serials, the
// screenshot folder with its pages and index, the picture transfer from the client module in
// blocks, automatic and triggered requests, and the program run after a stored screenshot.
// docs/screenshots.md describes the exchange and the files.
#pragma once

#include "util/files.h"
#include "util/md5.h"

struct stQzSv;

// A picture larger than this is refused before any block is sent.
constexpr long QZ_SS_PICTURE_MAX = 4L * 1024 * 1024;
// The pictures of all transfers in progress together never come to more than this (each holds
// only a buffer of QZ_SS_WRITE_CHUNK and a block in memory; the rest is in its part file).
constexpr long QZ_SS_POOL_MAX = 16L * 1024 * 1024;
// Data bytes of one block packet; every block but the last carries exactly this many.
constexpr int QZ_SS_BLOCK = 1024;
// Programs started by qz_sv_SsCmd that may run at once; a stored screenshot beyond that runs
// no program.
constexpr int QZ_SS_CHILDREN = 8;

// The next serial, kept across restarts ("qz_sv_ssnext %d\r\n"), rewritten at every request.
#define QZ_SSNEXT_FILE "qzsvssn.cfg"
#define QZ_SSINDEX_FILE "qzsvss.htm"

// Kinds of request: who asked.
enum QzSsKind {
    QZ_SS_ADMIN = 0,    // qz_sv_GetSs: the console, configuration, tasks, the WebTool
    QZ_SS_TRIGGER = 1,  // the per-slot trigger
    QZ_SS_AUTO = 2,     // automatic screenshots
};

// Outcomes of the request routine.
enum QzSsResult {
    QZ_SS_REQUESTED = 0,
    QZ_SS_NO_PLAYER = 1,   // free or bad slot
    QZ_SS_NO_CLIENT = 2,   // a bot, or a client module that has not introduced itself
    QZ_SS_TOO_SOON = 3,    // less than 30 seconds since the player's last request
    QZ_SS_TOO_MANY = 4,    // three requests during the past ten minutes
    QZ_SS_FILE_ERROR = 5,  // the folder or the page could not be written
};

// One request and its picture transfer. serial 0: the slot has none.
struct stSsTransfer {
    long serial;
    unsigned nonce;     // the random number of the request; the capture report must echo it
    unsigned long seq;  // connection number of the player asked, so a successor is not credited
    unsigned startTick;
    int receiving;        // the capture was reported and accepted; blocks are expected
    unsigned char* data;  // received bytes not yet written (QZ_SS_WRITE_CHUNK and a block)
    long total;           // announced size
    long received;        // bytes taken, always a multiple of QZ_SS_BLOCK until the last block
    int nextBlock;
    char md5[33];              // announced digest, upper case
    char folder[QZ_PATH_MAX];  // where the page and the picture go, ends in "/"
    // The picture is digested and written as its blocks arrive, so that the last block costs
    // no more than any other: the part file ("qz%06ld.png.part") is renamed to the picture once
    // the digest matches, and removed by any other ending.
    stQzMd5 digest;         // of the received bytes
    unsigned char head[8];  // the first bytes, for the PNG signature
    int partFd;             // valid while partOpen
    int partOpen;
    int partFailed;  // the part file could not be opened or written: the ending says so
    long written;    // bytes handed to the part file
};

// A program started by qz_sv_SsCmd that has not been reaped yet. pid 0: free.
struct stSsChild {
    int pid;
    char program[QZ_PATH_MAX];
    char picture[QZ_PATH_MAX];
};

struct stScreens {
    stSsTransfer t[64];  // by slot - 1
    int pending;         // requests with serial != 0
    long pooled;         // bytes held by all transfers
    unsigned autoDue;    // tick of the next automatic request
    int autoArmed;       // autoDue is set
    stSsChild kids[QZ_SS_CHILDREN];
    int running;            // children not yet reaped
    char refusedPath[256];  // last qz_sv_SsPath refused, so the message comes once per value
    // The serial file and the index stay open between requests: creating or opening a file is
    // the dearest step of a request.
    int nextFd;  // valid while nextOpen
    int nextOpen;
    FILE* index;  // appended, flushed after each line; reopened when the folder changes
    char indexPath[QZ_PATH_MAX];
};

// The qz_sv_GetSs routine: requests a screenshot from the player in the slot (decimal text) or
// from every player whose plain name contains the text, printing one line per request and the
// closing count. The WebTool's screenshot button calls it with the slot number. Returns the
// number of requests made.
int ssGetSs(stQzSv* sv, const char* arg);
// The request routine: applies the limits, takes the next serial, records the tick in the
// player's ring, creates the page, appends the index line and sends the request to the
// player's game. Refusals print their line; nothing changes then. On QZ_SS_REQUESTED *serial
// (when not null) receives the serial used.
int ssRequest(stQzSv* sv, int kind, int slot, long* serial);
// The per-slot trigger: a request of kind QZ_SS_TRIGGER when more than 60000 ms have passed
// since the slot's trigger tick, which is then set to now. Violation reports call it.
void ssTrigger(stQzSv* sv, int slot, unsigned now);
// A packet of the client module that begins "QZ_SS" (players/exchange.cpp routes them here).
void ssPacket(stQzSv* sv, int slot, const char* data, int length);
// Per-frame work, bounded and without allocation: time-outs, players gone, automatic requests,
// reaping finished qz_sv_SsCmd programs.
void ssFrame(stQzSv* sv);
// Start-up: takes qz_sv_SsNext from QZ_SSNEXT_FILE (after the configuration files).
void ssStartup(stQzSv* sv);
// Frees every transfer buffer. Running programs are left to finish on their own.
void ssShutdown(stQzSv* sv);

// Helpers shared by the screenshot files.
// The folder for new screenshots, "<home>svss/" or "<home><qz_sv_SsPath>/", created when
// missing. A qz_sv_SsPath outside the home directory is refused (once per value, with a
// message) and "svss" serves. False when the folder cannot be created.
bool ssFolder(stQzSv* sv, char* out, int size);
// True when the qz_sv_SsPath value names a folder inside the home directory.
bool ssPathOk(const char* value);
// Rewrites the page of serial in folder with one line.
bool ssWritePage(const char* folder, long serial, const char* line);
// Writes qz_sv_SsNext to QZ_SSNEXT_FILE.
void ssSaveNext(stQzSv* sv);
// Appends one line to the index of folder. False when it cannot be written.
bool ssAppendIndex(stQzSv* sv, const char* folder, const char* line);
// Bytes of received picture gathered before they are written to the part file in one call.
constexpr long QZ_SS_WRITE_CHUNK = 64L * 1024;
// The part file of a transfer, beside the picture it becomes.
void ssPartPath(const stSsTransfer* t, char* out, int size);
// Releases a transfer (buffer, pool share, part file: closed and removed) and marks the slot
// free of requests.
void ssRelease(stQzSv* sv, stSsTransfer* t);
// Ends a transfer that will not complete: "incomplete" page when blocks were expected, the
// client told to stop, the transfer released.
void ssAbandon(stQzSv* sv, int slot, stSsTransfer* t);
// Runs qz_sv_SsCmd for a stored picture (ss_command.cpp). Returns the child's pid, or 0 when
// nothing was started (the reason was logged).
int ssRunCommand(stQzSv* sv, const char* picture, long serial, const char* page);
// Reaps finished programs without waiting.
void ssReap(stQzSv* sv);
