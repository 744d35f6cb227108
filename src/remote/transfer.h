// File transfers from the masters: transfer records with reference counts, the download queue
// under qz_sv_MaxConDls, header and block handling, acknowledgements, reblock and restart
// requests, time-outs, bounded inflating and the write of a complete file.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "remote/remote.h"
#include "util/flexar.h"

struct stQzSv;

// Registers r in list: a matching record (same second name when r has one, else the same file
// name ignoring case) with r's identifier gets one more reference; otherwise r is appended with
// one reference. Returns the record, or null when the list cannot grow.
stQzFileServer* fsRegister(flexar* list, stQzFileServer* r);

// Queues the download of file from master into target (a home-relative name). Returns the
// transfer, or null after a message (no free transfer, unsafe name, unresolved master).
stQzDownload* dlStart(stQzSv* sv, int master, const char* file, const char* target, int purpose,
                      int rate);
// A file packet (after the tag) from master.
void dlPacket(stQzSv* sv, int master, const char* body, int length, const sockaddr_in* from);
// Starts queued transfers, acknowledges progress and applies the time-outs. Returns the number
// of transfers still under way.
int dlFrame(stQzSv* sv, unsigned now);
// Ends a transfer, freeing its buffer and its record.
void dlEnd(stQzSv* sv, stQzDownload* d);
// Inflates data into a new buffer of exactly expect bytes; never writes or allocates more,
// whatever the data claim. Returns the buffer (caller frees) or null; *zerr gets zlib's code,
// or 1 when the data inflate to a different length.
char* dlInflate(const char* data, unsigned long length, unsigned long expect, int* zerr);
// Writes length bytes to a home-relative name through "<name>.part", renamed into place only
// when every byte was written (not synced: it runs in a frame). Returns null or the failure text.
const char* dlWriteFile(const char* name, const char* data, unsigned long length);
