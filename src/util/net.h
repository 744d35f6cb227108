// Socket address text and the datagram receive wrapper.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

// "a.b.c.d:port" of an IPv4 address into buf, which must hold 22 bytes; empty text when the
// address is null or cannot be shown. Returns buf.
char* adrStr(const struct sockaddr_in* address, char* buf);
// recvfrom with flags 0; the int address length is passed through a socklen_t and the updated
// length written back. Returns recvfrom's result.
int recvFrom(int sock, char* buf, int length, struct sockaddr* from, int* fromLength);
