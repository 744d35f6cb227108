// Socket address text and the datagram receive wrapper, the only places outside the socket
// owners that touch the BSD socket calls.
#include "util/net.h"

#include <arpa/inet.h>

#include "util/text.h"

namespace {
// "255.255.255.255:65535" and its NUL.
constexpr int kAdrSize = 22;
}  // namespace

char* adrStr(const struct sockaddr_in* address, char* buf) {
    if (!buf) return buf;
    buf[0] = 0;
    if (!address) return buf;
    const char* dotted = inet_ntoa(address->sin_addr);
    if (!dotted) return buf;
    trf(buf, kAdrSize, "%s:%d", dotted, static_cast<int>(ntohs(address->sin_port)));
    return buf;
}

int recvFrom(int sock, char* buf, int length, struct sockaddr* from, int* fromLength) {
    // A negative length would turn into a huge size_t; receive nothing instead.
    auto size = static_cast<std::size_t>(length > 0 ? length : 0);
    if (!fromLength) return static_cast<int>(recvfrom(sock, buf, size, 0, from, nullptr));
    auto len = static_cast<socklen_t>(*fromLength > 0 ? *fromLength : 0);
    auto r = recvfrom(sock, buf, size, 0, from, &len);
    *fromLength = static_cast<int>(len);
    return static_cast<int>(r);
}
