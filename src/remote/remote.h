// The master-server subsystem's part of the central state: the module's UDP socket and
// outbound queue, the master list with each master's address, the file transfers, the update
// in progress, the masters' directives and the MD5Tool list.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "remote/clientfiles.h"
#include "remote/masters.h"
#include "remote/md5checks.h"
#include "remote/outq.h"
#include "remote/resolve.h"
#include "remote/udp.h"
#include "util/flexar.h"

struct stQzSv;

// A transfer record: one per file being fetched or served, shared by the requests for it.
struct stQzFileServer {
    uint32_t id;        // which transfer or source the record belongs to
    uint32_t refCount;  // how many requests share this record
    uint32_t word;      // the transfer's slot in stRemote::dl
    char fileName[128];
    char secondName[128];  // compared exactly; empty when the record has none
};

enum QzDlState {
    QZ_DL_FREE = 0,
    QZ_DL_QUEUED = 1,     // waits for a free place under qz_sv_MaxConDls
    QZ_DL_REQUESTED = 2,  // request sent, header awaited
    QZ_DL_RECEIVING = 3,  // blocks arriving
};

// What a finished download is for.
enum QzDlPurpose {
    QZ_DLP_DATA = 0,     // a data file of the home directory
    QZ_DLP_MASTERS = 1,  // the generated server file "qzns.dat"
    QZ_DLP_UPDATE = 2,   // a module update, installed when it checks out
};

constexpr int QZ_DL_MAX = 8;
constexpr int QZ_DL_TIMEOUT_MS = 5000;  // silence after which a transfer fails
constexpr int QZ_DL_NUDGE_MS = 1500;    // silence after which the master is asked to go on

struct stQzDownload {
    int state;
    int purpose;
    int master;        // index into the master list
    int rate;          // KB/s asked for
    sockaddr_in from;  // the master's address
    char file[128];    // name asked for
    char target[128];  // home-relative name written when complete
    uint32_t id;       // the master's number for the transfer (from its header)
    uint32_t size, rawSize, blocks, next;
    char* buf;             // size bytes of compressed data
    unsigned lastTick;     // last packet (or the request)
    unsigned reblockTick;  // last reblock request
    int nudged;
    int progressed;         // blocks (or the header) arrived since the last acknowledgement
    int updateNumber;       // QZ_DLP_UPDATE: the version announced
    char nonce[17];         // the request's random value, repeated by the master's signed header
    unsigned char sha[32];  // the header's SHA-256 of the compressed data
    void* hash;             // the running SHA-256 of the blocks taken (an EVP_MD_CTX)
};

struct stQzMasterAddr {
    stQzResolve res;
    int announced;       // "Resolved to" / failure printed
    char nonce[17];      // the random value of the last query sent
    unsigned queryTick;  // when it was sent
    int queryOpen;       // the query still waits for its answer
};

struct stMd5Tool {
    int used;  // 0: deleted
    char kind;
    char text1[64];
    char kind2;
    char text2[128];
    unsigned long sz, at, len;
    char text3[64];
};
constexpr int QZ_MD5TOOL_MAX = 64;

struct stRemote {
    stQzUdp udp;
    stQzOutQueue outq;
    stQzMaster* masters;  // QZ_MASTER_MAX records
    int masterCount;
    stQzMasterAddr* addr;   // QZ_MASTER_MAX, parallel to masters
    int cachedResolutions;  // masters with an address from an earlier lookup
    flexar files;           // stQzFileServer
    stQzDownload dl[QZ_DL_MAX];
    int busy;                // something is waiting: lookups, transfers or queued packets
    unsigned nextCheckTick;  // next automatic master query
    unsigned pollTick;       // last look at the socket while nothing waited
    int updateWanted;        // an update check is waiting for the master list
    int updatePending;       // the update file is being fetched or installed
    stQzFileInfo updEntry;   // the master's description of the update being fetched
    // The received update being inflated, checked and written a slice per frame, with what its
    // messages name.
    struct stQzInstall* updJob;
    char updServer[22];
    char updFile[128];
    char updTarget[128];
    unsigned char updateKey[32];
    int haveUpdateKey;
    stQzResolve directiveLookup;  // the host's QZ_SV_RESOLVE
    // Packets that claimed to come from a master and were refused (no request waiting for
    // them, a wrong nonce or signature), and the limit on their log lines.
    unsigned refused;
    unsigned refusedTick;
    unsigned refusedShown;
    int waitingNumber;  // the version installed as "qzsvnew.so" by this run (0: none)
    // The outcome lines of the last update check, one a line, for the WebTool (whose answer to
    // qz_sv_Update is sent before the masters answer).
    char updReport[1024];
    // MD5Tool list.
    stMd5Tool md5[QZ_MD5TOOL_MAX];
    int md5Count;
    stMd5Checks md5q;  // the checks sent to clients (remote/md5checks.h)
    // Files served to and received from the client modules (remote/clientfiles.h).
    stClientFiles cf;
    char buf[QZ_PKT_MAX + 1];  // one received datagram
};
