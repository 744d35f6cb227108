// Receiving a picture from the client module: the capture report, the blocks, and the three
// endings (stored, corrupt, incomplete). Every buffer is sized once from the announced size,
// which the picture limit and the module-wide pool bound.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/slots.h"
#include "util/md5.h"
#include "util/text.h"

namespace {

// Longest header looked at: the words before the block data, or the whole capture report.
constexpr int kHeadMax = 256;

bool isHex32(const char* text) {
    int n = 0;
    for (; text[n]; ++n) {
        char c = text[n];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return n == 32;
}

void upper(char* text) {
    for (; *text; ++text)
        if (*text >= 'a' && *text <= 'f') *text = static_cast<char>(*text - 'a' + 'A');
}

// Reads an unsigned decimal word at p (digits only, at most 10 digits, at most 4294967295); p
// moves past it and one blank. False when there is none. Every number of the exchange fits in
// 32 bits; a larger one is refused rather than left to wrap where long has 32 bits.
bool number(const char*& p, const char* end, unsigned long* out) {
    unsigned long long v = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < 10) {
        v = v * 10 + static_cast<unsigned long long>(*p - '0');
        p++;
        digits++;
    }
    if (digits == 0 || v > 0xFFFFFFFFull || (p < end && *p >= '0' && *p <= '9')) return false;
    if (p < end && *p == ' ') p++;
    *out = static_cast<unsigned long>(v);
    return true;
}

void tellStop(stQzSv* sv, int slot) { svSendClient(sv, slot, "%cPNG%c-1", QZ_MSG_EXCHANGE, ' '); }

// "QZ_SSCAP <serial> <nonce> <size> <width> <height> <md5> [client text]"
void captureReport(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, const char* p, const char* end) {
    unsigned long serial, nonce, size, width, height;
    if (!number(p, end, &serial) || !number(p, end, &nonce) || !number(p, end, &size) ||
        !number(p, end, &width) || !number(p, end, &height)) {
        if (plPacketLogAllowed(sv, slot))
            logSs(sv, "Screenshot report ignored from (slot #%d) %s: malformed", slot, c->name);
        return;
    }
    char md5[40] = "";
    int m = 0;
    while (p < end && *p != ' ') {
        if (m < qz::cap(md5) - 1) md5[m++] = *p;
        p++;
    }
    md5[m] = 0;
    if (p < end && *p == ' ') p++;
    char text[64];
    int n = 0;
    while (p < end && n < qz::cap(text) - 1) {
        unsigned char ch = static_cast<unsigned char>(*p++);
        text[n++] = ch < 32 || ch == 127 ? ' ' : static_cast<char>(ch);
    }
    text[n] = 0;

    stSsTransfer* t = &sv->ss.t[slot - 1];
    if (!t->serial || t->receiving || static_cast<unsigned long>(t->serial) != serial ||
        t->nonce != nonce || t->seq != c->seq) {
        if (plPacketLogAllowed(sv, slot))
            logSs(sv, "Screenshot report ignored from (slot #%d) %s: no such request (%lu)", slot,
                  c->name, serial);
        return;
    }
    logSs(sv, "Screenshot #%lu (%lu|%lu|%lu) captured at client (%s) for slot#%d \"%s\"", serial,
          size, width, height, text, slot, c->name);
    // From here on the client expects blocks, so every ending tells it to stop.
    t->receiving = 1;
    char sn[16];
    QZ_TRF(sn, "%06ld", t->serial);
    if (!isHex32(md5)) {
        logSs(sv, "Screenshot %s refused: the capture report carries no MD5 (slot=%d)", sn, slot);
        ssAbandon(sv, slot, t);
        return;
    }
    if (size == 0 || size > static_cast<unsigned long>(QZ_SS_PICTURE_MAX)) {
        logSs(sv, "Screenshot %s refused: %lu bytes is over the limit of %ld bytes (slot=%d)", sn,
              size, QZ_SS_PICTURE_MAX, slot);
        svCon(sv, "Screenshot %s refused: %lu bytes is over the limit of %ld bytes (slot=%d)", sn,
              size, QZ_SS_PICTURE_MAX, slot);
        ssAbandon(sv, slot, t);
        return;
    }
    const long total = static_cast<long>(size);
    // A buffer for the bytes on their way to the part file, not the whole picture: a buffer of
    // megabytes costs its unmapping (hundreds of microseconds) in the packet that ends the
    // transfer.
    const long buffer =
        total < QZ_SS_WRITE_CHUNK + QZ_SS_BLOCK ? total : QZ_SS_WRITE_CHUNK + QZ_SS_BLOCK;
    void* data =
        sv->ss.pooled + total <= QZ_SS_POOL_MAX ? malloc(static_cast<size_t>(buffer)) : nullptr;
    if (!data) {
        logSs(sv, "Memory Allocation Failure (PFH)");
        svCon(sv, "Memory Allocation Failure (PFH)");
        ssAbandon(sv, slot, t);
        return;
    }
    t->data = static_cast<unsigned char*>(data);
    t->total = total;
    sv->ss.pooled += total;
    qzmd5Begin(&t->digest, 0);
    char part[QZ_PATH_MAX];
    ssPartPath(t, part, qz::cap(part));
    // Not opened with truncation: on ext4 a file cut to nothing is pushed to the disk by its
    // close, which would cost the last block hundreds of microseconds. Only a part file left
    // behind by a crash has bytes to cut.
    t->partFd = homeOpenFd(part, O_WRONLY | O_CREAT | O_CLOEXEC);
    struct stat st;
    if (t->partFd >= 0 &&
        (fstat(t->partFd, &st) != 0 || (st.st_size > 0 && ftruncate(t->partFd, 0) != 0))) {
        close(t->partFd);
        t->partFd = -1;
    }
    t->partOpen = t->partFd >= 0;
    t->partFailed = !t->partOpen;
    upper(md5);
    QZ_COPY(t->md5, md5);
    svSendClient(sv, slot, "%cPNG%c%d", QZ_MSG_EXCHANGE, ' ', 0);
}

// Hands the buffered bytes (at most QZ_SS_WRITE_CHUNK and a block) to the part file. A failure
// is remembered for the ending and nothing more is buffered; the digest goes on, so that a
// corrupt picture is still reported as corrupt.
void writePart(stSsTransfer* t) {
    long done = 0;
    const long buffered = t->received - t->written;
    while (!t->partFailed && done < buffered) {
        ssize_t n = write(t->partFd, t->data + done, static_cast<size_t>(buffered - done));
        if (n <= 0) {
            t->partFailed = 1;
            return;
        }
        done += static_cast<long>(n);
    }
    t->written += done;
}

// The picture is whole: checked against the announced digest and the PNG signature, then
// stored with its page, or the page says it was corrupted.
void finish(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, stSsTransfer* t) {
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    char sn[16];
    QZ_TRF(sn, "%06ld", t->serial);
    char digest[33];
    QZ_COPY(digest, qzmd5End(&t->digest));
    bool png = t->total >= 8 && memcmp(t->head, kPng, 8) == 0;
    tellStop(sv, slot);
    if (strcmp(digest, t->md5) != 0 || !png) {
        ssWritePage(t->folder, t->serial, "<p> Screenshot transfer was corrupted.\r\n");
        logSs(sv, "CORRUPT Screenshot %s received from %d %s", sn, slot, c->name);
        svCon(sv, "CORRUPT Screenshot %s received from %d %s", sn, slot, c->name);
        ssRelease(sv, t);
        return;
    }
    char picture[QZ_PATH_MAX], page[QZ_PATH_MAX], line[64];
    trf(picture, qz::cap(picture), "%sqz%06ld.png", t->folder, t->serial);
    trf(page, qz::cap(page), "%sqz%06ld.htm", t->folder, t->serial);
    // Every byte is in the part file already: it only takes the picture's name.
    char part[QZ_PATH_MAX];
    ssPartPath(t, part, qz::cap(part));
    bool ok = !t->partFailed && t->written == t->total;
    if (t->partOpen) {
        ok = close(t->partFd) == 0 && ok;
        t->partOpen = 0;
        ok = ok && rename(part, picture) == 0;
        if (!ok) unlink(part);
    }
    if (!ok) {
        ssWritePage(t->folder, t->serial, "<p> Screenshot transfer was incomplete.\r\n");
        svMsg(sv, "Screenshot %s cannot be written to %s", sn, picture);
        ssRelease(sv, t);
        return;
    }
    QZ_TRF(line, "<p> <img src=qz%06ld.png>\r\n", t->serial);
    ssWritePage(t->folder, t->serial, line);
    const int bytes = static_cast<int>(t->total);
    const long serial = t->serial;
    ssRelease(sv, t);
    logSs(sv, "Screenshot received from %s %s : filename=%s, MD5=%s (%d bytes)", c->name,
          plGuidText(c), picture, digest, bytes);
    logSs(sv, "Screenshot %s successfully received (MD5=%s) from %d %s [%s(%s) %s]", sn, digest,
          slot, c->name, plGuidText(c), c->authState, c->address);
    svCon(sv, "Screenshot %s successfully received (MD5=%s) from %d %s [%s(%s) %s]", sn, digest,
          slot, c->name, plGuidText(c), c->authState, c->address);
    if (sv->set.ssCmd[0]) ssRunCommand(sv, picture, serial, page);
}

// "QZ_SSB <serial> <block> <data>": blocks come in order, each QZ_SS_BLOCK bytes but the last.
// A block for no transfer in progress (a late one after the end) is dropped quietly; any other
// block than the next one ends the transfer, so nothing is ever stored outside the buffer.
void block(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, const char* p, const char* end) {
    unsigned long serial, blockNo;
    if (!number(p, end, &serial) || !number(p, end, &blockNo)) return;
    stSsTransfer* t = &sv->ss.t[slot - 1];
    if (!t->serial || !t->data || static_cast<unsigned long>(t->serial) != serial) return;
    const long length = end - p;
    const long left = t->total - t->received;
    const long expected = left < QZ_SS_BLOCK ? left : QZ_SS_BLOCK;
    if (blockNo != static_cast<unsigned long>(t->nextBlock) || length != expected) {
        logSs(sv,
              "Screenshot %06ld block %lu (%ld bytes) out of order or out of range, expected "
              "block %d (%ld bytes) (slot=%d)",
              t->serial, blockNo, length, t->nextBlock, expected, slot);
        ssAbandon(sv, slot, t);
        return;
    }
    if (t->received < 8) {
        const long n = length < 8 - t->received ? length : 8 - t->received;
        memcpy(t->head + t->received, p, static_cast<size_t>(n));
    }
    if (!t->partFailed)
        memcpy(t->data + (t->received - t->written), p, static_cast<size_t>(length));
    qzmd5Add(&t->digest, p, static_cast<unsigned long>(length));
    t->received += length;
    t->nextBlock++;
    if (!t->partFailed &&
        (t->received - t->written >= QZ_SS_WRITE_CHUNK || t->received == t->total)) {
        writePart(t);
    }
    if (t->received == t->total) finish(sv, slot, c, t);
}

}  // namespace

void ssPacket(stQzSv* sv, int slot, const char* data, int length) {
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || !data || length <= 0) return;
    const char* end = data + length;
    if (length > 7 && memcmp(data, "QZ_SSB ", 7) == 0) {
        block(sv, slot, c, data + 7, end);
    } else if (length > 9 && memcmp(data, "QZ_SSCAP ", 9) == 0) {
        captureReport(sv, slot, c, data + 9, length > kHeadMax ? data + kHeadMax : end);
    } else if (plPacketLogAllowed(sv, slot)) {
        svMsg(sv, "Unknown packet from (slot #%d) %s (%d bytes)", slot, c->name, length);
    }
}
