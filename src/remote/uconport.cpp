// The UCON port. Non-blocking: a frame reads until its time budget is spent (and at most
// QZ_UCON_PER_FRAME datagrams), so a flood costs a bounded slice of each frame and the rest
// waits in the system's buffer.
#include "remote/uconport.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "host/bridge.h"
#include "host/netready.h"
#include "host/state.h"
#include "media/diag.h"
#include "remote/ucon.h"
#include "util/clock.h"
#include "util/net.h"

namespace {

constexpr int kBatch = QZ_UCON_BATCH;
// Instructions of the socket filter: a test per address that logged in, a few per octet of each
// narrow profile mask, and the ends.
constexpr int kFilterMax = 2 * QZ_GUARD_ADDRS + 13 * QZ_UCON_PROFILES + 8;

// A socket bound to the UCON port (every interface), shareable with the other one of the pair.
int bindPort(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The program that picks the socket of each arriving datagram (0: the common one, 1: the
// administrators'): the source address of every address that logged in this run, and every
// address inside the mask of a live profile confined to one /16 network or less (the ones
// knownSource trusts), go to 1. Returns its length.
int buildFilter(const stUconState& u, sock_filter* code) {
    int n = 0;
    auto put = [&](unsigned short op, unsigned k, unsigned char jt = 0, unsigned char jf = 0) {
        code[n++] = sock_filter{op, jt, jf, k};
    };
    const unsigned kSource = static_cast<unsigned>(SKF_NET_OFF) + 12;
    put(BPF_LD | BPF_W | BPF_ABS, kSource);
    int firstJump = n;
    for (const stGuessGuard* g : {&u.guard, &u.maskGuard})
        for (const stGuessEntry& e : g->entries)
            if (e.used && e.trusted) put(BPF_JMP | BPF_JEQ | BPF_K, ntohl(e.addr));
    int jumps = n - firstJump;
    put(BPF_JMP | BPF_JA | BPF_K, 1);
    put(BPF_RET | BPF_K, 1);
    for (int i = 0; i < jumps; ++i) code[firstJump + i].jt = static_cast<unsigned char>(jumps - i);
    for (int i = 0; i < u.profileCount; ++i) {
        const stUcon& p = u.profiles[i];
        if (!p.used || p.rule.lo[0] != p.rule.hi[0] || p.rule.lo[1] != p.rule.hi[1]) continue;
        int fails[8];
        int failCount = 0;
        for (int o = 0; o < 4; ++o) {
            if (p.rule.lo[o] == 0 && p.rule.hi[o] == 255) continue;
            put(BPF_LD | BPF_B | BPF_ABS, kSource + static_cast<unsigned>(o));
            fails[failCount++] = n;
            put(BPF_JMP | BPF_JGE | BPF_K, p.rule.lo[o]);  // false: not this profile
            fails[failCount++] = n;
            put(BPF_JMP | BPF_JGT | BPF_K, p.rule.hi[o]);  // true: not this profile
        }
        put(BPF_RET | BPF_K, 1);
        for (int f = 0; f < failCount; ++f) {
            auto skip = static_cast<unsigned char>(n - fails[f] - 1);
            if (code[fails[f]].code == (BPF_JMP | BPF_JGE | BPF_K))
                code[fails[f]].jf = skip;
            else
                code[fails[f]].jt = skip;
        }
    }
    put(BPF_RET | BPF_K, 0);
    return n;
}

// A digest of what the filter is built from (the live narrow masks and the addresses that
// logged in), cheap enough to take every frame: the filter is rebuilt only when it changes.
unsigned sourcesSum(const stUconState& u) {
    unsigned h = 2166136261u;
    auto mix = [&h](unsigned v) { h = (h ^ v) * 16777619u; };
    for (const stGuessGuard* g : {&u.guard, &u.maskGuard})
        for (const stGuessEntry& e : g->entries)
            if (e.used && e.trusted) mix(e.addr);
    for (int i = 0; i < u.profileCount; ++i) {
        const stUcon& p = u.profiles[i];
        if (!p.used) continue;
        for (int o = 0; o < 4; ++o) mix(static_cast<unsigned>(p.rule.lo[o]) << 8 | p.rule.hi[o]);
    }
    return h ? h : 1;
}

// Keeps the filter in step with the profiles and the addresses that logged in. Without a filter
// the administrators' socket receives nothing (every datagram goes to the common one): it is
// closed, and reading goes on as with one socket.
void refreshFilter(stQzSv* sv) {
    stUconPort& u = sv->ucon.port;
    if (u.adminSock < 0) return;
    unsigned sum = sourcesSum(sv->ucon);
    if (sum == u.filterSum) return;
    static sock_filter code[kFilterMax];
    int n = buildFilter(sv->ucon, code);
    sock_fprog prog{static_cast<unsigned short>(n), code};
    if (setsockopt(u.sock, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &prog, sizeof prog) != 0) {
        svMsg(sv, "QZ UCON: no separate queue for administrators' addresses (socket filter: %s)",
              strerror(errno));
        ::close(u.adminSock);
        u.adminSock = -1;
        return;
    }
    u.filterSum = sum;
}

bool open(stQzSv* sv, int port) {
    int fd = bindPort(port);
    if (fd < 0) {
        svMsg(sv, "ERROR: Bind to UDP port %lu failed {%d}", static_cast<unsigned long>(port),
              errno);
        return false;
    }
    // A flood that outlasts a frame's budget waits in the buffer instead of being dropped; the
    // kernel caps the request.
    int bytes = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    sv->ucon.port.sock = fd;
    sv->ucon.port.port = port;
    // The second of the pair; until its filter is attached the system spreads datagrams over
    // both, and both are read.
    sv->ucon.port.adminSock = bindPort(port);
    sv->ucon.port.filterSum = 0;
    refreshFilter(sv);
    svMsg(sv, "%sListening for UDP on %u", "QZ UCON: ", static_cast<unsigned>(port));
    return true;
}

}  // namespace

namespace {

// Reads up to limit datagrams from fd and hands the UCON ones over; with budgeted, reading stops
// once QZ_UCON_FRAME_BUDGET_US of CPU time has gone. Returns the number read.
int readSocket(stQzSv* sv, int fd, int limit, bool budgeted) {
    stUconPort& u = sv->ucon.port;
    // Datagrams are taken in batches: one system call for up to kBatch of them keeps a flood
    // from costing a call per packet.
    static char bufs[kBatch][QZ_UCON_PACKET_MAX + 64];
    static sockaddr_in froms[kBatch];
    static iovec iov[kBatch];
    static mmsghdr msgs[kBatch];
    // The budget's clock is read once something has arrived, so an idle frame pays no clock
    // call (a system call for the thread's CPU time).
    long long start = -1;
    int taken = 0;
    while (taken < limit) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i] - 1};
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &froms[i];
            msgs[i].msg_hdr.msg_namelen = sizeof froms[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_len = 0;
        }
        int want = limit - taken < kBatch ? limit - taken : kBatch;
        int got = recvmmsg(fd, msgs, static_cast<unsigned>(want), MSG_DONTWAIT, nullptr);
        if (got <= 0) break;  // nothing more waits (or a transient error)
        if (start < 0 && budgeted) start = threadCpuMicros();
        taken += got;
        u.received += static_cast<unsigned long>(got);
        for (int i = 0; i < got; ++i) {
            int n = static_cast<int>(msgs[i].msg_len);
            if (msgs[i].msg_hdr.msg_namelen != sizeof froms[i] || froms[i].sin_family != AF_INET)
                continue;
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) n = QZ_UCON_PACKET_MAX + 1;  // too long
            char* buf = bufs[i];
            diagDatagramIn("ucon", &froms[i], buf, n < QZ_UCON_PACKET_MAX ? n : QZ_UCON_PACKET_MAX);
            buf[n < static_cast<int>(sizeof bufs[i]) ? n : static_cast<int>(sizeof bufs[i]) - 1] =
                0;
            if (n >= QZ_UCON_PREFIX_LEN && memcmp(buf, QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN) == 0)
                uconPacket(sv, &froms[i], buf, n);
            if (u.sock < 0) return taken;  // a command closed the port
        }
        if (got < want) break;
        if (budgeted && threadCpuMicros() - start >= QZ_UCON_FRAME_BUDGET_US) break;
    }
    return taken;
}

}  // namespace

void uconPortInit(stQzSv* sv) {
    sv->ucon.port.sock = -1;
    sv->ucon.port.adminSock = -1;
    sv->ucon.port.filterSum = 0;
    sv->ucon.port.port = 0;
    sv->ucon.port.failedPort = 0;
}

void uconPortClose(stQzSv* sv) {
    if (sv->ucon.port.sock >= 0) ::close(sv->ucon.port.sock);
    if (sv->ucon.port.adminSock >= 0) ::close(sv->ucon.port.adminSock);
    sv->ucon.port.sock = -1;
    sv->ucon.port.adminSock = -1;
    sv->ucon.port.filterSum = 0;
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
    refreshFilter(sv);
    // The administrators' socket first, whatever waits on the other one: a flood from elsewhere
    // never reaches it.
    if (u.adminSock >= 0)
        u.adminReceived += readSocket(sv, u.adminSock, QZ_UCON_ADMIN_PER_FRAME, false);
    // The frame's poll found nothing waiting: no receive call at all.
    if (netKnownIdle(u.sock)) return;
    readSocket(sv, u.sock, QZ_UCON_PER_FRAME, true);
}

bool uconPortSend(stQzSv* sv, const struct sockaddr_in* to, const void* data, int length) {
    if (sv->ucon.port.sock < 0 || length <= 0) return false;
    diagDatagramOut("ucon", to, static_cast<const char*>(data), length);
    ssize_t n = sendto(sv->ucon.port.sock, data, static_cast<size_t>(length), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(to), sizeof *to);
    return n == length;
}
