// Non-blocking name resolution through getaddrinfo_a.
#include "remote/resolve.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "util/text.h"

int resolveStart(stQzResolve* r, const char* name) {
    // A running lookup is never abandoned here: callers wait for it or cancel it first.
    if (r->state == QZ_RES_PENDING) return r->state;
    memset(&r->address, 0, sizeof r->address);
    r->address.sin_family = AF_INET;
    trcpyz(r->name, name ? name : "", qz::cap(r->name) - 1);
    if (!r->name[0]) return r->state = QZ_RES_FAILED;
    if (inet_pton(AF_INET, r->name, &r->address.sin_addr) == 1) return r->state = QZ_RES_DONE;
    memset(&r->request, 0, sizeof r->request);
    memset(&r->hints, 0, sizeof r->hints);
    r->hints.ai_family = AF_INET;
    r->hints.ai_socktype = SOCK_DGRAM;
    r->request.ar_name = r->name;
    r->request.ar_request = &r->hints;
    r->list[0] = &r->request;
    sigevent none;
    memset(&none, 0, sizeof none);
    none.sigev_notify = SIGEV_NONE;
    if (getaddrinfo_a(GAI_NOWAIT, r->list, 1, &none) != 0) return r->state = QZ_RES_FAILED;
    return r->state = QZ_RES_PENDING;
}

int resolvePoll(stQzResolve* r) {
    if (r->state != QZ_RES_PENDING) return r->state;
    int err = gai_error(&r->request);
    if (err == EAI_INPROGRESS) return r->state;
    addrinfo* found = r->request.ar_result;
    r->state = QZ_RES_FAILED;
    if (err == 0) {
        for (addrinfo* a = found; a; a = a->ai_next) {
            if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
            r->address.sin_addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            r->state = QZ_RES_DONE;
            break;
        }
    }
    if (found) freeaddrinfo(found);
    r->request.ar_result = nullptr;
    return r->state;
}

bool resolveCancel(stQzResolve* r, int waitMs) {
    if (r->state != QZ_RES_PENDING) {
        r->state = QZ_RES_IDLE;
        return true;
    }
    if (gai_cancel(&r->request) != EAI_CANCELED) {
        // Already in the resolver's hands: wait for it, in short steps up to the limit.
        for (int waited = 0; gai_error(&r->request) == EAI_INPROGRESS; waited += 10) {
            if (waited >= waitMs) return false;
            timespec step = {0, 10 * 1000 * 1000};
            const gaicb* wait[1] = {&r->request};
            gai_suspend(wait, 1, &step);
        }
    }
    if (gai_error(&r->request) == 0 && r->request.ar_result) freeaddrinfo(r->request.ar_result);
    r->request.ar_result = nullptr;
    r->state = QZ_RES_IDLE;
    return true;
}
