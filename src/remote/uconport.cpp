// The UCON port. Non-blocking: a frame reads until its time budget is spent (and at most
// QZ_UCON_PER_FRAME datagrams), so a flood costs a bounded slice of each frame and the rest
// waits in the system's buffer.
#include "remote/uconport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/bridge.h"
#include "host/netready.h"
#include "host/state.h"
#include "media/diag.h"
#include "remote/ucon.h"
#include "util/clock.h"
#include "util/net.h"

namespace {

constexpr int kBatch = QZ_UCON_BATCH;

bool open(stQzSv* sv, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        svMsg(sv, "ERROR: Bind to UDP port %lu failed {%d}", static_cast<unsigned long>(port),
              errno);
        ::close(fd);
        return false;
    }
    // A flood that outlasts a frame's budget waits in the buffer instead of being dropped; the
    // kernel caps the request.
    int bytes = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    sv->ucon.port.sock = fd;
    sv->ucon.port.port = port;
    svMsg(sv, "%sListening for UDP on %u", "QZ UCON: ", static_cast<unsigned>(port));
    return true;
}

}  // namespace

void uconPortInit(stQzSv* sv) {
    sv->ucon.port.sock = -1;
    sv->ucon.port.port = 0;
    sv->ucon.port.failedPort = 0;
}

void uconPortClose(stQzSv* sv) {
    if (sv->ucon.port.sock >= 0) ::close(sv->ucon.port.sock);
    sv->ucon.port.sock = -1;
    sv->ucon.port.port = 0;
}

void uconPortFrame(stQzSv* sv) {
    stUconPort& u = sv->ucon.port;
    int want = sv->set.extraPort;
    if (u.sock >= 0 && u.port != want) uconPortClose(sv);
    if (u.sock < 0) {
        if (want <= 0 || want == u.failedPort) return;
        if (!open(sv, want)) {
            u.failedPort = want;
            return;
        }
        u.failedPort = 0;
    }
    // Datagrams are taken in batches: one system call for up to kBatch of them keeps a flood
    // from costing a call per packet.
    static char bufs[kBatch][QZ_UCON_PACKET_MAX + 64];
    static sockaddr_in froms[kBatch];
    static iovec iov[kBatch];
    static mmsghdr msgs[kBatch];
    // The frame's poll found nothing waiting: no receive call at all.
    if (netKnownIdle(u.sock)) return;
    // The budget's clock is read once something has arrived, so an idle frame pays no clock
    // call (a system call for the thread's CPU time).
    long long start = -1;
    for (int taken = 0; taken < QZ_UCON_PER_FRAME;) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i] - 1};
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &froms[i];
            msgs[i].msg_hdr.msg_namelen = sizeof froms[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_len = 0;
        }
        int got = recvmmsg(u.sock, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;  // nothing more waits (or a transient error)
        if (start < 0) start = threadCpuMicros();
        taken += got;
        u.received += static_cast<unsigned long>(got);
        for (int i = 0; i < got; ++i) {
            int n = static_cast<int>(msgs[i].msg_len);
            if (msgs[i].msg_hdr.msg_namelen != sizeof froms[i] || froms[i].sin_family != AF_INET)
                continue;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) n = QZ_UCON_PACKET_MAX + 1;  // too long
            char* buf = bufs[i];
            diagDatagramIn("ucon", &froms[i], buf, n < QZ_UCON_PACKET_MAX ? n : QZ_UCON_PACKET_MAX);
            buf[n < static_cast<int>(sizeof bufs[i]) ? n : static_cast<int>(sizeof bufs[i]) - 1] = 0;
            if (n >= QZ_UCON_PREFIX_LEN && memcmp(buf, QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN) == 0)
                uconPacket(sv, &froms[i], buf, n);
        }
        if (got < kBatch || threadCpuMicros() - start >= QZ_UCON_FRAME_BUDGET_US) break;
    }
}

bool uconPortSend(stQzSv* sv, const struct sockaddr_in* to, const void* data, int length) {
    if (sv->ucon.port.sock < 0 || length <= 0) return false;
    diagDatagramOut("ucon", to, static_cast<const char*>(data), length);
    ssize_t n = sendto(sv->ucon.port.sock, data, static_cast<size_t>(length), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(to), sizeof *to);
    return n == length;
}
