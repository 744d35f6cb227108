// The UCON client exchange (docs/ucon.md).
#include "qzucon/client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/ucon_wire.h"

namespace {

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void sendText(UconClient* c, const char* text) {
    char pkt[QZ_UCON_PACKET_MAX + 1];
    int n = uconPacketBuild(pkt, sizeof pkt, text, static_cast<int>(strlen(text)));
    if (n > 0) send(c->sock, pkt, static_cast<size_t>(n), 0);
}

// Waits for one UCON packet; returns its text length (text terminated), 0 on time-out.
int recvPacket(UconClient* c, char* text, int size, long long deadline) {
    for (;;) {
        long long left = deadline - nowMs();
        if (left < 0) return 0;
        pollfd p{c->sock, POLLIN, 0};
        // The server's frames run (through pump) only while nothing waits to be read, as a
        // client that reads all the time would see them.
        if (poll(&p, 1, 0) <= 0) {
            if (c->pump) c->pump(c->pumpArg);
            int wait = c->pump ? 1 : static_cast<int>(left);
            if (poll(&p, 1, wait) <= 0) continue;
        }
        char pkt[QZ_UCON_PACKET_MAX + 1];
        ssize_t n = recv(c->sock, pkt, sizeof pkt - 1, 0);
        if (n < QZ_UCON_PREFIX_LEN || memcmp(pkt, QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN) != 0)
            continue;
        int len = static_cast<int>(n) - QZ_UCON_PREFIX_LEN;
        if (len >= size) continue;
        memcpy(text, pkt + QZ_UCON_PREFIX_LEN, static_cast<size_t>(len));
        text[len] = 0;
        return len > 0 ? len : 0;
    }
}

void randomHex(char* out, int bytes) {
    unsigned char raw[32];
    if (getrandom(raw, static_cast<size_t>(bytes), 0) != bytes) {
        for (int i = 0; i < bytes; ++i) raw[i] = static_cast<unsigned char>(rand());
    }
    for (int i = 0; i < bytes; ++i) snprintf(out + 2 * i, 3, "%02x", raw[i]);
}

}  // namespace

bool uconClientConnect(UconClient* c, const char* hostPort, const char* user,
                       const char* password) {
    snprintf(c->label, sizeof c->label, "%s", hostPort);
    snprintf(c->user, sizeof c->user, "%s", user);
    snprintf(c->password, sizeof c->password, "%s", password);
    char host[80];
    snprintf(host, sizeof host, "%s", hostPort);
    char* colon = strrchr(host, ':');
    if (!colon || !colon[1]) {
        snprintf(c->error, sizeof c->error, "expected HOST:PORT");
        return false;
    }
    *colon = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, colon + 1, &hints, &res);
    if (rc != 0 || !res) {
        snprintf(c->error, sizeof c->error, "cannot resolve: %s", gai_strerror(rc));
        return false;
    }
    memcpy(&c->server, res->ai_addr, sizeof c->server);
    freeaddrinfo(res);
    c->sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (c->sock < 0 || connect(c->sock, reinterpret_cast<sockaddr*>(&c->server), sizeof c->server)) {
        snprintf(c->error, sizeof c->error, "cannot make a socket");
        return false;
    }
    return true;
}

bool uconClientLogin(UconClient* c, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    char text[QZ_UCON_PACKET_MAX + 1];
    char hello[80];
    snprintf(hello, sizeof hello, "HELLO %s", c->user);
    char nonce[QZ_UCON_NONCE_MAX + 1];
    randomHex(nonce, 16);
    int tries = 0;
    long long resendAt = 0;
    char challenge[QZ_UCON_CHALLENGE] = "";
    while (nowMs() < deadline) {
        if (!challenge[0] && nowMs() >= resendAt) {
            sendText(c, hello);  // UDP: asked again every second until answered
            resendAt = nowMs() + 1000;
            tries++;
        }
        long long until = challenge[0] ? deadline : (resendAt < deadline ? resendAt : deadline);
        int n = recvPacket(c, text, sizeof text, until);
        if (n == 0) continue;
        UconField f[5];
        int count = uconSplit(text, n, f, 5);
        if (count >= 2 && uconIs(f[0], "CHAL") && uconHex(f[1], 32, 32)) {
            uconCopy(f[1], challenge, sizeof challenge);
            char proof[33];
            uconProof(c->password, c->user, challenge, nonce, proof);
            char login[200];
            snprintf(login, sizeof login, "LOGIN %s %s %s %s", c->user, challenge, nonce, proof);
            sendText(c, login);
            uconSessionKey(c->password, challenge, nonce, c->key);
        } else if (count >= 1 && uconIs(f[0], "DENY")) {
            const char* why = n > 5 ? text + 5 : "refused";
            snprintf(c->error, sizeof c->error, "%.150s", why);
            return false;
        } else if (count == 5 && uconIs(f[0], "OPEN") && challenge[0] && uconSignedOk(f, c->key)) {
            uconCopy(f[1], c->sid, sizeof c->sid);
            c->lastIn = static_cast<unsigned>(strtoul(f[2].p, nullptr, 10));
            c->open = true;
            return true;
        }
    }
    snprintf(c->error, sizeof c->error, "no answer after %d tries (is UCON enabled on that port?)",
             tries);
    return false;
}

bool uconClientSend(UconClient* c, const char* text) {
    if (!c->open) return false;
    char pkt[QZ_UCON_PACKET_MAX + 1];
    int n = uconSigned(pkt, sizeof pkt, "CMD", c->sid, ++c->seq, c->key, text,
                       static_cast<int>(strlen(text)));
    if (n <= 0) {
        snprintf(c->error, sizeof c->error, "command too long");
        return false;
    }
    return send(c->sock, pkt, static_cast<size_t>(n), 0) == n;
}

int uconClientRecv(UconClient* c, char* line, int size, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    char text[QZ_UCON_PACKET_MAX + 1];
    for (;;) {
        if (c->pendingAt < c->pendingLen) {
            const char* body = c->pending + c->pendingAt;
            const char* nl = static_cast<const char*>(
                memchr(body, '\n', static_cast<size_t>(c->pendingLen - c->pendingAt)));
            int len = nl ? static_cast<int>(nl - body) : c->pendingLen - c->pendingAt;
            c->pendingAt += len + 1;
            if (len >= 6 && memcmp(body, "QZSV: ", 6) == 0) {
                body += 6;
                len -= 6;
            }
            snprintf(line, static_cast<size_t>(size), "%.*s", len, body);
            return 1;
        }
        int n = recvPacket(c, text, sizeof text, deadline);
        if (n == 0) return 0;
        UconField f[5];
        if (uconSplit(text, n, f, 5) != 5 || !uconIs(f[1], c->sid) || !uconSignedOk(f, c->key))
            continue;  // not ours, or altered on the way
        unsigned seq = static_cast<unsigned>(strtoul(f[2].p, nullptr, 10));
        if (seq <= c->lastIn) continue;  // replayed
        c->lastIn = seq;
        if (uconIs(f[0], "END")) {
            snprintf(c->error, sizeof c->error, "session ended by the server (%.*s)", f[4].n,
                     f[4].p);
            c->open = false;
            return -1;
        }
        if (!uconIs(f[0], "MSG")) continue;
        memcpy(c->pending, f[4].p, static_cast<size_t>(f[4].n));
        c->pendingLen = f[4].n;
        c->pendingAt = 0;
        if (c->pendingLen == 0) c->pending[c->pendingLen++] = '\n';  // one empty line
        c->pending[c->pendingLen] = 0;
    }
}

void uconClientClose(UconClient* c) {
    if (c->open) uconClientSend(c, "qzuconexit");
    c->open = false;
    if (c->sock >= 0) close(c->sock);
    c->sock = -1;
}
