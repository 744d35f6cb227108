// The client end of a UCON session: resolve a server, log in by challenge and response, send
// signed commands and take the server's signed messages. Used by qzucon, the tests and the
// round-trip benchmark.
#pragma once

#include <netinet/in.h>

#include "remote/ucon_wire.h"

struct UconClient {
    int sock = -1;  // a UDP socket connected to the server
    sockaddr_in server{};
    char label[80] = "";  // "host:port" as given
    char user[64] = "";
    char password[128] = "";
    char sid[17] = "";
    char key[33] = "";
    unsigned seq = 0;     // last command sequence sent
    unsigned lastIn = 0;  // last message sequence taken
    bool open = false;
    char error[200] = "";
    // The lines of the last message not yet handed out: a message carries one or more
    // "QZSV: " lines separated by line feeds.
    char pending[QZ_UCON_PACKET_MAX + 1] = "";
    int pendingAt = 0, pendingLen = 0;
    // Called while a call waits for the server (the tests run the module's frames here).
    void (*pump)(void* arg) = nullptr;
    void* pumpArg = nullptr;
};

// Resolves "host:port" and makes the socket. False with error set.
bool uconClientConnect(UconClient* c, const char* hostPort, const char* user,
                       const char* password);
// Logs in: HELLO, CHAL, LOGIN, OPEN. False with error set ("invalid password", the server's
// refusal, or no answer within timeoutMs).
bool uconClientLogin(UconClient* c, int timeoutMs);
// Sends one command line (an empty text is a heartbeat). False when it cannot be sent.
bool uconClientSend(UconClient* c, const char* text);
// Waits up to timeoutMs for the next message line. Returns 1 with the text (after "QZSV: ") in
// line, 0 on time-out, -1 when the session ended (error says why).
int uconClientRecv(UconClient* c, char* line, int size, int timeoutMs);
// Ends the session ("qzuconexit") and closes the socket.
void uconClientClose(UconClient* c);
