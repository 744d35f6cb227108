// The module's UDP socket: bind, non-blocking receive and send.
#include "remote/udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/bridge.h"
#include "media/diag.h"
#include "util/net.h"

bool udpOpen(stQzSv* sv, stQzUdp* udp, const char* address, unsigned port, const char* prefix) {
    udpClose(udp);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &at.sin_addr) != 1) {
        if (fd >= 0) close(fd);
        svMsg(sv, "ERROR: Bind to UDP port %lu failed {%d}\n", static_cast<unsigned long>(port),
              EINVAL);
        return false;
    }
    if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        svMsg(sv, "ERROR: Bind to UDP port %lu failed {%d}\n", static_cast<unsigned long>(port),
              err);
        return false;
    }
    // A module update arrives in bursts of blocks; a larger receive buffer lets a burst wait
    // for the next frame instead of being dropped. The kernel caps the request.
    int bytes = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    socklen_t len = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
    udp->fd = fd;
    udp->port = ntohs(at.sin_port);
    svMsg(sv, "%sListening for UDP on %u", prefix ? prefix : "", udp->port);
    return true;
}

void udpClose(stQzUdp* udp) {
    if (udp->fd > 0) close(udp->fd);
    udp->fd = -1;
    udp->port = 0;
}

int udpRecv(stQzUdp* udp, char* buf, int size, sockaddr_in* from) {
    if (udp->fd <= 0) return 0;
    // An empty datagram carries nothing the module reads: it is taken off the queue and the
    // next one read, so that empty datagrams cannot end a frame's reading early. The bound keeps
    // a flood of them from holding the frame.
    for (int skipped = 0; skipped < QZ_UDP_EMPTY_MAX; ++skipped) {
        int fromLength = sizeof *from;
        int n = recvFrom(udp->fd, buf, size, reinterpret_cast<sockaddr*>(from), &fromLength);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        diagDatagramIn("udp", from, buf, n);
        if (n > 0) return n;
    }
    return 0;
}

int udpSend(stQzUdp* udp, const sockaddr_in* to, const char* data, int length) {
    if (udp->fd <= 0) return -1;
    diagDatagramOut("udp", to, data, length);
    ssize_t n = sendto(udp->fd, data, static_cast<size_t>(length), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(to), sizeof *to);
    if (n == length) return 1;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) return 0;
    return -1;
}
