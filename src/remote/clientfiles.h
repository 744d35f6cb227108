// Files exchanged with the client modules in the players' games: the module's stored client and
// agent module versions served to clients that ask for them (queued under qz_sv_maxConUpdates),
// files that clients upload, and the grace kick of a client whose update failed. The packets
// reuse the layouts of the master exchange; docs/transfers.md describes them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/flexar.h"

struct stQzSv;

// Distinct files held in memory for serving at once.
constexpr int QZ_CF_SOURCES = 8;
// A stored module file larger than this is not read.
constexpr uint32_t QZ_CF_FILE_MAX = 16u << 20;
// Blocks sent ahead of the client's acknowledgement, and blocks sent to one client per frame.
constexpr uint32_t QZ_CF_WINDOW = 8;
constexpr int QZ_CF_BLOCKS_PER_FRAME = 4;
// Silence of a client after which its window is sent again, and after which it is given up.
constexpr unsigned QZ_CF_NUDGE_MS = 3000;
constexpr unsigned QZ_CF_TIMEOUT_MS = 30000;
// Per client upload: compressed and inflated bytes accepted.
constexpr uint32_t QZ_CF_UPLOAD_MAX = 256u << 10;
constexpr uint32_t QZ_CF_UPLOAD_RAW_MAX = 1u << 20;
// Uploads one connection may start, and the inflated bytes they may announce in all.
constexpr int QZ_CF_UPLOAD_CLIENT_FILES = 8;
constexpr unsigned long QZ_CF_UPLOAD_CLIENT_BYTES = 4ul << 20;
// The upload folder as a whole: files and bytes it may hold.
constexpr int QZ_CF_UPLOAD_TOTAL_FILES = 256;
constexpr unsigned long QZ_CF_UPLOAD_TOTAL_BYTES = 64ul << 20;
// An upload without a block for this long gives its place up.
constexpr unsigned QZ_CF_UPLOAD_STALL_MS = 5000;
// Download requests of one connection taken in a minute.
constexpr int QZ_CF_REQUESTS_PER_MINUTE = 5;
// Folder of the home directory that received uploads go into.
#define QZ_CF_UPLOAD_DIR "svul"
// The identifier of the transfer records of served files.
constexpr uint32_t QZ_CF_RECORD_ID = 0x434C4946;  // "CLIF"

// A stored module file read, compressed and shared by the clients it is being sent to.
// It stays in memory after its last client is served, until the file changes or the place is
// needed for another file, so that requests do not compress the same file again and again.
struct stCfSource {
    char* buf;  // compressed bytes, null while the place is free
    uint32_t size, rawSize;
    int record;  // index of its transfer record
    // The file as it was read: a change of any of these reads it afresh.
    long long fileSize, mtimeNs;
    unsigned long long inode;
};

enum QzCfServeState {
    QZ_CF_IDLE = 0,
    QZ_CF_QUEUED = 1,   // waits for a place under qz_sv_maxConUpdates
    QZ_CF_SENDING = 2,  // header sent, blocks going out
};

// One client's download of a module file.
struct stCfServe {
    int state;
    unsigned long seq;  // the connection it belongs to
    int source;         // index into stClientFiles::src
    uint32_t id, blocks;
    uint32_t next;   // next block to send
    uint32_t acked;  // blocks the client holds
    unsigned lastTick, nudgeTick, queuedTick;
    char kind;
    unsigned long from, to;
    char file[64];  // home-relative name
};

// One client's upload.
struct stCfUpload {
    int state;  // 0 free, 1 receiving
    unsigned long seq;
    uint32_t id, size, rawSize, blocks, next;
    int progressed;  // blocks taken since the last acknowledgement
    unsigned lastTick;
    char* buf;
    char name[64];
};

struct stClientFiles {
    flexar records;  // stQzFileServer, one per served file name
    stCfSource src[QZ_CF_SOURCES];
    stCfServe serve[64];  // by slot - 1
    stCfUpload up[64];
    unsigned long graceSeq[64];  // a failed update waits for the grace kick (0: none)
    unsigned graceTick[64];
    // Per connection (seq): download requests in the current minute, uploads started and the
    // inflated bytes they announced.
    unsigned long reqSeq[64], upSeq[64];
    unsigned reqTick[64];
    int reqCount[64], upFiles[64];
    unsigned long upBytes[64];
    // The upload folder's files and bytes, counted once a run and kept up to date.
    int dirCounted, dirFiles;
    unsigned long dirBytes;
    int busy;  // entries of serve, up and grace in use; the frame does nothing without
    uint32_t nextId;
    char last[64];  // last missing local file reported, and when
    unsigned lastTick;
};

// The stored name of a module version for a client of system letter os: kind 'c' (client
// module) or 'a' (agent module), version number as major * 1000 + minor for the client module or
// the agent number. "dll/wc001002.dll": false when the kind, the letter or the number is invalid.
bool cfStoredName(char* out, int size, char os, char kind, unsigned long number);
// The version numbers the server requires: the client module's and the agent module's.
unsigned long cfRequired(stQzSv* sv, char kind);

// Packets of a client module that belong here ("QZ_DLREQ", "QZ_VRFC", "QZ_VRFH", "QZ_VRFB").
// Returns false when the packet is none of them.
bool cfPacket(stQzSv* sv, int slot, const char* data, int length);
// The module told an outdated client which version it requires: reports a missing local copy.
void cfOffer(stQzSv* sv, int slot);
// The client reported a version still older than required after its update: it is told what
// the server requires and, unless it becomes current, kicked after qz_sv_UpdateGrace seconds.
void cfUpdateFailed(stQzSv* sv, int slot);
// Sends blocks, acknowledges uploads, applies time-outs and the grace kick. Nothing to do costs
// one test.
void cfFrame(stQzSv* sv, unsigned now);
// Frees every buffer (shut-down).
void cfShutdown(stQzSv* sv);

// Test seam: the next allocation of the given letter ('A', 'B', 'C') fails, or with 'Z' the next
// compression fails with zlib's Z_MEM_ERROR. 0 clears it.
void cfTestFault(char which);
