// Readiness of the module's listening sockets for one frame: a single poll with no wait over the
// WebTool's listening socket, the UCON port and the UDP socket of the masters, taken at the start
// of the frame, so that an idle frame asks the system once instead of trying each socket (an
// accept that finds nothing costs several microseconds: the system makes and drops a socket).
#pragma once

struct stQzSv;

// Polls the sockets that are open now (no wait). Called once a frame before the readers;
// netPollDone after them drops the marks not taken, so that nothing outside the frame (a later
// frame's reader of a new socket with the same number) ever trusts them.
void netPollFrame(stQzSv* sv);
void netPollDone();
// True when this frame's poll found nothing waiting on fd: the reader may skip it. The answer
// is given once (the mark is taken), and a socket the poll did not cover is never idle, so a
// reader that asks twice, or about a socket opened since, reads it.
bool netKnownIdle(int fd);
