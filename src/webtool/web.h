// The WebTool's record in the central state: the listening socket, the fixed pool of connections
// being read, the page being written, the last client's address, the bad-key lockout table and
// the map list pointers. Everything is a fixed buffer, so serving a request allocates nothing.
#pragma once

#include <netinet/in.h>

// Room for one answer page; a longer page is cut at WEB_PAGE_SIZE - 1 characters.
constexpr int WEB_PAGE_SIZE = 30000;
// Largest request (request line, headers and body) a connection may send; a larger one is
// answered "413" and closed.
constexpr int WEB_REQ_MAX = 8192;
// Connections read at the same time. When the pool is full a new connection takes the place of
// the oldest one that has sent nothing yet (or of the oldest one when all have sent something).
constexpr int WEB_CONN_MAX = 32;
// Connections accepted in one frame call; the rest wait in the listen queue for the next frame.
constexpr int WEB_ACCEPT_PER_FRAME = 32;
// A request must be complete this long after its connection was accepted, or it is dropped.
constexpr int WEB_REQ_TIME_MS = 2000;
// Bad keys from one address within WEB_LOCK_WINDOW_MS that lock the address out for
// WEB_LOCK_TIME_MS; WEB_LOCK_MAX addresses are remembered (the oldest is forgotten first).
constexpr int WEB_LOCK_BADKEYS = 5;
constexpr int WEB_LOCK_WINDOW_MS = 60000;
constexpr int WEB_LOCK_TIME_MS = 60000;
constexpr int WEB_LOCK_MAX = 16;

// The page being written. Writers append at len and never pass WEB_PAGE_SIZE - 1 characters;
// text[len] is always the terminator.
struct stWebPage {
    int len;
    int cut;  // set once an append did not fit
    char text[WEB_PAGE_SIZE];
};

enum WebConnState {
    WEBC_FREE = 0,
    WEBC_READING = 1,  // request not complete yet
    WEBC_READY = 2,    // request complete, waiting for its turn to be answered
};

// One connection of the pool.
struct stWebConn {
    int state;  // WebConnState
    int sock;
    unsigned acceptTick;
    unsigned seq;  // accept order, for choosing the oldest
    struct sockaddr_in addr;
    int len;        // bytes read into req
    int headerEnd;  // offset of the body once the blank line after the headers was read, else 0
    int bodyLen;    // Content-Length
    char req[WEB_REQ_MAX + 1];
};

// Bad keys sent from one IPv4 address.
struct stWebLock {
    int used;
    unsigned addr;  // network byte order
    int bad;        // bad keys since firstTick
    unsigned firstTick;
    int locked;
    unsigned lockTick;
    unsigned seq;  // last use, for replacing the oldest entry
};

struct stWeb {
    // The listening socket and the (port, address) it was opened for. A (port, address) that
    // could not be opened is remembered so that the failure is reported once, not every frame.
    int listening;
    int listenSock;
    int openPort;
    char openAddr[128];
    int failed;
    int failedPort;
    char failedAddr[128];

    stWebConn conn[WEB_CONN_MAX];
    unsigned nextSeq;
    int nextServe;  // where the round-robin search for a complete request starts

    // The connection being answered: its address, "a.b.c.d:port" for the bad-key message.
    struct sockaddr_in client;
    char clientText[24];

    stWebLock locks[WEB_LOCK_MAX];
    unsigned lockSeq;

    // The web key taken from "rconpassword" while qz_sv_HttpKey was empty, so that a later change
    // of the rcon password is followed but a key the administrator set is never overwritten.
    int keyFromRcon;
    char rconCopy[128];

    long long startTime;  // module start or restart (wall clock), for the footer's uptime line

    // Map lists: defmaplist is the built-in list for this game version; maplist the list the
    // Command Screen offered last (qz_sv_HttpMaps, or defmaplist when that is empty).
    const char* defmaplist;
    const char* maplist;

    // The request of the connection being answered in the one-field-per-line form, and the page.
    char form[WEB_REQ_MAX + 1];
    stWebPage page;
};

struct stQzSv;

// Called from start-up after the configuration was loaded: notes the start tick. The listener
// itself opens in the frame call.
void webStart(stQzSv* sv);
// One pass of the listener (frame call): opens, reopens or closes the listening socket when
// qz_sv_HttpPort or qz_sv_HttpAddr changed, accepts waiting connections (bounded), reads what
// has arrived, drops connections past their time limit, and answers at most one complete
// request. Never blocks.
void webFrame(stQzSv* sv);
// Closes the listening socket and every connection (shut-down and restart).
void webShutdown(stQzSv* sv);
