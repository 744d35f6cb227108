// Non-blocking name resolution through getaddrinfo_a.
#include "remote/resolve.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "util/text.h"

// Everything the resolver thread reads or writes while a lookup runs: the request, the list
// handed to getaddrinfo_a, the hints and the name.
struct stQzLookup {
    gaicb request;
    gaicb* list[1];
    addrinfo hints;
    char name[256];
    stQzLookup* next;  // on the abandoned list
};

namespace {

// Lookups given up while the resolver still worked on them. The list is process-wide, not part
// of the module's state: it outlives a shut-down or restart, and the blocks on it are leaked
// rather than freed if the process ends (or the module is unloaded) before the resolver lets
// go, since only the resolver's own thread may still write into them. Touched only from the
// thread that calls the module.
stQzLookup* gAbandoned = nullptr;

void freeLookup(stQzLookup* job) {
    if (job->request.ar_result) freeaddrinfo(job->request.ar_result);
    free(job);
}

}  // namespace

int resolveReapAbandoned() {
    int running = 0;
    for (stQzLookup** at = &gAbandoned; *at;) {
        stQzLookup* job = *at;
        if (gai_error(&job->request) == EAI_INPROGRESS) {
            running++;
            at = &job->next;
            continue;
        }
        *at = job->next;
        freeLookup(job);
    }
    return running;
}

int resolveStart(stQzResolve* r, const char* name) {
    // A running lookup is never restarted here: callers wait for it or cancel it first.
    if (r->state == QZ_RES_PENDING) return r->state;
    if (gAbandoned) resolveReapAbandoned();
    r->job = nullptr;
    memset(&r->address, 0, sizeof r->address);
    r->address.sin_family = AF_INET;
    trcpyz(r->name, name ? name : "", qz::cap(r->name) - 1);
    if (!r->name[0]) return r->state = QZ_RES_FAILED;
    if (inet_pton(AF_INET, r->name, &r->address.sin_addr) == 1) return r->state = QZ_RES_DONE;
    auto* job = static_cast<stQzLookup*>(calloc(1, sizeof(stQzLookup)));
    if (!job) return r->state = QZ_RES_FAILED;
    memcpy(job->name, r->name, sizeof job->name);
    job->hints.ai_family = AF_INET;
    job->hints.ai_socktype = SOCK_DGRAM;
    job->request.ar_name = job->name;
    job->request.ar_request = &job->hints;
    job->list[0] = &job->request;
    sigevent none;
    memset(&none, 0, sizeof none);
    none.sigev_notify = SIGEV_NONE;
    if (getaddrinfo_a(GAI_NOWAIT, job->list, 1, &none) != 0) {
        free(job);
        return r->state = QZ_RES_FAILED;
    }
    r->job = job;
    return r->state = QZ_RES_PENDING;
}

int resolvePoll(stQzResolve* r) {
    if (r->state != QZ_RES_PENDING) return r->state;
    stQzLookup* job = r->job;
    if (!job) return r->state = QZ_RES_FAILED;
    int err = gai_error(&job->request);
    if (err == EAI_INPROGRESS) return r->state;
    r->state = QZ_RES_FAILED;
    if (err == 0) {
        for (addrinfo* a = job->request.ar_result; a; a = a->ai_next) {
            if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
            r->address.sin_addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            r->state = QZ_RES_DONE;
            break;
        }
    }
    freeLookup(job);
    r->job = nullptr;
    return r->state;
}

void resolveCancel(stQzResolve* r) {
    stQzLookup* job = r->state == QZ_RES_PENDING ? r->job : nullptr;
    r->job = nullptr;
    r->state = QZ_RES_IDLE;
    if (job) {
        // A request still queued is taken off the queue and is ours again; one the resolver has
        // begun stays its own until gai_error stops answering EAI_INPROGRESS.
        if (gai_cancel(&job->request) == EAI_CANCELED ||
            gai_error(&job->request) != EAI_INPROGRESS) {
            freeLookup(job);
        } else {
            job->next = gAbandoned;
            gAbandoned = job;
        }
    }
    if (gAbandoned) resolveReapAbandoned();
}
