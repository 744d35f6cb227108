// The UCON port: a further UDP socket the module listens on, opened on qz_sv_extraport (0 opens
// none), read every frame within a time budget and a bounded number of datagrams. The master
// exchange keeps its own socket (remote/udp.h), so an administrator opens only this port to
// remote consoles.
#pragma once

#include <netinet/in.h>

// Datagrams read by one receive call; the frame looks at its budget after each call.
constexpr int QZ_UCON_BATCH = 32;
// Most datagrams a frame reads, and the CPU time after which it stops reading (what is left
// waits in the socket's buffer for the next frame).
constexpr int QZ_UCON_PER_FRAME = 1024;
constexpr long long QZ_UCON_FRAME_BUDGET_US = 250;

// Most datagrams a frame reads from the administrators' socket, before the common one.
constexpr int QZ_UCON_ADMIN_PER_FRAME = 64;

struct stUconPort {
    int sock;  // -1 closed
    // A second socket on the same port that the system hands every datagram from an address
    // inside a narrow profile mask (a socket filter chooses): a flood from elsewhere fills the
    // first socket's buffer, never this one. -1 when there is none (the filter could not be set:
    // every datagram then comes to sock).
    int adminSock;
    unsigned filterSum;      // digest of what the filter was built from (0: none built)
    int port;                // port it is bound to
    int failedPort;          // a port whose bind failed (not tried again until the setting changes)
    unsigned long received;  // datagrams read, in all
    unsigned long adminReceived;  // of them, from the administrators' socket
};

struct stQzSv;

void uconPortInit(stQzSv* sv);
// Opens, moves or closes the socket after qz_sv_extraport, then reads what is waiting.
void uconPortFrame(stQzSv* sv);
// Sends one datagram without waiting; false when it could not be handed to the system.
bool uconPortSend(stQzSv* sv, const struct sockaddr_in* to, const void* data, int length);
void uconPortClose(stQzSv* sv);
