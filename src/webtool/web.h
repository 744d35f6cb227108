// The WebTool's record in the central state: the listening socket, the fixed pool of connections
// being read, the page being written, the last client's address, the bad-key lockout table and
// the map list pointers. Everything is a fixed buffer, so serving a request allocates nothing.
#pragma once

#include <netinet/in.h>

#include "commands/dispatch.h"
#include "webtool/admins.h"

// Room for one answer page. The largest page the module writes is a Player List of 64 players
// whose names, registration lines and GUIDs are all made of the characters that grow most in
// HTML (colour codes and quotes); web_page_worst() in plist.cpp computes it from the record
// sizes and a test holds this room above it, so no page is ever cut.
constexpr int WEB_PAGE_SIZE = 512 * 1024;
// Largest request (request line, headers and body) a connection may send; a larger one is
// answered "413" and closed.
constexpr int WEB_REQ_MAX = 8192;
// Connections held at the same time, and how many of them one client address may hold. A new
// connection from an address at its share is read once and answered "503" at once, so one
// address can never fill the pool.
constexpr int WEB_CONN_MAX = 64;
constexpr int WEB_CONN_PER_ADDR = 4;
// CPU time one frame call may spend accepting, reading and answering (microseconds, the calling
// thread's own clock, kernel work included). Work stops at the first check past it and goes on
// in the next frame; every piece of work is small (one accept, one read, one page), so a frame
// stays well under two milliseconds.
constexpr int WEB_FRAME_BUDGET_US = 1000;
// A request must be complete this long after its connection was accepted, or it is dropped; an
// answer that did not fit the socket at once is given this long to drain.
constexpr int WEB_REQ_TIME_MS = 2000;
// An address whose new connections are refused this many times in one frame (it holds its
// share and keeps opening more) is flooding: its connection attempts are dropped by the kernel
// (a packet filter on the listening socket) for WEB_BLOCK_TIME_MS. At most WEB_BLOCK_MAX
// addresses are blocked at once.
constexpr int WEB_FLOOD_REFUSALS = 16;
constexpr int WEB_BLOCK_TIME_MS = 10000;
constexpr int WEB_BLOCK_MAX = 16;
// Bad keys from one address within WEB_LOCK_WINDOW_MS that lock the address out for
// WEB_LOCK_TIME_MS. WEB_LOCK_MAX addresses are remembered; an address with bad keys in the window
// is never forgotten to make room for another.
constexpr int WEB_LOCK_BADKEYS = 5;
constexpr int WEB_LOCK_WINDOW_MS = 60000;
constexpr int WEB_LOCK_TIME_MS = 60000;
constexpr int WEB_LOCK_MAX = 1024;
// Bad keys from all addresses together within WEB_LOCK_WINDOW_MS. Past it, an address that has
// sent a bad key in the window gets no further key checked until the total falls below it again;
// an address without bad keys is still checked, so the administrator is never shut out by
// others' guessing.
constexpr int WEB_GUESS_MAX = 30;
// Lines of module messages kept while an action runs, to show refusals on the page.
constexpr int WEB_NOTE_SIZE = 2048;
// The digest a page carries is keyed with a secret drawn from the system's random source at
// start-up and replaced every WEB_DIGEST_PERIOD_MS; a digest made with the secret before is still
// taken for one more period, so a page that refreshes keeps its login across a change. Every page
// carries a digest of the current secret.
constexpr int WEB_DIGEST_PERIOD_MS = 30 * 60 * 1000;
constexpr int WEB_SECRET_SIZE = 32;
// One-time numbers of a login's pages: an action is run once for each page it was sent from.
// Each login has its own numbers, and the numbers of its last WEB_ACT_WINDOW pages are
// remembered, so no other login's requests (nor the Login Screen's) can make them expire.
constexpr int WEB_ACT_WINDOW = 4096;
// An address that logged in within this time keeps a place in a full pool.
constexpr int WEB_RECENT_LOGIN_MS = 10 * 60 * 1000;
// Trusted proxy addresses (qz_sv_HttpProxies) remembered.
constexpr int WEB_PROXY_MAX = 8;
// Logins remembered (login number -> who logged in). One administrator (the web key counts as
// one) holds at most WEB_BIND_PER_ADMIN logins; one more ends his own oldest. The table has room
// for every administrator's share, so no number of logins by one ends another's.
constexpr int WEB_BIND_PER_ADMIN = 8;
constexpr int WEB_BIND_MAX = WEB_BIND_PER_ADMIN * (WEB_ADMIN_MAX + 1);
// Host names (qz_sv_HttpHosts) the WebTool also answers as, besides its address and localhost.
constexpr int WEB_HOSTS_SIZE = 256;

// A named administrator's login: the digests of its pages are made with his key's hash (which
// changes with his key), and his name and level come from here, so no request after the login
// hashes anything.
// A login with qz_sv_HttpKey is bound the same way, with a fingerprint of the key (an HMAC under
// a secret of this run) as its material: a change of the key ends it.
struct stWebBind {
    int used;
    int webKey;  // a login with qz_sv_HttpKey (name empty, level all)
    unsigned login;
    unsigned seq;
    unsigned lastTick;  // last request of the login; one unused for two digest periods is over
    int level;
    char name[WEB_ADMIN_NAME_MAX + 1];
    char material[2 * WEB_ADMIN_HASH + 1];
    // The login's one-time page numbers: the next to give, and which of the last
    // WEB_ACT_WINDOW given were used.
    unsigned actNext;
    unsigned char actUsed[WEB_ACT_WINDOW / 8];
};

// The audit record of the action being answered, written by the page's footer (so it is written
// before the page is sent, and carries the page's message as its answer).
struct stWebAudit {
    int pending;
    int result;  // QzAuditResult
    char action[32];
    char command[1024];
    char why[256];
    int slot;
    char name[64], guid[33], addr[48];
    int failed;  // the record could not be written: the page says so
};

// The page being written. Writers append at len and never pass WEB_PAGE_SIZE - 1 characters;
// text[len] is always the terminator.
struct stWebPage {
    int len;
    int cut;  // set once an append did not fit
    // Texts no page may show (the web key, the rcon password, the log password), set for each
    // request: the writers of outside text put "*****" where one of them stands.
    const char* secret[3];
    char text[WEB_PAGE_SIZE];
};

enum WebConnState {
    WEBC_FREE = 0,
    WEBC_READING = 1,  // request not complete yet
    WEBC_READY = 2,    // request complete, waiting for its turn to be answered
    WEBC_WRITING = 3,  // answer partly sent; the rest is in the connection's out text
};

// One connection of the pool.
struct stWebConn {
    int state;  // WebConnState
    int sock;
    unsigned acceptTick;
    unsigned seq;  // accept order, for choosing the oldest
    struct sockaddr_in addr;
    unsigned local;  // the address it came in on (network byte order), for the Host check
    unsigned fwd;    // behind a trusted proxy: the client it names, once the request is complete
    int len;         // bytes read into req
    int headerEnd;   // offset of the body once the blank line after the headers was read, else 0
    int bodyLen;     // Content-Length
    unsigned lastRecvTick;  // last bytes received, for choosing the longest idle connection
    char req[WEB_REQ_MAX + 1];
    // While WEBC_WRITING: the part of the page still to send. Only one connection at a time
    // writes from the page (w->page) while it is held; see stWeb::pageHeld.
    int outOff;
};

// Bad keys sent from one IPv4 address.
struct stWebLock {
    int used;
    unsigned addr;  // network byte order
    int bad;        // bad keys since firstTick
    unsigned firstTick;
    unsigned lastBadTick;
    int locked;
    unsigned lockTick;
    unsigned seq;  // last use, for replacing the oldest entry
    int loggedIn;  // a good key came from the address
    unsigned goodTick;
    unsigned
        lastDigest;  // fingerprint of the last wrong digest: a page sending it again counts once
};

// Bad keys that came through one trusted proxy, whatever client each named: the proxy's address
// as a whole has a budget too, since a client at the proxy's own address can name a new
// X-Forwarded-For address with every request.
struct stWebProxyBudget {
    unsigned addr;  // network byte order; 0: unused
    unsigned ticks[WEB_GUESS_MAX];
    int count;
    int next;
};

// What the listener found in the request's line and headers, for the request being answered.
struct stWebFacts {
    int get;        // not a POST: a browser may send it from a link, a picture or a refresh
    int crossSite;  // a browser marked it as sent from another site's page
    // The client behind a trusted proxy (X-Forwarded-For), network byte order; 0 when none.
    unsigned forwardedFor;
    int foreignHost;  // the Host header names a host the WebTool is not served as
    int bodyAt;       // offset in the form text where the posted body's fields begin
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
    char failedWhy[256];

    // Flooding addresses whose connection attempts the kernel drops (network byte order).
    unsigned blocked[WEB_BLOCK_MAX];
    unsigned blockedTick[WEB_BLOCK_MAX];
    int blockedCount;

    stWebConn conn[WEB_CONN_MAX];
    unsigned nextSeq;
    int nextServe;  // where the round-robin search for a complete request starts

    // The connection being answered: its address, "a.b.c.d:port" for the bad-key message.
    // Behind a trusted proxy, the client the proxy names.
    struct sockaddr_in client;
    char clientText[24];
    stWebFacts facts;

    // qz_sv_HttpProxies: blank-separated IPv4 addresses whose X-Forwarded-For is believed.
    char proxies[128];

    // Named administrators (admins.h) and their logins.
    stWebAdmins admins;
    stWebBind binds[WEB_BIND_MAX];
    unsigned bindSeq;
    // The request being answered: whether its key was checked (0 not yet, 1 good, 2 bad: the
    // Login Screen is written), who it is (level, and the name; "" for the web key), the binding
    // of its login (null for the web key), the result of its typed key's check by the checker
    // thread (matchValid set for this request; match -1 for none), and its origin.
    int keyState;
    int dispatching;  // web_dispatch is answering a request: keyState holds for all of it
    int level;
    char who[WEB_ADMIN_NAME_MAX + 1];
    const stWebBind* bind;
    int matchValid;
    stWebAdminMatch match;
    QzOrigin origin;
    stWebAudit audit;

    // Digest secrets: [0] the current one, [1] the one before (valid while prevValid); [2] and
    // [3] the two before that, which open nothing but tell an old page of a login from a guess.
    unsigned char secret[4][WEB_SECRET_SIZE];
    int prevValid;
    int knownSecrets;     // how many of secret[] have been drawn in this run
    unsigned secretTick;  // when secret[0] was drawn
    int secretReady;
    // Keys the fingerprint of qz_sv_HttpKey that its logins are bound to; drawn with the first
    // secret.
    unsigned char printSecret[WEB_SECRET_SIZE];
    // The system's random source could not give a secret: requests get "503" until it can.
    int noRandom;
    int noRandomTold;
    // The login number of the request being answered: a login with the key draws a new one, a
    // digest carries its own. The digests of the page being written are made with it.
    unsigned login;

    stWebLock locks[WEB_LOCK_MAX];
    unsigned lockSeq;
    // Bad keys from all addresses: the ticks of the last WEB_GUESS_MAX, a ring.
    unsigned guessTicks[WEB_GUESS_MAX];
    int guessCount;
    int guessNext;
    // Bad keys through each trusted proxy, and the proxy of the request being answered (0: none).
    stWebProxyBudget proxyBudget[WEB_PROXY_MAX];
    unsigned viaProxy;

    // qz_sv_HttpHosts: blank-separated host names (an optional ":port" each) the WebTool answers
    // as besides its own address and localhost, such as the name a proxy serves it under.
    char hosts[WEB_HOSTS_SIZE];

    // Module messages printed while an action ran (web_note_begin / web_note_end), one per
    // line, for the page's message area.
    int noting;
    int noteLen;
    char notes[WEB_NOTE_SIZE];
    int showNotes;  // the footer of the page being written shows the notes under the message
    int loginPage;  // the page being written is the Login Screen (no Log out button)
    // The next page's form is the Login Screen's: it asks the browser for UTF-8, so a key is
    // sent the same way whatever characters it holds (web_header reads and clears it).
    int loginForm;

    // The connection whose answer is being sent from the page over several frames (-1: none).
    // While it is set no other request is answered, so the page is not overwritten.
    int pageHeld;

    // The game's rcon password as read for the request being answered (a secret of the page).
    char rconNow[128];

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

// Opens, reopens or closes the listening socket to match qz_sv_HttpPort and qz_sv_HttpAddr. A
// new socket is opened before the old one is closed: when the new (port, address) cannot be
// listened on, the old socket keeps running. Returns false (with the reason in why, when given)
// when the wanted pair could not be opened.
bool webListenerSync(stQzSv* sv, char* why = nullptr, int whySize = 0);

// Called from start-up after the configuration was loaded: notes the start tick. The listener
// itself opens in the frame call.
void webStart(stQzSv* sv);
// One pass of the listener (frame call): keeps the listening socket in step with the settings,
// accepts and reads new connections, reads what has arrived, drops connections past their time
// limit, and answers complete requests, all within WEB_FRAME_BUDGET_US. Never blocks.
void webFrame(stQzSv* sv);
// Closes the listening socket and every connection (shut-down and restart).
void webShutdown(stQzSv* sv);

// The random source the WebTool draws its secrets, login numbers and salts from: OpenSSL's
// RAND_bytes unless a test sets another (one that fails shows what happens without a source).
// Returns 1 on success, as RAND_bytes does. Null restores RAND_bytes.
using WebRandomFn = int (*)(unsigned char* out, int n);
void webRandomSource(WebRandomFn fn);
