// The WebTool listener: the listening socket's life, the fixed pool of connections whose requests
// are gathered across frame calls, their time limit, and the answering of one complete request
// per frame. Every socket is non-blocking; nothing here waits.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/net.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

constexpr char k404[] =
    "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nNot Found\n";
constexpr char k408[] =
    "HTTP/1.0 408 Request Timeout\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
    "Request Timeout\n";
constexpr char k413[] =
    "HTTP/1.0 413 Request Entity Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n"
    "\r\nRequest Entity Too Large\n";

// The listen queue holds the connections beyond what one frame accepts; the kernel caps it at
// its own maximum.
constexpr int kBacklog = 4096;

// Writes the whole answer if the socket takes it. The send buffer is first made large enough for
// the biggest page, so one write of a fresh connection's answer does not stop half-way; if it
// does, the browser gets a cut page rather than the frame waiting.
void sendAnswer(int sock, const char* text, int len) {
    if (len > 8192) {
        int size = WEB_PAGE_SIZE * 2;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
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
}

void closeConn(stWebConn* c) {
    close(c->sock);
    c->state = WEBC_FREE;
    c->sock = -1;
    c->len = 0;
    c->headerEnd = 0;
    c->bodyLen = 0;
    c->req[0] = 0;
}

// Drops a connection that never sent a request: a reset instead of an orderly close, which is
// cheaper for the kernel and leaves no connection state behind (a flood of silent connections
// is dropped this way many per frame).
void resetConn(stWebConn* c) {
    struct linger now = {1, 0};
    setsockopt(c->sock, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    closeConn(c);
}

void answerAndClose(stWebConn* c, const char* text, int len) {
    sendAnswer(c->sock, text, len);
    closeConn(c);
}

void closeListener(stWeb* w) {
    if (w->listening) close(w->listenSock);
    w->listening = 0;
    w->listenSock = -1;
}

// Opens the listening socket for (port, addr). Reports "%sListening for HTTP" either way.
void openListener(stQzSv* sv, int port, const char* addr) {
    stWeb* w = &sv->web;
    const char* bindText = *addr ? addr : "127.0.0.1";
    const char* why = nullptr;
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<unsigned short>(port));
    int sock = -1;
    if (inet_pton(AF_INET, bindText, &local.sin_addr) != 1) {
        why = "not a dotted IPv4 address";
    } else {
        // Close-on-exec keeps the socket out of programs the module starts (screenshots).
        sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(sock, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
            listen(sock, kBacklog) != 0) {
            why = strerror(errno);
            if (sock >= 0) close(sock);
            sock = -1;
        }
    }
    if (sock < 0) {
        w->failed = 1;
        w->failedPort = port;
        QZ_COPY(w->failedAddr, addr);
        svMsg(sv, "%sListening for HTTP", "Not ");
        svMsg(sv, "WebTool: cannot listen on %s:%d (%s)", bindText, port, why);
        return;
    }
    w->failed = 0;
    w->listening = 1;
    w->listenSock = sock;
    w->openPort = port;
    QZ_COPY(w->openAddr, addr);
    svMsg(sv, "%sListening for HTTP", "");
    svMsg(sv, "WebTool: http://%s:%d/qzsvweb", bindText, port);
}

// Keeps the listening socket in step with qz_sv_HttpPort and qz_sv_HttpAddr: port 0 closes it,
// a changed pair reopens it, and a pair that failed is not tried again until one of them changes.
void checkListener(stQzSv* sv) {
    stWeb* w = &sv->web;
    int port = sv->set.httpPort;
    const char* addr = sv->set.httpAddr;
    if (w->listening && w->openPort == port && strcmp(w->openAddr, addr) == 0) return;
    closeListener(w);
    if (port <= 0 || port > 65535) {
        w->failed = 0;
        return;
    }
    if (w->failed && w->failedPort == port && strcmp(w->failedAddr, addr) == 0) return;
    openListener(sv, port, addr);
}

// The slot for a new connection: a free one, else the oldest that has sent nothing, else the
// oldest still reading. Null when every slot holds a complete request waiting for its answer.
stWebConn* slotForNew(stWeb* w) {
    stWebConn* silent = nullptr;
    stWebConn* reading = nullptr;
    for (stWebConn& c : w->conn) {
        if (c.state == WEBC_FREE) return &c;
        if (c.state != WEBC_READING) continue;
        if (c.len == 0 && (!silent || c.seq < silent->seq)) silent = &c;
        if (!reading || c.seq < reading->seq) reading = &c;
    }
    stWebConn* victim = silent ? silent : reading;
    if (victim) resetConn(victim);
    return victim;
}

void acceptPending(stWeb* w, unsigned now) {
    for (int i = 0; i < WEB_ACCEPT_PER_FRAME; ++i) {
        struct sockaddr_in from;
        socklen_t fromLen = sizeof from;
        int sock = accept4(w->listenSock, reinterpret_cast<struct sockaddr*>(&from), &fromLen,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // nothing waiting (or out of descriptors): try again next frame
        }
        stWebConn* c = slotForNew(w);
        if (!c) {
            close(sock);
            continue;
        }
        c->state = WEBC_READING;
        c->sock = sock;
        c->acceptTick = now;
        c->seq = ++w->nextSeq;
        c->addr = from;
        c->len = 0;
        c->headerEnd = 0;
        c->bodyLen = 0;
        c->req[0] = 0;
    }
}

// One read on every connection that has data, then the time limit.
void readReady(stWeb* w, unsigned now) {
    struct pollfd fds[WEB_CONN_MAX];
    int index[WEB_CONN_MAX];
    int n = 0;
    for (int i = 0; i < WEB_CONN_MAX; ++i) {
        if (w->conn[i].state != WEBC_READING) continue;
        fds[n].fd = w->conn[i].sock;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        index[n++] = i;
    }
    if (n > 0 && poll(fds, static_cast<nfds_t>(n), 0) > 0) {
        for (int k = 0; k < n; ++k) {
            if (!fds[k].revents) continue;
            stWebConn* c = &w->conn[index[k]];
            ssize_t got =
                recv(c->sock, c->req + c->len, static_cast<size_t>(WEB_REQ_MAX - c->len), 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (got <= 0) {
                closeConn(c);  // the browser gave up, or the connection failed
                continue;
            }
            c->len += static_cast<int>(got);
            c->req[c->len] = 0;
            int scan = webScanRequest(c);
            if (scan == WEBS_COMPLETE) {
                c->state = WEBC_READY;
            } else if (scan == WEBS_TOO_LARGE) {
                answerAndClose(c, k413, sizeof k413 - 1);
            }
        }
    }
    for (stWebConn& c : w->conn) {
        if (c.state != WEBC_READING) continue;
        if (tickElapsed(now, c.acceptTick) < WEB_REQ_TIME_MS) continue;
        if (c.len > 0) {
            answerAndClose(&c, k408, sizeof k408 - 1);
        } else {
            resetConn(&c);
        }
    }
}

// Answers the next complete request after the one answered last (round robin).
void serveOne(stQzSv* sv) {
    stWeb* w = &sv->web;
    for (int k = 0; k < WEB_CONN_MAX; ++k) {
        int i = (w->nextServe + k) % WEB_CONN_MAX;
        stWebConn* c = &w->conn[i];
        if (c->state != WEBC_READY) continue;
        w->nextServe = (i + 1) % WEB_CONN_MAX;
        w->client = c->addr;
        adrStr(&c->addr, w->clientText);
        if (webRequestForm(c, w->form, qz::cap(w->form)) != WEBT_TOOL) {
            answerAndClose(c, k404, sizeof k404 - 1);
            return;
        }
        web_key_from_rcon(sv);
        web_dispatch(sv, w->form, &w->page);
        answerAndClose(c, w->page.text, w->page.len);
        return;
    }
}

}  // namespace

void webStart(stQzSv* sv) {
    sv->web.startTime = static_cast<long long>(qzTime());
    sv->web.listenSock = -1;
}

void webFrame(stQzSv* sv) {
    stWeb* w = &sv->web;
    checkListener(sv);
    unsigned now = GetTickCount();
    if (w->listening) acceptPending(w, now);
    readReady(w, now);
    serveOne(sv);
}

void webShutdown(stQzSv* sv) {
    stWeb* w = &sv->web;
    for (stWebConn& c : w->conn) {
        if (c.state != WEBC_FREE) closeConn(&c);
    }
    closeListener(w);
}
