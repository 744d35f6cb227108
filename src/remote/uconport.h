// The UCON port: a further UDP socket the module listens on, opened on qz_sv_extraport (0 opens
// none), read every frame a bounded number of datagrams at a time. The master exchange keeps its
// own socket (remote/udp.h), so an administrator opens only this port to remote consoles.
#pragma once

#include <netinet/in.h>

struct stUconPort {
    int sock;  // -1 closed
    int port;  // port it is bound to
    int failedPort;  // a port whose bind failed (not tried again until the setting changes)
};

struct stQzSv;

void uconPortInit(stQzSv* sv);
// Opens, moves or closes the socket after qz_sv_extraport, then reads what is waiting.
void uconPortFrame(stQzSv* sv);
// Sends one datagram without waiting; false when it could not be handed to the system.
bool uconPortSend(stQzSv* sv, const struct sockaddr_in* to, const void* data, int length);
void uconPortClose(stQzSv* sv);
