// Remote logging: every log line also goes, as one RFC 5424 syslog datagram over UDP, to the
// receiver named by qz_sv_LogAddr and qz_sv_LogPort. The user name (qz_sv_LogUser) travels in
// the structured data; the password (qz_sv_LogPw) never leaves the module: it keys an HMAC-MD5
// proof over the line instead. docs/logs.md shows a receiver how to check the proof.
#pragma once

#include <sys/socket.h>

#include <ctime>

// The structured-data id of our parameters. 32473 is the enterprise number set aside for
// examples and private use in documentation, so the id cannot clash with a registered one.
#define QZ_SYSLOG_SDID "qz@32473"

// Longest datagram the module sends; longer lines are cut at the message end.
constexpr int QZ_SYSLOG_MAX = 2048;

struct stRemoteLog {
    int sockOpen;  // sock holds an open, non-blocking datagram socket
    int sock;
    sockaddr_storage dest;
    socklen_t destLen;
    // The address and port the socket was made for; a change of either setting is noticed by
    // comparing with these before each send.
    char keyAddr[128];
    int keyPort;
    int keyed;          // keyAddr/keyPort describe the settings last seen
    int refused;        // the address last seen is not a numeric address: nothing is sent
    char hostName[64];  // HOSTNAME field: this machine's name, or "-"
    unsigned seq;       // number of the last datagram sent (1 first); bound into the proof
    unsigned dropped;   // datagrams the socket would not take at once
    int depth;          // guards against the refusal message coming back through the log
};

struct stQzSv;

// Sends one log line (text of length bytes, written at time t) to the remote receiver when
// qz_sv_LogAddr and qz_sv_LogPort name one. Never blocks: a datagram the socket cannot take at
// once is counted in dropped and lost. An address that is not numeric is refused once with a
// console and log message; nothing is sent until the setting changes.
void remoteLogLine(stQzSv* sv, time_t t, const char* text, int length);
// Closes the socket; the next line opens it again if the settings still name a receiver.
void remoteLogClose(stQzSv* sv);

// Builds the datagram for one line into out (size bytes, always terminated). Returns its length.
// user and password may be empty; without a password the proof parameter is left out.
int remoteLogFormat(char* out, int size, const char* hostName, int pid, unsigned seq, time_t t,
                    const char* user, const char* password, const char* text, int length);
// HMAC-MD5 (RFC 2104) of data under key, as 32 lower-case hexadecimal digits in out (33 bytes).
void hmacMd5Hex(const char* key, int keyLength, const char* data, int dataLength, char* out);
