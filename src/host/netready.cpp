// The frame's readiness poll over the module's listening sockets (netready.h).
#include "host/netready.h"

#include <poll.h>

#include "host/state.h"

namespace {

// The sockets of the last poll that had nothing waiting; -1 once their mark was taken.
constexpr int kSockets = 3;
int g_idle[kSockets] = {-1, -1, -1};

}  // namespace

void netPollFrame(stQzSv* sv) {
    struct pollfd fds[kSockets];
    int n = 0;
    if (sv->web.listening && sv->web.listenSock >= 0) fds[n++] = {sv->web.listenSock, POLLIN, 0};
    if (sv->ucon.port.sock >= 0) fds[n++] = {sv->ucon.port.sock, POLLIN, 0};
    if (sv->remote.udp.fd > 0) fds[n++] = {sv->remote.udp.fd, POLLIN, 0};
    for (int& fd : g_idle) fd = -1;
    if (n == 0 || poll(fds, static_cast<nfds_t>(n), 0) < 0) return;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0) g_idle[i] = fds[i].fd;
    }
}

void netPollDone() {
    for (int& fd : g_idle) fd = -1;
}

bool netKnownIdle(int fd) {
    if (fd < 0) return false;
    for (int& idle : g_idle) {
        if (idle == fd) {
            idle = -1;
            return true;
        }
    }
    return false;
}
