// The module's own UDP socket: opened on qz_sv_extraport, read a bounded number of datagrams a
// frame, each handed to the exchange its "\xff\xff\xff\xffQZ_" tag names.
#pragma once

#include <netinet/in.h>

struct stUdp {
    int sock;  // -1 closed
    int port;  // port it is bound to
    int failedPort;  // a port whose bind failed (not tried again until the setting changes)
};

struct stQzSv;

void udpInit(stQzSv* sv);
// Opens, moves or closes the socket after qz_sv_extraport, then reads what is waiting.
void udpFrame(stQzSv* sv);
// Sends one datagram without waiting; false when it could not be handed to the system.
bool udpSendTo(stQzSv* sv, const struct sockaddr_in* to, const void* data, int length);
void udpClose(stQzSv* sv);
