// Files exchanged with the client modules. A client that asks for a module version gets the
// module's stored copy from the "dll" folder: read whole, compressed once and shared by every
// client that asks for the same file (a transfer record with a reference count), sent in
// numbered blocks ahead of the client's acknowledgements. A client that uploads a file sends a
// header and numbered blocks; nothing is written until every block has arrived, the data have
// inflated to exactly the announced size and the file is whole beside its target.
#include "remote/clientfiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/slots.h"
#include "players/violations.h"
#include "remote/packets.h"
#include "remote/transfer.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Deflate cannot shrink data more than about 1032 to 1; a header claiming more is a lie.
constexpr unsigned long kMaxRatio = 1032;
// The longest header or control packet looked at.
constexpr int kHeadMax = 256;
// The text after the required versions when a client is told which one it needs.
constexpr const char* kUpdateFailedText = "Your Kestrine client could not be updated";
constexpr const char* kNotOfferedText = "Requested Version Not Offered";

char g_fault = 0;

// Takes the test seam's fault when it names which.
bool fault(char which) {
    if (g_fault != which) return false;
    g_fault = 0;
    return true;
}

void* allocate(char which, size_t n) { return fault(which) ? nullptr : malloc(n); }

void putBe32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}

bool startsWith(const char* data, int length, const char* word) {
    int n = slen(word);
    return length >= n && memcmp(data, word, static_cast<size_t>(n)) == 0;
}

// A plain file name of an upload: letters, digits, ".", "-" and "_", not starting with a dot,
// so that it can only name a file of the upload folder.
bool uploadNameOk(const char* name) {
    int n = 0;
    for (; name[n]; ++n) {
        char c = name[n];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return n > 0 && n <= 48 && name[0] != '.';
}

// Decimal number of at most six digits ending at a blank or the end.
bool version(const char*& p, const char* end, unsigned long* out) {
    unsigned long v = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (++digits > 6) return false;
        v = v * 10 + static_cast<unsigned long>(*p++ - '0');
    }
    if (!digits || (p < end && *p != ' ')) return false;
    if (p < end) p++;
    *out = v;
    return true;
}

stClientFiles& cfOf(stQzSv* sv) { return sv->remote.cf; }

stQzFileServer* record(stClientFiles& cf, int i) {
    return static_cast<stQzFileServer*>(flexarAt(&cf.records, i));
}

const char* baseName(const char* file) {
    const char* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

// "QVRFC <word> <id> <n>": a transfer control about an upload.
void exchange(stQzSv* sv, int slot, const char* word, uint32_t id, uint32_t n) {
    svSendClient(sv, slot, "%cVRFC %s %u %u", QZ_MSG_EXCHANGE, word, id, n);
}

// The header that tells a client its file cannot be had: size 0, as a master answers.
void sendRefusal(stQzSv* sv, int slot, const char* file) {
    svSendClient(sv, slot, "%cVRFH 0 0 0 %s", QZ_MSG_EXCHANGE, baseName(file));
}

void tellRequired(stQzSv* sv, int slot, const char* text) {
    svSendClient(sv, slot, "%cThis QZ Server Requires (A%d C%d.%03d) - %s", QZ_MSG_PRINT, sv->agVer,
                 sv->clVerMajor, sv->clVerMinor, text);
}

// Reads file whole and compresses it into src. False after the failure's message.
bool load(stQzSv* sv, const Qz_Sv_Client_s* c, const char* file, stCfSource* src) {
    FILE* fp = homeOpen(file, "rb");
    if (!fp) {
        svMsg(sv, "Client[%s] Requested file [%s] - File Not Found", c->name, file);
        return false;
    }
    struct stat st;
    memset(&st, 0, sizeof st);
    long size = fstat(fileno(fp), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    src->fileSize = static_cast<long long>(st.st_size);
    src->mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    src->inode = static_cast<unsigned long long>(st.st_ino);
    if (size <= 0) {
        fclose(fp);
        svMsg(sv, "Client[%s] Requested file [%s] - File Empty", c->name, file);
        return false;
    }
    // A file beyond the bound is one the module will not hold in memory.
    char* raw = static_cast<unsigned long>(size) <= QZ_CF_FILE_MAX
                    ? static_cast<char*>(allocate('A', static_cast<size_t>(size)))
                    : nullptr;
    if (!raw) {
        fclose(fp);
        svMsg(sv, "Client[%s] Requested file [%s] - Memory Allocation Error (A)", c->name, file);
        return false;
    }
    size_t want = static_cast<size_t>(size) - (fault('R') ? 1 : 0);
    long got = static_cast<long>(fread(raw, 1, want, fp));
    fclose(fp);
    if (got != size) {
        free(raw);
        svMsg(sv, "Client[%s] Requested file [%s] - File Read Error (%ld/%ld)", c->name, file, got,
              size);
        return false;
    }
    uLongf bound = compressBound(static_cast<uLong>(size));
    char* packed = static_cast<char*>(allocate('B', bound));
    if (!packed) {
        free(raw);
        svMsg(sv, "Client[%s] Requested file [%s] - Memory Allocation Error (B)", c->name, file);
        return false;
    }
    uLongf packedSize = bound;
    int res = fault('Z') ? Z_MEM_ERROR
                         : compress(reinterpret_cast<Bytef*>(packed), &packedSize,
                                    reinterpret_cast<const Bytef*>(raw), static_cast<uLong>(size));
    free(raw);
    if (res != Z_OK) {
        free(packed);
        svMsg(sv, "Client[%s] Requested file [%s] - File Compression Error (%d)", c->name, file,
              res);
        return false;
    }
    src->buf = packed;
    src->size = static_cast<uint32_t>(packedSize);
    src->rawSize = static_cast<uint32_t>(size);
    return true;
}

// True when file is still the one src was read from.
bool unchanged(const char* file, const stCfSource* src) {
    struct stat st;
    if (stat(homePath(file), &st) != 0) return false;
    long long ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return static_cast<long long>(st.st_size) == src->fileSize && ns == src->mtimeNs &&
           static_cast<unsigned long long>(st.st_ino) == src->inode;
}

void dropSource(stCfSource* src) {
    free(src->buf);
    src->buf = nullptr;
}

// The source serving file: the one already in memory (kept after its last client while the
// file is unchanged), or a newly loaded one. -1 after the failure's message.
int acquire(stQzSv* sv, const Qz_Sv_Client_s* c, const char* file) {
    stClientFiles& cf = cfOf(sv);
    if (!cf.records.elemSize) cf.records = flexarMake(sizeof(stQzFileServer), 4);
    stQzFileServer rec;
    memset(&rec, 0, sizeof rec);
    rec.id = QZ_CF_RECORD_ID;
    QZ_COPY(rec.fileName, file);
    stQzFileServer* e = fault('C') ? nullptr : fsRegister(&cf.records, &rec);
    if (!e) {
        svMsg(sv, "Client[%s] Requested file [%s] - Memory Allocation Error (C)", c->name, file);
        return -1;
    }
    if (e->refCount > 1) return static_cast<int>(e->word);
    const int index = static_cast<int>(e - record(cf, 0));
    int place = -1;
    // The copy kept from earlier clients serves as long as the file has not changed.
    if (e->word < static_cast<uint32_t>(QZ_CF_SOURCES) && cf.src[e->word].buf &&
        cf.src[e->word].record == index) {
        stCfSource* kept = &cf.src[e->word];
        if (unchanged(file, kept)) return static_cast<int>(e->word);
        dropSource(kept);
        place = static_cast<int>(e->word);
    }
    for (int i = 0; i < QZ_CF_SOURCES && place < 0; ++i)
        if (!cf.src[i].buf) place = i;
    // Every place is taken: a kept copy that nobody is being sent gives its place up.
    for (int i = 0; i < QZ_CF_SOURCES && place < 0; ++i) {
        if (record(cf, cf.src[i].record)->refCount == 0) {
            dropSource(&cf.src[i]);
            place = i;
        }
    }
    if (place < 0) {
        // Every place serves another file: as good as an allocation that failed.
        e->refCount = 0;
        svMsg(sv, "Client[%s] Requested file [%s] - Memory Allocation Error (C)", c->name, file);
        return -1;
    }
    if (!load(sv, c, file, &cf.src[place])) {
        record(cf, index)->refCount = 0;
        return -1;
    }
    cf.src[place].record = index;
    record(cf, index)->word = static_cast<uint32_t>(place);
    return place;
}

void releaseServe(stQzSv* sv, stCfServe* s) {
    stClientFiles& cf = cfOf(sv);
    if (s->state != QZ_CF_IDLE && s->source >= 0 && s->source < QZ_CF_SOURCES) {
        stCfSource* src = &cf.src[s->source];
        stQzFileServer* e = record(cf, src->record);
        // The last client's copy is kept for the next request (see acquire).
        if (e && e->refCount > 0) e->refCount--;
    }
    memset(s, 0, sizeof *s);
}

void releaseUpload(stCfUpload* u) {
    free(u->buf);
    memset(u, 0, sizeof *u);
}

void startSending(stQzSv* sv, int slot, stCfServe* s, unsigned now) {
    const stCfSource* src = &cfOf(sv).src[s->source];
    s->state = QZ_CF_SENDING;
    s->blocks = pktBlockCount(src->size);
    s->next = s->acked = 0;
    s->lastTick = s->nudgeTick = now;
    svSendClient(sv, slot, "%cVRFH %u %X %X %s", QZ_MSG_EXCHANGE, s->id, src->size, src->rawSize,
                 baseName(s->file));
}

// Starts queued requests, the earliest first, while fewer than qz_sv_maxConUpdates are sending.
void promote(stQzSv* sv, unsigned now) {
    stClientFiles& cf = cfOf(sv);
    int sending = 0;
    for (const stCfServe& s : cf.serve) sending += s.state == QZ_CF_SENDING;
    while (sending < sv->set.maxConUpdates) {
        int best = -1;
        for (int i = 0; i < QZ_SLOTS; ++i) {
            if (cf.serve[i].state != QZ_CF_QUEUED) continue;
            if (best < 0 || cf.serve[i].id < cf.serve[best].id) best = i;
        }
        if (best < 0) return;
        startSending(sv, best + 1, &cf.serve[best], now);
        sending++;
    }
}

// "QZ_DLREQ <kind> <from> <to>": kind c (client module) or a (agent module).
void request(stQzSv* sv, int slot, Qz_Sv_Client_s* c, const char* p, const char* end) {
    char kind = p < end ? *p++ : 0;
    if (kind >= 'A' && kind <= 'Z') kind = static_cast<char>(kind - 'A' + 'a');
    unsigned long from = 0, to = 0;
    char file[64];
    bool ok = p < end && *p++ == ' ' && version(p, end, &from) && version(p, end, &to) &&
              p == end && cfStoredName(file, qz::cap(file), c->os, kind, to);
    if (!ok) {
        if (plPacketLogAllowed(sv, slot))
            svMsg(sv, "Malformed download request from (slot #%d) %s", slot, c->name);
        return;
    }
    stClientFiles& cf = cfOf(sv);
    // A few requests a minute per connection: more are dropped without an answer.
    unsigned now = GetTickCount();
    const int i = slot - 1;
    if (cf.reqSeq[i] != c->seq || tickElapsed(now, cf.reqTick[i]) >= 60000) {
        cf.reqSeq[i] = c->seq;
        cf.reqTick[i] = now;
        cf.reqCount[i] = 0;
    }
    if (++cf.reqCount[i] > QZ_CF_REQUESTS_PER_MINUTE) {
        if (plPacketLogAllowed(sv, slot))
            svMsg(sv, "Download request from (slot #%d) %s ignored: more than %d a minute", slot,
                  c->name, QZ_CF_REQUESTS_PER_MINUTE);
        return;
    }
    svMsg(sv, "Download request for %s (%c %lu -> %lu) from (slot# %d [%d,%lu]) %s %s", file, kind,
          from, to, slot, c->status, c->seq, c->name, plGuidText(c));
    stCfServe* s = &cf.serve[slot - 1];
    // A new request replaces the client's earlier one.
    releaseServe(sv, s);
    if (to != cfRequired(sv, kind)) {
        tellRequired(sv, slot, kNotOfferedText);
        sendRefusal(sv, slot, file);
        return;
    }
    int source = acquire(sv, c, file);
    if (source < 0) {
        sendRefusal(sv, slot, file);
        return;
    }
    s->state = QZ_CF_QUEUED;
    s->seq = c->seq;
    s->source = source;
    if (++cf.nextId == 0) cf.nextId = 1;
    s->id = cf.nextId;
    s->kind = kind;
    s->from = from;
    s->to = to;
    s->queuedTick = now;
    QZ_COPY(s->file, file);
    cf.busy = 1;
    promote(sv, now);
}

void served(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, stCfServe* s) {
    svMsg(sv, "File %s sent to (slot# %d [%d,%lu]) %s %s", s->file, slot, c->status, c->seq,
          c->name, plGuidText(c));
    releaseServe(sv, s);
    promote(sv, GetTickCount());
}

// "QZ_VRFC ack|reblock|restart <id> <n>" about a file being served.
void control(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, const char* p, int length) {
    stCfServe* s = &cfOf(sv).serve[slot - 1];
    uint32_t id = 0, n = 0;
    int kind = pktControlParse(p, length, &id, &n);
    if (kind == QZ_CTL_NONE || s->state != QZ_CF_SENDING || s->seq != c->seq || id != s->id ||
        n > s->blocks) {
        if (plPacketLogAllowed(sv, slot))
            svMsg(sv, "Transfer control ignored from (slot #%d) %s", slot, c->name);
        return;
    }
    s->lastTick = s->nudgeTick = GetTickCount();
    if (kind == QZ_CTL_ACK) {
        if (n > s->acked) s->acked = n;
        if (s->next < s->acked) s->next = s->acked;
        if (s->acked == s->blocks) served(sv, slot, c, s);
    } else if (kind == QZ_CTL_REBLOCK) {
        if (n >= s->acked) s->next = n;
    } else {
        // The client starts again from block n: what it acknowledged beyond is lost.
        if (n < s->acked) s->acked = n;
        s->next = n;
        if (n == 0) {
            const stCfSource* src = &cfOf(sv).src[s->source];
            svSendClient(sv, slot, "%cVRFH %u %X %X %s", QZ_MSG_EXCHANGE, s->id, src->size,
                         src->rawSize, baseName(s->file));
        }
    }
}

void corruptHeader(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, uint32_t id, long size) {
    if (plPacketLogAllowed(sv, slot))
        svMsg(sv, "ERROR: Corrupt Upload Header for [%s] slot#%d (%x|%ld)", c->name, slot, id,
              size);
    exchange(sv, slot, "abort", id, 0);
}

void corruptBlock(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, uint32_t id, long block) {
    if (plPacketLogAllowed(sv, slot))
        svMsg(sv, "ERROR: Corrupt Upload Block for [%s] slot#%d (%x|%ld)", c->name, slot, id,
              block);
}

// Counts the files and bytes already in the upload folder (once a run).
void countUploads(stClientFiles& cf) {
    cf.dirCounted = 1;
    cf.dirFiles = 0;
    cf.dirBytes = 0;
    DIR* dir = opendir(homePath(QZ_CF_UPLOAD_DIR));
    if (!dir) return;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(QZ_CF_UPLOAD_DIR));
    while (const dirent* d = readdir(dir)) {
        if (d->d_name[0] == '.') continue;
        char full[QZ_PATH_MAX + 256];
        QZ_TRF(full, "%s/%s", path, d->d_name);
        struct stat st;
        if (lstat(full, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        cf.dirFiles++;
        cf.dirBytes += static_cast<unsigned long>(st.st_size);
    }
    closedir(dir);
}

// Null when client c may start an upload of raw bytes; else why not. Counts the upload against
// the connection's quota when it may.
const char* uploadQuota(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, uint32_t raw) {
    stClientFiles& cf = cfOf(sv);
    const int i = slot - 1;
    if (cf.upSeq[i] != c->seq) {
        cf.upSeq[i] = c->seq;
        cf.upFiles[i] = 0;
        cf.upBytes[i] = 0;
    }
    if (!cf.dirCounted) countUploads(cf);
    if (cf.upFiles[i] >= QZ_CF_UPLOAD_CLIENT_FILES) return "player's upload quota (files) reached";
    if (cf.upBytes[i] + raw > QZ_CF_UPLOAD_CLIENT_BYTES) {
        return "player's upload quota (bytes) reached";
    }
    if (cf.dirFiles >= QZ_CF_UPLOAD_TOTAL_FILES || cf.dirBytes + raw > QZ_CF_UPLOAD_TOTAL_BYTES) {
        return "the upload folder is full";
    }
    cf.upFiles[i]++;
    cf.upBytes[i] += raw;
    return nullptr;
}

// "QZ_VRFH <id> <size hex> <raw size hex> <name>": a client starts an upload.
void uploadHeader(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, const char* body, int length) {
    QzFileHeader h;
    int digits = 0;
    int res = pktHeaderParse(body, length > kHeadMax ? kHeadMax : length, &h, &digits);
    stClientFiles& cf = cfOf(sv);
    stCfUpload* u = &cf.up[slot - 1];
    releaseUpload(u);
    if (res != QZ_HDR_OK || !uploadNameOk(h.name) || h.size > QZ_CF_UPLOAD_MAX ||
        h.rawSize > QZ_CF_UPLOAD_RAW_MAX || h.rawSize > h.size * kMaxRatio + 64) {
        corruptHeader(sv, slot, c, h.id, static_cast<long>(h.size));
        return;
    }
    const char* quota = uploadQuota(sv, slot, c, h.rawSize);
    if (quota) {
        svMsg(sv, "Upload of %s from (slot# %d) %s refused: %s", h.name, slot, c->name, quota);
        exchange(sv, slot, "abort", h.id, 0);
        return;
    }
    int running = 0;
    for (const stCfUpload& o : cf.up) running += o.state != 0;
    if (running >= sv->set.maxConDls) {
        svMsg(sv, "Upload of %s from (slot# %d) %s refused: %d in progress (qz_sv_MaxConDls %d)",
              h.name, slot, c->name, running, sv->set.maxConDls);
        exchange(sv, slot, "busy", h.id, 0);
        return;
    }
    u->buf = static_cast<char*>(malloc(h.size));
    if (!u->buf) {
        svMsg(sv, "Memory Allocation Error [%s]", h.name);
        exchange(sv, slot, "abort", h.id, 0);
        return;
    }
    u->state = 1;
    u->seq = c->seq;
    u->id = h.id;
    u->size = h.size;
    u->rawSize = h.rawSize;
    u->blocks = pktBlockCount(h.size);
    u->next = 0;
    u->lastTick = GetTickCount();
    QZ_COPY(u->name, h.name);
    cf.busy = 1;
    svLog(sv, "Upload of %s (%u bytes) from (slot# %d) %s started", u->name, u->rawSize, slot,
          c->name);
    exchange(sv, slot, "ack", u->id, 0);
}

void uploadDone(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, stCfUpload* u) {
    int zerr = 0;
    char* raw = dlInflate(u->buf, u->size, u->rawSize, &zerr);
    if (!raw) {
        corruptBlock(sv, slot, c, u->id, static_cast<long>(u->blocks) - 1);
        exchange(sv, slot, "abort", u->id, 0);
        releaseUpload(u);
        return;
    }
    char target[128];
    QZ_TRF(target, "%s/%06lu-%s", QZ_CF_UPLOAD_DIR, c->seq, u->name);
    mkdir(homePath(QZ_CF_UPLOAD_DIR), 0755);
    const char* err = dlWriteFile(target, raw, u->rawSize);
    free(raw);
    if (err) {
        svMsg(sv, "File Write/Creation Error (%s)", target);
        exchange(sv, slot, "abort", u->id, 0);
    } else {
        stClientFiles& cf = cfOf(sv);
        cf.dirFiles++;
        cf.dirBytes += u->rawSize;
        svMsg(sv, "Received Upload File: %s (%u bytes) from (slot# %d) %s %s", target, u->rawSize,
              slot, c->name, plGuidText(c));
        exchange(sv, slot, "ack", u->id, u->blocks);
    }
    releaseUpload(u);
}

// "QZ_VRFB" + id and block number (4-byte big-endian each) + the block's data.
void uploadBlock(stQzSv* sv, int slot, const Qz_Sv_Client_s* c, const char* body, int length) {
    QzFileBlock b;
    stCfUpload* u = &cfOf(sv).up[slot - 1];
    if (!pktBlockParse(body, length, &b)) {
        corruptBlock(sv, slot, c, 0, -1);
        return;
    }
    if (!u->state || u->seq != c->seq || b.id != u->id || b.block >= u->blocks) {
        corruptBlock(sv, slot, c, b.id, static_cast<long>(b.block));
        return;
    }
    u->lastTick = GetTickCount();
    if (b.block < u->next) return;  // a repeat of a block already taken
    if (b.block > u->next) {
        exchange(sv, slot, "reblock", u->id, u->next);
        return;
    }
    if (b.length != pktBlockLength(u->size, b.block)) {
        corruptBlock(sv, slot, c, b.id, static_cast<long>(b.block));
        exchange(sv, slot, "abort", u->id, 0);
        releaseUpload(u);
        return;
    }
    memcpy(u->buf + static_cast<size_t>(b.block) * QZ_BLOCK_SIZE, b.data,
           static_cast<size_t>(b.length));
    u->next++;
    u->progressed = 1;
    if (u->next == u->blocks) uploadDone(sv, slot, c, u);
}

// One client's served file in the frame: time-outs, then the blocks the window allows.
void serveFrame(stQzSv* sv, int slot, stCfServe* s, unsigned now) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || c->seq != s->seq) {
        releaseServe(sv, s);
        return;
    }
    if (s->state != QZ_CF_SENDING) return;
    if (static_cast<unsigned>(tickElapsed(now, s->lastTick)) >= QZ_CF_TIMEOUT_MS) {
        int acked = static_cast<int>(s->acked);
        releaseServe(sv, s);
        plViolation(sv, slot, QZ_V_UPDATE_TIMEOUT, acked, "Time Out trying to Update QZ Client",
                    false);
        return;
    }
    if (static_cast<unsigned>(tickElapsed(now, s->nudgeTick)) >= QZ_CF_NUDGE_MS) {
        // Nothing heard for a while: the window since the last acknowledgement goes again.
        s->next = s->acked;
        s->nudgeTick = now;
    }
    const stCfSource* src = &cfOf(sv).src[s->source];
    char packet[5 + 8 + QZ_BLOCK_SIZE];
    for (int sent = 0;
         sent < QZ_CF_BLOCKS_PER_FRAME && s->next < s->blocks && s->next < s->acked + QZ_CF_WINDOW;
         ++sent) {
        int n = pktBlockLength(src->size, s->next);
        memcpy(packet, "QVRFB", 5);
        putBe32(packet + 5, s->id);
        putBe32(packet + 9, s->next);
        memcpy(packet + 13, src->buf + static_cast<size_t>(s->next) * QZ_BLOCK_SIZE,
               static_cast<size_t>(n));
        svSendClientBytes(sv, slot, packet, 13 + n);
        s->next++;
    }
}

void uploadFrame(stQzSv* sv, int slot, stCfUpload* u, unsigned now) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || c->seq != u->seq) {
        releaseUpload(u);
        return;
    }
    if (static_cast<unsigned>(tickElapsed(now, u->lastTick)) >= QZ_CF_UPLOAD_STALL_MS) {
        svMsg(sv, "Upload of %s from (slot# %d) %s timed out after block %u of %u", u->name, slot,
              c->name, u->next, u->blocks);
        releaseUpload(u);
        return;
    }
    if (u->progressed) {
        u->progressed = 0;
        exchange(sv, slot, "ack", u->id, u->next);
    }
}

void graceFrame(stQzSv* sv, int slot, unsigned now) {
    stClientFiles& cf = cfOf(sv);
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || c->seq != cf.graceSeq[slot - 1] || c->status == QZ_ST_OK || c->status == QZ_ST_SPEC) {
        cf.graceSeq[slot - 1] = 0;
        return;
    }
    long waited = tickElapsed(now, cf.graceTick[slot - 1]);
    if (waited < static_cast<long>(sv->set.updateGrace) * 1000) return;
    cf.graceSeq[slot - 1] = 0;
    char reason[96];
    QZ_TRF(reason, "Client C%d.%03d, server requires C%d.%03d", c->clientVerMajor,
           c->clientVerMinor, sv->clVerMajor, sv->clVerMinor);
    plViolation(sv, slot, QZ_V_AUTO_UPDATE, c->clientVerMajor * 1000 + c->clientVerMinor, reason,
                false);
}

}  // namespace

bool cfStoredName(char* out, int size, char os, char kind, unsigned long number) {
    if ((kind != 'c' && kind != 'a') || number > 999999) return false;
    char sys = os >= 'A' && os <= 'Z' ? static_cast<char>(os - 'A' + 'a') : os;
    if (sys < 'a' || sys > 'z') return false;
    int n = trf(out, size, "dll/%c%c%06lu%s", sys, kind, number, sys == 'w' ? ".dll" : ".so");
    return n < size;
}

unsigned long cfRequired(stQzSv* sv, char kind) {
    if (kind == 'a') return sv->agVer < 0 ? 0 : static_cast<unsigned long>(sv->agVer);
    int v = sv->clVerMajor * 1000 + sv->clVerMinor;
    return v < 0 ? 0 : static_cast<unsigned long>(v);
}

bool cfPacket(stQzSv* sv, int slot, const char* data, int length) {
    if (length < 7 || memcmp(data, "QZ_", 3) != 0) return false;
    const bool req = startsWith(data, length, "QZ_DLREQ ");
    const bool ctl = startsWith(data, length, "QZ_VRFC ");
    const bool hdr = startsWith(data, length, "QZ_VRFH");
    const bool blk = startsWith(data, length, "QZ_VRFB");
    if (!req && !ctl && !hdr && !blk) return false;
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return true;
    if (c->status < QZ_ST_INIT || c->status == QZ_ST_SBOT) {
        if (plPacketLogAllowed(sv, slot))
            svMsg(sv, "Packet ignored from (slot #%d) %s: %.7s (status %s)", slot, c->name, data,
                  plStatusName(c->status));
        return true;
    }
    const char* end = data + (length > kHeadMax && !blk ? kHeadMax : length);
    if (req) {
        request(sv, slot, c, data + 9, end);
    } else if (ctl) {
        control(sv, slot, c, data + 8, static_cast<int>(end - data) - 8);
    } else if (hdr) {
        uploadHeader(sv, slot, c, data + 7, length - 7);
    } else {
        uploadBlock(sv, slot, c, data + 7, length - 7);
    }
    return true;
}

void cfOffer(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    const unsigned long required = cfRequired(sv, 'c');
    if (!c || !required) return;
    const unsigned long has =
        static_cast<unsigned long>(c->clientVerMajor * 1000 + c->clientVerMinor);
    char file[64];
    if (has >= required || !cfStoredName(file, qz::cap(file), c->os, 'c', required)) return;
    struct stat st;
    if (stat(homePath(file), &st) == 0 && S_ISREG(st.st_mode)) return;
    // Reported once a minute per file, however many outdated clients join.
    stClientFiles& cf = cfOf(sv);
    unsigned now = GetTickCount();
    if (strcmp(cf.last, file) == 0 && tickElapsed(now, cf.lastTick) < 60000) return;
    QZ_COPY(cf.last, file);
    cf.lastTick = now;
    svMsg(sv, "Critical Error - Local File %s Not Found", file);
}

void cfUpdateFailed(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    tellRequired(sv, slot, kUpdateFailedText);
    svMsg(sv,
          "Update Failure (slot# %d) %s: client C%d.%03d, server requires C%d.%03d (kick in %d "
          "seconds)",
          slot, c->name, c->clientVerMajor, c->clientVerMinor, sv->clVerMajor, sv->clVerMinor,
          sv->set.updateGrace);
    stClientFiles& cf = cfOf(sv);
    if (cf.graceSeq[slot - 1] == c->seq) return;  // the grace runs from the first failure
    cf.graceSeq[slot - 1] = c->seq;
    cf.graceTick[slot - 1] = GetTickCount();
    cf.busy = 1;
}

void cfFrame(stQzSv* sv, unsigned now) {
    stClientFiles& cf = cfOf(sv);
    if (!cf.busy) return;
    int busy = 0;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        stCfServe* s = &cf.serve[slot - 1];
        if (s->state != QZ_CF_IDLE) serveFrame(sv, slot, s, now);
        stCfUpload* u = &cf.up[slot - 1];
        if (u->state) uploadFrame(sv, slot, u, now);
        if (cf.graceSeq[slot - 1]) graceFrame(sv, slot, now);
    }
    promote(sv, now);
    for (int i = 0; i < QZ_SLOTS; ++i)
        busy += cf.serve[i].state != QZ_CF_IDLE || cf.up[i].state || cf.graceSeq[i] != 0;
    cf.busy = busy;
}

void cfShutdown(stQzSv* sv) {
    stClientFiles& cf = cfOf(sv);
    for (stCfUpload& u : cf.up) free(u.buf);
    for (stCfSource& s : cf.src) free(s.buf);
    flexarFree(&cf.records);
    memset(&cf, 0, sizeof cf);
}

void cfTestFault(char which) { g_fault = which; }
