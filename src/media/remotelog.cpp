// The remote log sender: one RFC 5424 syslog datagram per log line, over a non-blocking UDP
// socket, with the user name and an HMAC-MD5 proof of the password in the structured data.
#include "media/remotelog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/md5.h"
#include "util/text.h"

namespace {

// Facility local0 (16), severity informational (6): 16 * 8 + 6.
constexpr int kPri = 134;
// The longest message text put into a datagram. Console messages are shorter than this, so a
// line is only ever cut when something bypasses the message routine.
constexpr int kTextMax = 1200;

int hexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

// Appends value as an SD-PARAM value: '"', '\' and ']' must be escaped with a backslash, and
// control bytes would break the receiver's parser, so they become blanks.
void appendParam(char* out, int size, int* len, const char* value) {
    for (const char* p = value; *p && *len < size - 2; ++p) {
        char c = *p;
        if (c == '"' || c == '\\' || c == ']') out[(*len)++] = '\\';
        if (*len >= size - 2) break;
        out[(*len)++] = static_cast<unsigned char>(c) < 32 ? ' ' : c;
    }
    out[*len] = 0;
}

// A host name fit for the HOSTNAME field: printable ASCII without blanks, at most 63 bytes.
void machineName(char* out, int size) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) name[0] = 0;
    name[sizeof name - 1] = 0;
    int n = 0;
    for (const char* p = name; *p && n < size - 1; ++p) {
        if (*p > 32 && *p < 127) out[n++] = *p;
    }
    out[n] = 0;
    if (n == 0) trf(out, size, "-");
}

// Makes the socket for the current settings. Returns false (after saying why, once) when the
// address is not numeric or no socket can be made.
bool remoteOpen(stQzSv* sv) {
    stRemoteLog& r = sv->logs.remote;
    remoteLogClose(sv);
    QZ_COPY(r.keyAddr, sv->set.logAddr);
    r.keyPort = sv->set.logPort;
    r.keyed = 1;
    r.refused = 0;
    if (!r.keyAddr[0] || r.keyPort <= 0) return false;

    // Only numeric addresses: resolving a name would wait on the network inside the frame.
    memset(&r.dest, 0, sizeof r.dest);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&r.dest);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&r.dest);
    if (inet_pton(AF_INET, r.keyAddr, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(r.keyPort));
        r.destLen = sizeof *v4;
    } else if (inet_pton(AF_INET6, r.keyAddr, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(r.keyPort));
        r.destLen = sizeof *v6;
    } else {
        r.refused = 1;
        svMsg(sv, "Remote log address \"%s\" is not a numeric IP address; remote logging is off",
              r.keyAddr);
        return false;
    }
    int fd = socket(r.dest.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        r.refused = 1;
        svMsg(sv, "Remote log socket cannot be made (%s); remote logging is off", strerror(errno));
        return false;
    }
    r.sock = fd;
    r.sockOpen = 1;
    machineName(r.hostName, qz::cap(r.hostName));
    return true;
}

}  // namespace

void hmacMd5Hex(const char* key, int keyLength, const char* data, int dataLength, char* out) {
    unsigned char k[64] = {};
    if (keyLength > 64) {
        const char* d = qzmd5(key, static_cast<unsigned>(keyLength), 0);
        for (int i = 0; i < 16; ++i)
            k[i] = static_cast<unsigned char>(hexNibble(d[2 * i]) << 4 | hexNibble(d[2 * i + 1]));
    } else if (keyLength > 0) {
        memcpy(k, key, static_cast<size_t>(keyLength));
    }
    // One buffer holds the padded key and then the data (or the inner digest): the digest
    // routine takes its input in one piece.
    unsigned char work[64 + QZ_SYSLOG_MAX];
    if (dataLength < 0) dataLength = 0;
    if (dataLength > QZ_SYSLOG_MAX) dataLength = QZ_SYSLOG_MAX;
    for (int i = 0; i < 64; ++i) work[i] = k[i] ^ 0x36;
    memcpy(work + 64, data, static_cast<size_t>(dataLength));
    const char* inner = qzmd5(work, static_cast<unsigned>(64 + dataLength), 0);
    unsigned char innerRaw[16];
    for (int i = 0; i < 16; ++i) {
        innerRaw[i] =
            static_cast<unsigned char>(hexNibble(inner[2 * i]) << 4 | hexNibble(inner[2 * i + 1]));
    }
    for (int i = 0; i < 64; ++i) work[i] = k[i] ^ 0x5c;
    memcpy(work + 64, innerRaw, sizeof innerRaw);
    const char* outer = qzmd5(work, 64 + 16, 0);
    for (int i = 0; i < 32; ++i) {
        char c = outer[i];
        out[i] = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    out[32] = 0;
}

// The proof covers "USER SEQ TIMESTAMP MESSAGE" (single blanks, the user name unescaped), so a
// receiver that knows the password can rebuild it from the fields it got; the sequence number
// and time stamp make every proof different, so a recorded line cannot be passed off as new.
int remoteLogFormat(char* out, int size, const char* hostName, int pid, unsigned seq, time_t t,
                    const char* user, const char* password, const char* text, int length) {
    if (size < 1) return 0;
    if (length > kTextMax) length = kTextMax;
    if (length < 0) length = 0;
    struct tm utc;
    if (!gmtime_r(&t, &utc)) memset(&utc, 0, sizeof utc);
    char stamp[32];
    QZ_TRF(stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
           utc.tm_hour, utc.tm_min, utc.tm_sec);

    int len = trf(out, size, "<%d>1 %s %s kestrine %d - [" QZ_SYSLOG_SDID " user=\"", kPri, stamp,
                  hostName && *hostName ? hostName : "-", pid);
    if (len >= size) return size - 1;
    appendParam(out, size, &len, user ? user : "");
    len += trf(out + len, size - len, "\" seq=\"%u\"", seq);
    if (len >= size) return size - 1;
    if (password && *password) {
        char data[QZ_SYSLOG_MAX];
        int dn =
            trf(data, qz::cap(data), "%s %u %s %.*s", user ? user : "", seq, stamp, length, text);
        if (dn >= qz::cap(data)) dn = qz::cap(data) - 1;
        char proof[33];
        hmacMd5Hex(password, slen(password), data, dn, proof);
        len += trf(out + len, size - len, " proof=\"%s\"", proof);
        if (len >= size) return size - 1;
    }
    len += trf(out + len, size - len, "] %.*s", length, text);
    if (len >= size) return size - 1;
    return len;
}

void remoteLogClose(stQzSv* sv) {
    stRemoteLog& r = sv->logs.remote;
    if (r.sockOpen) close(r.sock);
    r.sockOpen = 0;
    r.sock = -1;
    r.keyed = 0;
}

void remoteLogLine(stQzSv* sv, time_t t, const char* text, int length) {
    stRemoteLog& r = sv->logs.remote;
    if (r.depth > 0) return;
    if (!sv->set.logAddr[0] || sv->set.logPort <= 0) {
        if (r.keyed) remoteLogClose(sv);
        return;
    }
    if (!r.keyed || r.keyPort != sv->set.logPort || strcmp(r.keyAddr, sv->set.logAddr) != 0) {
        r.depth++;
        remoteOpen(sv);
        r.depth--;
    }
    if (!r.sockOpen || r.refused) return;

    char datagram[QZ_SYSLOG_MAX];
    unsigned seq = r.seq + 1;
    int n = remoteLogFormat(datagram, qz::cap(datagram), r.hostName, static_cast<int>(getpid()),
                            seq, t, sv->set.logUser, sv->set.logPw, text, length);
    r.seq = seq;
    ssize_t sent = sendto(r.sock, datagram, static_cast<size_t>(n), MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr*>(&r.dest), r.destLen);
    if (sent != n) r.dropped++;
}
