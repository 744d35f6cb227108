// The outbound packet queue: packets to masters (over the module's UDP socket) and to players
// (through the host) wait here and leave at the next frame call, a bounded number per call.
// Checked on entry, so a malformed packet is reported where it is made, not where it is sent.
#pragma once

#include <netinet/in.h>

#include "remote/udp.h"

struct stQzSv;

constexpr int QZ_PKT_MAX = 1400;       // largest datagram the module sends or accepts
constexpr int QZ_OUTQ_SIZE = 512;      // packets the queue holds
constexpr int QZ_OUTQ_PER_FRAME = 96;  // packets sent by one frame call at most

struct stQzOutPkt {
    sockaddr_in to;  // UDP destination (client 0)
    int client;      // player slot 1..64 for a packet through the host, 0 for UDP
    int length;
    char data[QZ_PKT_MAX];
};

struct stQzOutQueue {
    stQzOutPkt* ring;  // QZ_OUTQ_SIZE entries, null until created
    int head;          // next to send
    int count;
};

// Allocates the ring. False after "ERROR Creating Outbound Packet Queue (%lu)".
bool outqCreate(stQzSv* sv, stQzOutQueue* q);
void outqFree(stQzOutQueue* q);
// Queues a datagram for address:port (address in dotted form). Returns true when queued;
// otherwise one of the "Bad Outbound Packet: ..." or "ERROR Outbound Packet Queue Full - Packet
// Not Sent" messages has been printed.
bool outqUdp(stQzSv* sv, stQzOutQueue* q, const char* address, long port, const char* data,
             long length);
// The same for an address already in binary form.
bool outqUdpTo(stQzSv* sv, stQzOutQueue* q, const sockaddr_in* to, const char* data, long length);
// Queues a packet for the client module of the player in slot (1..64).
bool outqClient(stQzSv* sv, stQzOutQueue* q, int slot, const char* data, long length);
// Sends what is queued, at most QZ_OUTQ_PER_FRAME packets; a packet the socket cannot take now
// stays first in line. Returns the number sent.
int outqFlush(stQzSv* sv, stQzOutQueue* q, stQzUdp* udp);
