// The module's own UDP socket: one non-blocking datagram socket bound to a chosen address and
// port, shared by the master exchange and (later) the authentication and remote-console
// exchanges. It knows nothing of what travels over it.
#pragma once

#include <netinet/in.h>

struct stQzSv;

struct stQzUdp {
    int fd;         // -1 when closed
    unsigned port;  // the bound port (the kernel's choice when 0 was asked for)
};

// Opens and binds the socket (address "" or null: every interface; port 0: an ephemeral port),
// closing any socket open before. Prints "%sListening for UDP on %u" with prefix, or
// "ERROR: Bind to UDP port %lu failed {%d}" (errno) and returns false.
bool udpOpen(stQzSv* sv, stQzUdp* udp, const char* address, unsigned port, const char* prefix);
void udpClose(stQzUdp* udp);
// Empty datagrams one receive call skips at most before it reports nothing waiting.
constexpr int QZ_UDP_EMPTY_MAX = 32;

// Receives one non-empty datagram without waiting. Returns its length, 0 when nothing is
// waiting (or only empty datagrams, up to QZ_UDP_EMPTY_MAX of them, which are taken off the
// queue) or the socket is closed, -1 on a receive error. A datagram longer than size is cut to
// size bytes.
int udpRecv(stQzUdp* udp, char* buf, int size, sockaddr_in* from);
// Sends one datagram without waiting. Returns 1 when sent, 0 when the socket would block (the
// caller keeps the packet), -1 when it cannot be sent at all.
int udpSend(stQzUdp* udp, const sockaddr_in* to, const char* data, int length);
