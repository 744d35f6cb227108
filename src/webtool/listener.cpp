// The WebTool listener: the listening socket's life, the fixed pool of connections whose requests
// are gathered across frame calls, their time limits, and the answering of complete requests
// within a small time budget per frame. Every socket is non-blocking; nothing here waits.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "host/bridge.h"
#include "host/netready.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/net.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

// Every answer the listener writes itself carries the same safety headers as the pages.
#define WEB_PLAIN_HEAD(status)                                                     \
    "HTTP/1.0 " status                                                             \
    "\r\nContent-Type: text/plain; charset=utf-8\r\n"                              \
    "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n" \
    "Cache-Control: no-store\r\nConnection: close\r\n\r\n"

constexpr char k404[] = WEB_PLAIN_HEAD("404 Not Found") "Not Found\n";
constexpr char k408[] = WEB_PLAIN_HEAD("408 Request Timeout") "Request Timeout\n";
constexpr char k413[] = WEB_PLAIN_HEAD("413 Request Entity Too Large") "Request Entity Too Large\n";
constexpr char k503[] =
    WEB_PLAIN_HEAD("503 Service Unavailable") "Too many connections from your address\n";
constexpr char k503Full[] =
    WEB_PLAIN_HEAD("503 Service Unavailable") "The WebTool is busy: try again in a moment\n";
constexpr char k403[] =
    WEB_PLAIN_HEAD("403 Forbidden") "Refused: the request was sent from another site's page\n";
constexpr char k403Host[] = WEB_PLAIN_HEAD(
    "403 Forbidden") "Refused: the request names a host this WebTool is not served as "
                     "(qz_sv_HttpHosts lists the names it answers to)\n";
constexpr char k503Random[] = WEB_PLAIN_HEAD(
    "503 Service Unavailable") "The WebTool cannot draw a secret from the system's random "
                               "source: nothing is served until it can\n";
// The browser asks for an icon with every page; "no content" ends that without a 404 line in
// its console and without serving a file.
constexpr char k204[] =
    "HTTP/1.0 204 No Content\r\nCache-Control: max-age=86400\r\nConnection: close\r\n\r\n";

// The listen queue holds the connections beyond what one frame accepts; the kernel caps it at
// its own maximum.
constexpr int kBacklog = 4096;

// The frame budget is what the WebTool itself costs the game server: CPU time (the kernel's work
// for accept, read, write and close included), so time the machine gives to other programs does
// not make it stop early.
long long nowMicros() { return threadCpuMicros(); }

// Sends what the socket takes at once; returns the bytes sent (the rest waits for a later frame).
int sendSome(int sock, const char* text, int len) {
    int off = 0;
    while (off < len) {
        ssize_t n = send(sock, text + off, static_cast<size_t>(len - off), MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return off;
}

void closeConn(stWeb* w, stWebConn* c) {
    close(c->sock);
    if (w->pageHeld == static_cast<int>(c - w->conn)) w->pageHeld = -1;
    c->state = WEBC_FREE;
    c->sock = -1;
    c->len = 0;
    c->headerEnd = 0;
    c->bodyLen = 0;
    c->outOff = 0;
    c->req[0] = 0;
}

// Drops a connection that never sent a request: a reset instead of an orderly close, which is
// cheaper for the kernel and leaves no connection state behind.
void resetConn(stWeb* w, stWebConn* c) {
    struct linger now = {1, 0};
    setsockopt(c->sock, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    closeConn(w, c);
}

// Short answers of the listener's own (errors, icon): whatever the socket takes, then close.
void answerAndClose(stWeb* w, stWebConn* c, const char* text, int len) {
    sendSome(c->sock, text, len);
    closeConn(w, c);
}

void closeListener(stWeb* w) {
    if (w->listening) close(w->listenSock);
    w->listening = 0;
    w->listenSock = -1;
}

// A listening socket for (port, addr), or -1 with the reason in why.
int openSocket(int port, const char* addr, const char** why) {
    const char* bindText = *addr ? addr : "127.0.0.1";
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<unsigned short>(port));
    if (inet_pton(AF_INET, bindText, &local.sin_addr) != 1) {
        *why = "not a dotted IPv4 address";
        return -1;
    }
    // Close-on-exec keeps the socket out of programs the module starts (screenshots).
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(sock, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
        listen(sock, kBacklog) != 0) {
        *why = strerror(errno);
        if (sock >= 0) close(sock);
        return -1;
    }
    return sock;
}

// Installs on the listening socket a packet filter that drops the TCP packets of the blocked
// addresses (their connection attempts never reach the accept queue, so a flood costs the frame
// nothing), or removes it when none is blocked.
void applyFilter(stWeb* w) {
    if (!w->listening) return;
    if (w->blockedCount == 0) {
        int unused = 0;  // the kernel wants an int's room even here
        if (setsockopt(w->listenSock, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) == 0) {
            return;
        }
        // Where the filter cannot be removed (a user-mode emulator that does not pass this
        // option on), it is replaced by one that lets every packet through.
    }
    struct sock_filter code[WEB_BLOCK_MAX + 3];
    int n = w->blockedCount;
    // The IPv4 source address, then one comparison per blocked address; a match drops.
    code[0] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<unsigned>(SKF_NET_OFF) + 12);
    for (int i = 0; i < n; ++i) {
        code[1 + i] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(w->blocked[i]),
                               static_cast<unsigned char>(n - i), 0);
    }
    code[n + 1] = BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu);
    code[n + 2] = BPF_STMT(BPF_RET | BPF_K, 0);
    struct sock_fprog prog = {static_cast<unsigned short>(n + 3), code};
    setsockopt(w->listenSock, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
}

void blockAddress(stQzSv* sv, unsigned addr, unsigned now) {
    stWeb* w = &sv->web;
    for (int i = 0; i < w->blockedCount; ++i) {
        if (w->blocked[i] == addr) return;
    }
    int at = w->blockedCount < WEB_BLOCK_MAX ? w->blockedCount++ : 0;
    w->blocked[at] = addr;
    w->blockedTick[at] = now;
    applyFilter(w);
    char ip[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    svMsg(sv, "WebTool: %s opens connections faster than they are answered; refused for %d seconds",
          ip, WEB_BLOCK_TIME_MS / 1000);
}

// Lifts the blocks whose time is up.
void blockExpire(stQzSv* sv, unsigned now) {
    stWeb* w = &sv->web;
    bool changed = false;
    for (int i = 0; i < w->blockedCount;) {
        if (tickElapsed(now, w->blockedTick[i]) < WEB_BLOCK_TIME_MS) {
            ++i;
            continue;
        }
        w->blocked[i] = w->blocked[--w->blockedCount];
        w->blockedTick[i] = w->blockedTick[w->blockedCount];
        changed = true;
    }
    if (changed) applyFilter(w);
}

// Scratch room to read a refused newcomer's request into, to see whether it is a browser's
// request from another site (one module, one thread: one is enough).
stWebConn g_scratch;

// The local address a connection came in on (network byte order), 0 when unknown.
unsigned localOf(int sock) {
    struct sockaddr_in local {};
    socklen_t len = sizeof local;
    if (getsockname(sock, reinterpret_cast<struct sockaddr*>(&local), &len) != 0) return 0;
    return local.sin_addr.s_addr;
}

// The oldest connection of addr (any address when addr is 0) that has sent nothing yet. Every
// connection is read once as it is accepted, so it has had its chance to send.
stWebConn* oldestSilent(stWeb* w, unsigned addr) {
    stWebConn* best = nullptr;
    for (stWebConn& c : w->conn) {
        if (c.state != WEBC_READING || c.len != 0) continue;
        if (addr && c.addr.sin_addr.s_addr != addr) continue;
        if (!best || c.seq < best->seq) best = &c;
    }
    return best;
}

// Connections the address holds.
int heldBy(const stWeb* w, unsigned addr) {
    int n = 0;
    for (const stWebConn& c : w->conn) {
        if (c.state != WEBC_FREE && c.addr.sin_addr.s_addr == addr) n++;
    }
    return n;
}

// Why a new connection got no slot, for its answer.
enum { kRefusedShare = 1, kRefusedFull = 2 };

// The slot for a new connection from addr, or null when it gets "503" (why says which). An
// address holds at most WEB_CONN_PER_ADDR slots (a trusted proxy, which carries every user's
// requests, is not held to it): at its share, its own oldest silent connection makes room (so a
// browser that opened spare connections still gets its request in), otherwise the newcomer is
// refused. A full pool keeps room for an address that holds fewer slots than the busiest one,
// and for one that logged in recently: the connection that has been idle longest among those
// still being read (a silent one first, then a slow sender) of the address holding the most
// slots is closed. A complete request is never pushed out.
stWebConn* slotFor(stQzSv* sv, unsigned addr, int* why) {
    stWeb* w = &sv->web;
    const bool proxy = webAddrListed(w->proxies, addr);
    int held = 0;
    stWebConn* free = nullptr;
    for (stWebConn& c : w->conn) {
        if (c.state == WEBC_FREE) {
            if (!free) free = &c;
        } else if (c.addr.sin_addr.s_addr == addr) {
            held++;
        }
    }
    stWebConn* victim = nullptr;
    if (held >= WEB_CONN_PER_ADDR && !proxy) {
        victim = oldestSilent(w, addr);
        *why = kRefusedShare;
    } else if (free) {
        return free;
    } else {
        *why = kRefusedFull;
        // The address holding the most slots (not a proxy) gives up its longest idle one.
        int most = 0;
        unsigned mostAddr = 0;
        for (const stWebConn& c : w->conn) {
            unsigned a = c.addr.sin_addr.s_addr;
            if (a == addr || webAddrListed(w->proxies, a)) continue;
            int n = heldBy(w, a);
            if (n > most) {
                most = n;
                mostAddr = a;
            }
        }
        bool entitled = held < most || (held <= most && web_recent_login(sv, addr)) || proxy;
        if (most > 0 && entitled) {
            for (stWebConn& c : w->conn) {
                if (c.addr.sin_addr.s_addr != mostAddr || c.state != WEBC_READING) continue;
                bool better = !victim || (c.len == 0 && victim->len != 0) ||
                              ((c.len == 0) == (victim->len == 0) &&
                               tickElapsed(victim->lastRecvTick, c.lastRecvTick) > 0);
                if (better) victim = &c;
            }
        }
    }
    if (victim) resetConn(w, victim);
    return victim;
}

// What a complete request says about itself, before it waits for its turn: a request a browser
// sent from another site's page, or to a host name the WebTool is not served as, is refused at
// once, so it holds no place of its address's share while it waits (a hostile page in the
// administrator's own browser cannot crowd out his own requests); behind a trusted proxy, a
// client holding its share of the pool already is refused, as a direct address would be.
// Returns true when the connection was answered and closed.
bool refusedEarly(stQzSv* sv, stWebConn* c) {
    stWeb* w = &sv->web;
    const bool proxy = webAddrListed(w->proxies, c->addr.sin_addr.s_addr);
    stWebFacts facts{};
    webRequestFacts(c, proxy, &facts);
    if (facts.crossSite) {
        answerAndClose(w, c, k403, sizeof k403 - 1);
        return true;
    }
    if (!webHostServed(c, w->hosts, c->local)) {
        answerAndClose(w, c, k403Host, sizeof k403Host - 1);
        return true;
    }
    c->fwd = facts.forwardedFor;
    if (!proxy || !c->fwd) return false;
    int held = 0;
    for (const stWebConn& o : w->conn) {
        if (&o == c || o.state == WEBC_FREE || o.state == WEBC_READING) continue;
        if (o.addr.sin_addr.s_addr == c->addr.sin_addr.s_addr && o.fwd == c->fwd) held++;
    }
    if (held < WEB_CONN_PER_ADDR) return false;
    answerAndClose(w, c, k503, sizeof k503 - 1);
    return true;
}

// One read into the connection; the request is then complete, still coming, or over.
void readConn(stQzSv* sv, stWebConn* c) {
    stWeb* w = &sv->web;
    ssize_t got = recv(c->sock, c->req + c->len, static_cast<size_t>(WEB_REQ_MAX - c->len), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got <= 0) {
        closeConn(w, c);  // the browser gave up, or the connection failed
        return;
    }
    c->len += static_cast<int>(got);
    c->req[c->len] = 0;
    c->lastRecvTick = GetTickCount();
    int scan = webScanRequest(c);
    if (scan == WEBS_COMPLETE) {
        if (!refusedEarly(sv, c)) c->state = WEBC_READY;
    } else if (scan == WEBS_TOO_LARGE) {
        answerAndClose(w, c, k413, sizeof k413 - 1);
    }
}

// Accepts while connections wait and the budget lasts. Each new connection is read at once
// (a browser sends its request with the connection), so a connection is always read before
// anything is decided about it; one that finds no slot is read and then answered "503" (the first
// of the frame) or reset (the others).
void acceptPending(stQzSv* sv, unsigned now, long long deadline) {
    stWeb* w = &sv->web;
    bool told = false;
    // Refusals of this frame by address: an address refused WEB_FLOOD_REFUSALS times in one
    // frame is flooding, and its connection attempts are dropped by the kernel for a while.
    unsigned refusedAddr[4] = {0, 0, 0, 0};
    int refusedCount[4] = {0, 0, 0, 0};
    while (nowMicros() < deadline) {
        struct sockaddr_in from;
        socklen_t fromLen = sizeof from;
        int sock = accept4(w->listenSock, reinterpret_cast<struct sockaddr*>(&from), &fromLen,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // nothing waiting (or out of descriptors): try again next frame
        }
        int why = 0;
        stWebConn* c = slotFor(sv, from.sin_addr.s_addr, &why);
        if (!c) {
            // Read, then reset: the cheapest way to be rid of it (no answer, no closing
            // handshake, no connection state left), which matters when one address sends
            // hundreds a second. The first one of a frame is told why.
            stWebConn* s = &g_scratch;
            s->sock = sock;
            s->addr = from;
            s->len = 0;
            s->headerEnd = 0;
            s->bodyLen = 0;
            ssize_t got = recv(sock, s->req, WEB_REQ_MAX, 0);
            if (got > 0) {
                s->len = static_cast<int>(got);
                s->req[s->len] = 0;
            }
            // A request from another site's page (or to a foreign host name) is refused as such
            // and costs its address nothing: a hostile page in the administrator's browser must
            // not get his address blocked.
            bool foreign = false;
            if (s->len > 0 && webScanRequest(s) != WEBS_MORE && s->headerEnd > 0) {
                stWebFacts facts{};
                webRequestFacts(s, false, &facts);
                foreign = facts.crossSite || !webHostServed(s, w->hosts, localOf(sock));
            }
            // A trusted proxy carries everyone's requests: it is never blocked.
            bool proxy = webAddrListed(w->proxies, from.sin_addr.s_addr);
            for (int k = 0; k < 4 && !foreign && !proxy; ++k) {
                if (refusedCount[k] && refusedAddr[k] != from.sin_addr.s_addr) continue;
                refusedAddr[k] = from.sin_addr.s_addr;
                if (++refusedCount[k] == WEB_FLOOD_REFUSALS)
                    blockAddress(sv, from.sin_addr.s_addr, now);
                break;
            }
            if (foreign) {
                sendSome(sock, k403, sizeof k403 - 1);
                close(sock);
                continue;
            }
            if (!told) {
                if (why == kRefusedFull) {
                    sendSome(sock, k503Full, sizeof k503Full - 1);
                } else {
                    sendSome(sock, k503, sizeof k503 - 1);
                }
                told = true;
                close(sock);
                continue;
            }
            struct linger reset = {1, 0};
            setsockopt(sock, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(sock);
            continue;
        }
        c->state = WEBC_READING;
        c->sock = sock;
        c->acceptTick = now;
        c->lastRecvTick = now;
        c->seq = ++w->nextSeq;
        c->addr = from;
        c->local = localOf(sock);
        c->fwd = 0;
        c->len = 0;
        c->headerEnd = 0;
        c->bodyLen = 0;
        c->outOff = 0;
        c->req[0] = 0;
        readConn(sv, c);
    }
}

// One read on every connection that has data, more of a held answer, then the time limits.
void readReady(stQzSv* sv, unsigned now) {
    stWeb* w = &sv->web;
    struct pollfd fds[WEB_CONN_MAX];
    int index[WEB_CONN_MAX];
    int n = 0;
    for (int i = 0; i < WEB_CONN_MAX; ++i) {
        int state = w->conn[i].state;
        if (state != WEBC_READING && state != WEBC_WRITING) continue;
        fds[n].fd = w->conn[i].sock;
        fds[n].events = state == WEBC_READING ? POLLIN : POLLOUT;
        fds[n].revents = 0;
        index[n++] = i;
    }
    if (n > 0 && poll(fds, static_cast<nfds_t>(n), 0) > 0) {
        for (int k = 0; k < n; ++k) {
            if (!fds[k].revents) continue;
            stWebConn* c = &w->conn[index[k]];
            if (c->state == WEBC_READING) {
                readConn(sv, c);
                continue;
            }
            c->outOff += sendSome(c->sock, w->page.text + c->outOff, w->page.len - c->outOff);
            if (c->outOff >= w->page.len || (fds[k].revents & (POLLERR | POLLHUP))) closeConn(w, c);
        }
    }
    for (stWebConn& c : w->conn) {
        if (c.state != WEBC_READING && c.state != WEBC_WRITING) continue;
        if (tickElapsed(now, c.acceptTick) < WEB_REQ_TIME_MS) continue;
        if (c.state == WEBC_READING && c.len > 0) {
            answerAndClose(w, &c, k408, sizeof k408 - 1);
        } else if (c.state == WEBC_READING) {
            resetConn(w, &c);
        } else {
            closeConn(w, &c);  // a reader that does not read: the rest of the page is dropped
        }
    }
}

// True when the request asks for the browser's icon.
bool asksIcon(const stWebConn* c) {
    const char* p = strchr(c->req, ' ');
    return p && strncmp(p + 1, "/favicon.ico", 12) == 0 && (p[13] == ' ' || p[13] == '?');
}

enum ServeOutcome {
    SERVE_DONE = 0,  // answered (or answering over several frames)
    SERVE_HELD = 1,  // the page is held by an answer still being sent: no request now
    SERVE_WAIT = 2,  // its typed key is with the key checker: asked again in a later frame
};

// Answers one complete request.
int serve(stQzSv* sv, stWebConn* c, unsigned now) {
    stWeb* w = &sv->web;
    if (asksIcon(c)) {
        answerAndClose(w, c, k204, sizeof k204 - 1);
        return SERVE_DONE;
    }
    if (w->pageHeld >= 0) return SERVE_HELD;
    w->client = c->addr;
    const bool proxy = webAddrListed(w->proxies, c->addr.sin_addr.s_addr);
    webRequestFacts(c, proxy, &w->facts);
    // Behind a trusted proxy the client is the one the proxy names: lockouts apply to him, and
    // the proxy's own budget to all of them together.
    w->viaProxy = proxy ? c->addr.sin_addr.s_addr : 0;
    if (w->facts.forwardedFor) {
        w->client.sin_addr.s_addr = w->facts.forwardedFor;
        w->client.sin_port = 0;
    }
    adrStr(&w->client, w->clientText);
    if (webRequestForm(c, w->form, qz::cap(w->form), &w->facts.bodyAt) != WEBT_TOOL) {
        answerAndClose(w, c, k404, sizeof k404 - 1);
        return SERVE_DONE;
    }
    // Digests and login numbers come from the random source: without it nothing is served.
    if (!web_secrets_ready(sv)) {
        if (!w->noRandomTold)
            svMsg(sv, "WebTool: the system's random source gives no secret; not serving");
        w->noRandomTold = 1;
        answerAndClose(w, c, k503Random, sizeof k503Random - 1);
        return SERVE_DONE;
    }
    w->noRandomTold = 0;
    // Refused before its key is looked at: it neither acts nor counts as a guess.
    if (w->facts.crossSite) {
        answerAndClose(w, c, k403, sizeof k403 - 1);
        return SERVE_DONE;
    }
    web_key_from_rcon(sv);
    // The administrators' file as it is now (one lstat; read again only when it changed): an
    // administrator removed or demoted by any means is logged out at his next request.
    web_admins_sync(sv);
    // A typed key that may be a named administrator's is checked by the key checker thread
    // (scrypt takes tens of milliseconds): the request waits, complete, for a later frame.
    if (web_admin_wait(sv, w->form, c->seq)) return SERVE_WAIT;
    web_dispatch(sv, w->form, &w->page);
    w->matchValid = 0;
    // The send buffer is made large enough for the page first, so that nearly every page goes
    // out in one write; what does not is sent from the page in later frames, and no other
    // request is answered (the page is not rewritten) until it has gone or its time is up.
    if (w->page.len > 8192) {
        int size = w->page.len + 4096;
        setsockopt(c->sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    c->outOff = sendSome(c->sock, w->page.text, w->page.len);
    if (c->outOff >= w->page.len) {
        closeConn(w, c);
    } else {
        c->state = WEBC_WRITING;
        c->acceptTick = now;
        w->pageHeld = static_cast<int>(c - w->conn);
    }
    return SERVE_DONE;
}

// Answers complete requests round robin from the slot after the last one answered, while the
// budget lasts. Round robin over slots is fair between addresses, since each holds only
// WEB_CONN_PER_ADDR slots.
void serveReady(stQzSv* sv, unsigned now, long long deadline) {
    stWeb* w = &sv->web;
    // The clock is read only before a request is answered: reading the thread's CPU clock is a
    // system call, too dear to make for every slot looked at. The pass starts where the last
    // one stopped and looks at every slot once, so no complete request is passed over.
    const int start = w->nextServe;
    for (int k = 0; k < WEB_CONN_MAX; ++k) {
        int i = (start + k) % WEB_CONN_MAX;
        stWebConn* c = &w->conn[i];
        if (c->state != WEBC_READY) continue;
        if (nowMicros() >= deadline) return;
        int outcome = serve(sv, c, now);
        if (outcome == SERVE_HELD) return;
        if (outcome == SERVE_WAIT) continue;
        w->nextServe = (i + 1) % WEB_CONN_MAX;
    }
}

}  // namespace

bool webListenerSync(stQzSv* sv, char* why, int whySize) {
    stWeb* w = &sv->web;
    int port = sv->set.httpPort;
    const char* addr = sv->set.httpAddr;
    if (why && whySize > 0) why[0] = 0;
    if (w->listening && w->openPort == port && strcmp(w->openAddr, addr) == 0) return true;
    if (port <= 0 || port > 65535) {
        closeListener(w);
        w->failed = 0;
        return true;
    }
    if (w->failed && w->failedPort == port && strcmp(w->failedAddr, addr) == 0) {
        if (why && whySize > 0) trcpyz(why, w->failedWhy, whySize - 1);
        return false;
    }
    const char* reason = "";
    const char* bindText = *addr ? addr : "127.0.0.1";
    int sock = openSocket(port, addr, &reason);
    if (sock < 0) {
        // The old socket, if any, keeps running: the WebTool stays reachable where it was.
        w->failed = 1;
        w->failedPort = port;
        QZ_COPY(w->failedAddr, addr);
        QZ_TRF(w->failedWhy, "cannot listen on %s:%d (%s)", bindText, port, reason);
        svMsg(sv, "%sListening for HTTP", "Not ");
        svMsg(sv, "WebTool: %s%s", w->failedWhy,
              w->listening ? "; still listening where it was" : "");
        if (why && whySize > 0) trcpyz(why, w->failedWhy, whySize - 1);
        return false;
    }
    closeListener(w);
    w->failed = 0;
    w->listening = 1;
    w->listenSock = sock;
    w->blockedCount = 0;  // a new socket starts without a filter
    w->openPort = port;
    QZ_COPY(w->openAddr, addr);
    svMsg(sv, "%sListening for HTTP", "");
    svMsg(sv, "WebTool: http://%s:%d/qzsvweb", bindText, port);
    return true;
}

void webStart(stQzSv* sv) {
    sv->web.startTime = static_cast<long long>(qzTime());
    sv->web.listenSock = -1;
    sv->web.pageHeld = -1;
    // New secrets at every start: no digest of an earlier run opens anything.
    web_key_reset(sv);
    web_admins_sync(sv);
}

void webFrame(stQzSv* sv) {
    stWeb* w = &sv->web;
    const long long deadline = nowMicros() + WEB_FRAME_BUDGET_US;
    webListenerSync(sv);
    unsigned now = GetTickCount();
    // Answer what is complete first, so that waiting requests are not starved by new ones;
    // then take in new connections, read, and answer what that completed.
    serveReady(sv, now, deadline);
    if (w->listening && !netKnownIdle(w->listenSock)) acceptPending(sv, now, deadline);
    blockExpire(sv, now);
    readReady(sv, now);
    serveReady(sv, now, deadline);
}

void webShutdown(stQzSv* sv) {
    stWeb* w = &sv->web;
    for (stWebConn& c : w->conn) {
        if (c.state != WEBC_FREE) closeConn(w, &c);
    }
    w->pageHeld = -1;
    closeListener(w);
    webAdminCheckStop();
}
