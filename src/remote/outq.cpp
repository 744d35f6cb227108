// The outbound packet queue: a fixed ring allocated once at start-up, so queuing and sending
// never allocate.
#include "remote/outq.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "players/slots.h"
#include "util/net.h"

namespace {

// Room for the next packet, or null after the full-queue message.
stQzOutPkt* slotFor(stQzSv* sv, stQzOutQueue* q) {
    if (!q->ring || q->count >= QZ_OUTQ_SIZE) {
        svMsg(sv, "ERROR Outbound Packet Queue Full - Packet Not Sent");
        return nullptr;
    }
    return &q->ring[(q->head + q->count) % QZ_OUTQ_SIZE];
}

bool lengthOk(stQzSv* sv, const char* where, long port, const char* data, long length) {
    if (data && length > 0 && length <= QZ_PKT_MAX) return true;
    unsigned first = data && length > 0 ? static_cast<unsigned char>(data[0]) : 0;
    svMsg(sv, "Bad Outbound Packet: Invalid Packet Length (%ld) [%s][%ld][%x]", length, where, port,
          first);
    return false;
}

}  // namespace

bool outqCreate(stQzSv* sv, stQzOutQueue* q) {
    q->head = q->count = 0;
    q->ring = static_cast<stQzOutPkt*>(calloc(QZ_OUTQ_SIZE, sizeof(stQzOutPkt)));
    if (!q->ring) {
        svMsg(sv, "ERROR Creating Outbound Packet Queue (%lu)",
              static_cast<unsigned long>(QZ_OUTQ_SIZE));
        return false;
    }
    return true;
}

void outqFree(stQzOutQueue* q) {
    free(q->ring);
    q->ring = nullptr;
    q->head = q->count = 0;
}

bool outqUdp(stQzSv* sv, stQzOutQueue* q, const char* address, long port, const char* data,
             long length) {
    const char* shown = address ? address : "";
    if (!lengthOk(sv, shown, port, data, length)) return false;
    long alen = slen(shown);
    if (alen >= INET_ADDRSTRLEN) {
        svMsg(sv, "Bad Outbound Packet: Address Length (%ld) Exceeds Maximum", alen);
        return false;
    }
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    if (port < 1 || port > 65535) {
        svMsg(sv, "Bad Outbound Packet: Invalid Port (%ld) Specified", port);
        return false;
    }
    if (inet_pton(AF_INET, shown, &to.sin_addr) != 1) {
        svMsg(sv, "ERROR: This game cannot send UDP packets to [%s] (b)", shown);
        return false;
    }
    to.sin_port = htons(static_cast<uint16_t>(port));
    return outqUdpTo(sv, q, &to, data, length);
}

bool outqUdpTo(stQzSv* sv, stQzOutQueue* q, const sockaddr_in* to, const char* data, long length) {
    char shown[22];
    if (!lengthOk(sv, adrStr(to, shown), ntohs(to->sin_port), data, length)) return false;
    if (to->sin_port == 0) {
        svMsg(sv, "Bad Outbound Packet: Invalid Port (%ld) Specified", 0L);
        return false;
    }
    stQzOutPkt* p = slotFor(sv, q);
    if (!p) return false;
    p->to = *to;
    p->client = 0;
    p->length = static_cast<int>(length);
    memcpy(p->data, data, static_cast<size_t>(length));
    q->count++;
    return true;
}

bool outqClient(stQzSv* sv, stQzOutQueue* q, int slot, const char* data, long length) {
    if (slot < 1 || slot > QZ_SLOTS) {
        svMsg(sv, "Bad Outbound Packet: Invalid Client (%ld) Specified [%s]",
              static_cast<long>(slot), "slot outside 1..64");
        return false;
    }
    if (!lengthOk(sv, "client", slot, data, length)) return false;
    stQzOutPkt* p = slotFor(sv, q);
    if (!p) return false;
    memset(&p->to, 0, sizeof p->to);
    p->client = slot;
    p->length = static_cast<int>(length);
    memcpy(p->data, data, static_cast<size_t>(length));
    q->count++;
    return true;
}

int outqFlush(stQzSv* sv, stQzOutQueue* q, stQzUdp* udp) {
    int sent = 0;
    while (q->count > 0 && sent < QZ_OUTQ_PER_FRAME) {
        stQzOutPkt* p = &q->ring[q->head];
        if (p->client) {
            svSendClient(sv, p->client, "%.*s", p->length, p->data);
        } else {
            int r = udpSend(udp, &p->to, p->data, p->length);
            if (r == 0) break;  // the socket is full: try again next frame
            if (r < 0) {
                char shown[22];
                svMsg(sv, "ERROR: This game cannot send UDP packets to [%s] (b)",
                      adrStr(&p->to, shown));
            }
        }
        q->head = (q->head + 1) % QZ_OUTQ_SIZE;
        q->count--;
        sent++;
    }
    return sent;
}
