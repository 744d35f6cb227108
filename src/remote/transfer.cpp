// Downloads from the masters. A transfer is asked for by a request line; the master answers
// with a header and numbered blocks, sent in a window that the module's acknowledgements move
// on. Blocks are taken only in order: a gap is answered with one reblock request, a silence
// with a restart request, a longer silence ends the transfer. Nothing reaches the target file
// until the whole file has arrived, inflated to its announced size and been written beside it.
#include "remote/transfer.h"

#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "remote/mastauth.h"
#include "remote/mastnet.h"
#include "remote/packets.h"
#include "remote/update.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/net.h"
#include "util/text.h"

namespace {

// Deflate cannot shrink data more than about 1032 to 1; a header claiming more is a lie.
constexpr unsigned long kMaxRatio = 1032;

const char* server(stQzDownload* d, char (&buf)[22]) { return adrStr(&d->from, buf); }

bool fileNameOk(const char* name) {
    int n = slen(name);
    if (n < 1 || n > 100) return false;
    for (int i = 0; i < n; ++i) {
        char c = name[i];
        if (c <= ' ' || c >= 0x7f || c == '/' || c == '\\' || c == '"') return false;
    }
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

void control(stQzSv* sv, stQzDownload* d, const char* word, uint32_t block) {
    char packet[64];
    pktTag(packet, QZ_PT_CONTROL);
    int n = QZ_TAG_LEN +
            trf(packet + QZ_TAG_LEN, qz::cap(packet) - QZ_TAG_LEN, "%s %u %u", word, d->id, block);
    outqUdpTo(sv, &sv->remote.outq, &d->from, packet, n);
}

void sendRequest(stQzSv* sv, stQzDownload* d) {
    char line[QZ_PKT_MAX];
    pktTag(line, QZ_PT_REQUEST);
    // The key names the module's version and carries the request's nonce, which the master's
    // signed header repeats.
    char key[48];
    QZ_TRF(key, "SV%d%03d-%s", sv->svVerMajor, sv->svVerMinor, d->nonce);
    int n = pktRequestFormat(line + QZ_TAG_LEN, qz::cap(line) - QZ_TAG_LEN, key, d->file,
                             QZ_PT_FILE, d->rate);
    char shown[22];
    if (n < 0 || !outqUdpTo(sv, &sv->remote.outq, &d->from, line, QZ_TAG_LEN + n)) {
        svMsg(sv, "Error trying to queue packet for sending to QZ Master");
        return;
    }
    svMsg(sv, "Download Request for %s Sent to (%s) %s", d->file, server(d, shown),
          remoteMasterName(sv, d->master));
}

// The whole file is here: inflate, check, write, and tell the owner. A module update goes to
// the installer instead, which does all of that a slice per frame.
void finish(stQzSv* sv, stQzDownload* d) {
    // The blocks must be the data the master's signed header described.
    unsigned char sha[32];
    unsigned shaLen = 0;
    bool whole = d->hash &&
                 EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(d->hash), sha, &shaLen) == 1 &&
                 shaLen == 32 && memcmp(sha, d->sha, 32) == 0;
    if (!whole) {
        char shown[22];
        if (d->purpose == QZ_DLP_UPDATE) {
            svMsg(sv, "File Corruption Error: Server [%s] file [%s]", server(d, shown), d->file);
        } else {
            svMsg(sv, "File Corrupted During Transmission");
        }
        updDownloadDone(sv, d, false);
        dlEnd(sv, d);
        return;
    }
    if (d->purpose == QZ_DLP_UPDATE) {
        char shown[22];
        updReceived(sv, d, server(d, shown));
        dlEnd(sv, d);
        return;
    }
    int zerr = 0;
    char* raw = dlInflate(d->buf, d->size, d->rawSize, &zerr);
    bool ok = false;
    if (!raw) {
        if (zerr == Z_MEM_ERROR) {
            svMsg(sv, "Memory Allocation Error trying to Uncompress");
        } else if (zerr == 1) {
            svMsg(sv, "File Corrupted During Transmission");
        } else {
            svMsg(sv, "Failure Uncompressing File");
        }
    } else {
        // A master list that does not parse never replaces the one on disk.
        const char* err = d->purpose == QZ_DLP_MASTERS ? masterListCheck(raw, d->rawSize) : nullptr;
        if (err) {
            svMsg(sv, "%s (%s)", err, d->target);
        } else {
            err = dlWriteFile(d->target, raw, d->rawSize);
        }
        if (err) {
            svMsg(sv, "%s", err);
        } else {
            svMsg(sv, "Received Download File: %s", d->target);
            ok = true;
        }
        free(raw);
    }
    updDownloadDone(sv, d, ok);
    dlEnd(sv, d);
}

// A verified header for transfer d (body after "VRFH", proof removed).
void header(stQzSv* sv, stQzDownload* d, const char* body, int length, const QzHeaderProof* p) {
    QzFileHeader h;
    int digits = 0;
    int res = pktHeaderParse(body, length, &h, &digits);
    char shown[22];
    if (res == QZ_HDR_SHORT) {
        svMsg(sv, "Received Small File Packet [%s]", remoteMasterName(sv, d->master));
        return;
    }
    if (strcmp(d->file, h.name) != 0) {
        remoteRefused(sv, d->master, "Received File Packet: Unknown File ID");
        return;
    }
    if (res == QZ_HDR_TOO_LARGE) {
        svMsg(sv, "Server [%s] reports file [%s] is too large to handle [%d hex digits]",
              server(d, shown), d->file, digits);
        updDownloadDone(sv, d, false);
        dlEnd(sv, d);
        return;
    }
    if (res == QZ_HDR_EMPTY) {
        svMsg(sv, "Server [%s] reports file [%s] is empty", server(d, shown), d->file);
        updDownloadDone(sv, d, false);
        dlEnd(sv, d);
        return;
    }
    d->buf = static_cast<char*>(malloc(h.size));
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    d->hash = hash;
    if (!d->buf || !hash || EVP_DigestInit_ex(hash, EVP_sha256(), nullptr) != 1) {
        svMsg(sv, "Memory Allocation Error [%s]", d->file);
        updDownloadDone(sv, d, false);
        dlEnd(sv, d);
        return;
    }
    memcpy(d->sha, p->sha, sizeof d->sha);
    d->id = h.id;
    d->size = h.size;
    d->rawSize = h.rawSize;
    d->blocks = pktBlockCount(h.size);
    d->next = 0;
    d->state = QZ_DL_RECEIVING;
    d->lastTick = GetTickCount();
    d->nudged = 0;
    // The next frame acknowledges the header ("ack <id> 0"): a master may hold the blocks back
    // until the requester has shown, under the transfer's number, that it asked.
    d->progressed = 1;
    svLog(sv, "Received File Header [%s]", d->file);
}

// A header packet body (from "VRFH" on): taken only when it answers a request of this master
// still waiting (its nonce) and its signature verifies with the update key.
void headerPacket(stQzSv* sv, int master, const char* body, int length) {
    stRemote* r = &sv->remote;
    QzHeaderProof p;
    if (!maHeaderSplit(body, length, &p)) {
        remoteRefused(sv, master, "file header without nonce and signature");
        return;
    }
    stQzDownload* d = nullptr;
    for (stQzDownload& c : r->dl) {
        if (c.state >= QZ_DL_REQUESTED && c.master == master && strcmp(c.nonce, p.nonce) == 0) {
            d = &c;
        }
    }
    if (!d) {
        remoteRefused(sv, master, "Received File Packet: Unknown File ID");
        return;
    }
    if (!remoteAnswerKey(sv, master)) return;
    if (!maVerify(r->updateKey, p.sig, body, static_cast<size_t>(p.signedLength))) {
        remoteRefused(sv, master, "file header with a bad signature");
        return;
    }
    if (d->state == QZ_DL_RECEIVING) {
        svLog(sv, "Received Duplicate Header [%s]", d->file);
        return;
    }
    header(sv, d, body + 4, p.headLength - 4, &p);
}

void block(stQzSv* sv, stQzDownload* list, int master, const char* body, int length) {
    QzFileBlock b;
    if (!pktBlockParse(body, length, &b)) {
        svMsg(sv, "Received Small File Packet [%s]", remoteMasterName(sv, master));
        return;
    }
    stQzDownload* d = nullptr;
    for (int i = 0; i < QZ_DL_MAX; ++i) {
        if (list[i].state == QZ_DL_RECEIVING && list[i].master == master && list[i].id == b.id) {
            d = &list[i];
        }
    }
    if (!d) {
        remoteRefused(sv, master, "Received File Packet for unknown File ID");
        return;
    }
    unsigned now = GetTickCount();
    d->lastTick = now;
    d->nudged = 0;
    if (d->next >= d->blocks || !d->buf) {
        char shown[22];
        svMsg(sv, "Internal Error 105: Server [%s] file [%s] size[%lu]", server(d, shown), d->file,
              static_cast<unsigned long>(d->size));
        updDownloadDone(sv, d, false);
        dlEnd(sv, d);
        return;
    }
    if (b.block < d->next) return;  // a block sent again after a reblock: already here
    if (b.block > d->next) {
        if (b.block >= d->blocks) {
            svMsg(sv, "Received Misordered File Block [%s] %ld / %ld", d->file,
                  static_cast<long>(b.block), static_cast<long>(d->blocks));
            return;
        }
        // One reblock request per gap and time-out step: the blocks already in flight behind
        // the gap would otherwise each ask again.
        if (tickElapsed(now, d->reblockTick) >= 250) {
            svLog(sv, "Received Misordered File Block [%s] %ld / %ld", d->file,
                  static_cast<long>(b.block), static_cast<long>(d->blocks));
            svLog(sv, "File Reblock %ld [%s]", static_cast<long>(d->next), d->file);
            control(sv, d, "reblock", d->next);
            d->reblockTick = now;
        }
        return;
    }
    int expect = pktBlockLength(d->size, d->next);
    if (b.length == 0) {
        svMsg(sv, "Received Empty File Block [%s]", d->file);
        return;
    }
    if (b.length > expect) {
        svMsg(sv, "Received Bloated File Block [%s]", d->file);
        return;
    }
    if (b.length < expect) {
        svMsg(sv, "Received Small File Packet [%s]", d->file);
        return;
    }
    memcpy(d->buf + static_cast<size_t>(d->next) * QZ_BLOCK_SIZE, b.data,
           static_cast<size_t>(expect));
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(d->hash), b.data, static_cast<size_t>(expect));
    d->next++;
    d->progressed++;
    // Every block would flood the log on a large file: the first, every 256th and the last.
    if (d->next == 1 || d->next % 256 == 0 || d->next == d->blocks) {
        svLog(sv, "File Block Received %ld/%ld [%s]", static_cast<long>(d->next),
              static_cast<long>(d->blocks), d->file);
    }
    if (d->next == d->blocks) {
        control(sv, d, "ack", d->next);
        finish(sv, d);
    }
}

}  // namespace

stQzFileServer* fsRegister(flexar* list, stQzFileServer* r) {
    for (int i = 0; i < list->count; ++i) {
        stQzFileServer* e = static_cast<stQzFileServer*>(flexarAt(list, i));
        bool match = r->secondName[0] ? strcmp(r->secondName, e->secondName) == 0
                                      : trcasecmp(e->fileName, r->fileName) == 0;
        if (match && e->id == r->id) {
            e->refCount++;
            return e;
        }
    }
    r->refCount = 1;
    if (!flexarAppend(list, r)) return nullptr;
    return static_cast<stQzFileServer*>(flexarAt(list, list->count - 1));
}

stQzDownload* dlStart(stQzSv* sv, int master, const char* file, const char* target, int purpose,
                      int rate) {
    stRemote* r = &sv->remote;
    if (!fileNameOk(file) || !homeNameOk(target)) {
        svMsg(sv, "Download Request refused: unsafe file name [%s]", file);
        return nullptr;
    }
    const sockaddr_in* at = remoteMasterAddr(sv, master);
    if (!at) {
        svMsg(sv, "%s has not yet resolved", remoteMasterName(sv, master));
        return nullptr;
    }
    stQzFileServer rec;
    memset(&rec, 0, sizeof rec);
    rec.id = static_cast<uint32_t>(r->masters[master].number);
    QZ_COPY(rec.fileName, file);
    stQzFileServer* e = fsRegister(&r->files, &rec);
    if (!e) {
        svMsg(sv, "Memory Allocation Error [%s]", file);
        return nullptr;
    }
    if (e->refCount > 1) {
        // The file is already on its way from this master: the one transfer serves both.
        return &r->dl[e->word];
    }
    for (int i = 0; i < QZ_DL_MAX; ++i) {
        stQzDownload* d = &r->dl[i];
        if (d->state != QZ_DL_FREE) continue;
        memset(d, 0, sizeof *d);
        if (!maNonce(d->nonce)) break;
        d->state = QZ_DL_QUEUED;
        d->purpose = purpose;
        d->master = master;
        d->rate = rate;
        d->from = *at;
        QZ_COPY(d->file, file);
        QZ_COPY(d->target, target);
        e->word = static_cast<uint32_t>(i);
        r->busy = 1;
        return d;
    }
    e->refCount = 0;
    // The record that was just added is dropped again so that a later request can retry.
    r->files.count--;
    svMsg(sv, "Download Request for %s refused: %d transfers already waiting", file, QZ_DL_MAX);
    return nullptr;
}

void dlEnd(stQzSv* sv, stQzDownload* d) {
    if (d->state == QZ_DL_FREE) return;
    free(d->buf);
    d->buf = nullptr;
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(d->hash));
    d->hash = nullptr;
    flexar* list = &sv->remote.files;
    for (int i = 0; i < list->count; ++i) {
        stQzFileServer* e = static_cast<stQzFileServer*>(flexarAt(list, i));
        if (strcmp(e->fileName, d->file) != 0 ||
            e->word != static_cast<uint32_t>(d - sv->remote.dl)) {
            continue;
        }
        memmove(e, e + 1, static_cast<size_t>(list->count - i - 1) * sizeof *e);
        list->count--;
        break;
    }
    d->state = QZ_DL_FREE;
}

void dlPacket(stQzSv* sv, int master, const char* body, int length, const sockaddr_in*) {
    if (length < 4) {
        svMsg(sv, "Received Small File Packet [%s]", remoteMasterName(sv, master));
        return;
    }
    if (memcmp(body, "VRFH", 4) == 0) {
        headerPacket(sv, master, body, length);
    } else if (memcmp(body, "VRFB", 4) == 0) {
        block(sv, sv->remote.dl, master, body + 4, length - 4);
    } else {
        remoteRefused(sv, master, "Received File Packet: Unknown File ID");
    }
}

int dlFrame(stQzSv* sv, unsigned now) {
    stRemote* r = &sv->remote;
    int active = 0, queued = 0;
    for (stQzDownload& d : r->dl) {
        active += d.state >= QZ_DL_REQUESTED;
        queued += d.state == QZ_DL_QUEUED;
    }
    int limit = sv->set.maxConDls < 1 ? 1 : sv->set.maxConDls;
    for (stQzDownload& d : r->dl) {
        if (queued && d.state == QZ_DL_QUEUED && active < limit) {
            d.state = QZ_DL_REQUESTED;
            d.lastTick = now;
            sendRequest(sv, &d);
            active++;
            queued--;
            continue;
        }
        if (d.state < QZ_DL_REQUESTED) continue;
        if (d.state == QZ_DL_RECEIVING && d.progressed) {
            control(sv, &d, "ack", d.next);
            d.progressed = 0;
        }
        int silent = tickElapsed(now, d.lastTick);
        if (silent >= QZ_DL_TIMEOUT_MS) {
            char shown[22];
            svMsg(sv, "Packet Timeout: Server [%s] file [%s] size[%lu]", server(&d, shown), d.file,
                  static_cast<unsigned long>(d.size));
            updDownloadDone(sv, &d, false);
            dlEnd(sv, &d);
        } else if (silent >= QZ_DL_NUDGE_MS && !d.nudged) {
            d.nudged = 1;
            if (d.state == QZ_DL_RECEIVING) {
                control(sv, &d, "restart", d.next);
            } else {
                sendRequest(sv, &d);
            }
        }
    }
    int left = 0;
    for (stQzDownload& d : r->dl) left += d.state != QZ_DL_FREE;
    return left;
}

char* dlInflate(const char* data, unsigned long length, unsigned long expect, int* zerr) {
    *zerr = 1;
    if (expect == 0 || expect > QZ_RAW_MAX || expect > length * kMaxRatio + 64) return nullptr;
    // One byte more than announced: output that fills it proves the data inflate to more.
    char* out = static_cast<char*>(malloc(expect + 1));
    if (!out) {
        *zerr = Z_MEM_ERROR;
        return nullptr;
    }
    uLongf got = expect + 1;
    int res = uncompress(reinterpret_cast<Bytef*>(out), &got, reinterpret_cast<const Bytef*>(data),
                         length);
    if (res == Z_OK && got == expect) {
        *zerr = Z_OK;
        return out;
    }
    free(out);
    *zerr = res == Z_OK || res == Z_BUF_ERROR ? 1 : res;
    return nullptr;
}

const char* dlWriteFile(const char* name, const char* data, unsigned long length) {
    if (!homeNameOk(name)) return "File Open/Creation Error";
    char path[QZ_PATH_MAX], temp[QZ_PATH_MAX];
    QZ_COPY(path, homePath(name));
    QZ_TRF(temp, "%s.part", path);
    // Through the home directory's checked open: a part file that is a link leading out of the
    // home directory, a FIFO or a device is refused.
    FILE* fp = homeOpen(temp, "wb");
    if (!fp) return "File Open/Creation Error";
    // Not synced: this runs in a frame, and a sync flushes the disk's cache (milliseconds on some
    // machines). The data files are fetched again at every check, and a file cut short by a
    // crash is refused by its reader like any damaged one.
    bool ok = fwrite(data, 1, length, fp) == length;
    ok = fclose(fp) == 0 && ok;
    if (!ok || rename(temp, path) != 0) {
        unlink(temp);
        return "File Write Error";
    }
    return nullptr;
}
