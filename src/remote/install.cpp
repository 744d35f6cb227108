// The update installer: header, digests, bounded inflate, signature, atomic write, a slice at a
// time.
#include "remote/install.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/mastauth.h"
#include "remote/packets.h"
#include "util/md5.h"
#include "util/text.h"

namespace {

struct Header {
    char kind, os;
    int number;
    unsigned long rawSize;
    char digest[33];
    char sig[2 * QZ_UPD_SIG_LEN + 1];
    long length;  // bytes of the header line with its line end
};

int hexValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

bool parseHeader(const char* data, long size, Header* h) {
    const char* end =
        static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(size < 512 ? size : 512)));
    if (!end) return false;
    h->length = end - data + 1;
    char line[512];
    long n = end - data;
    if (n > 0 && data[n - 1] == '\r') n--;
    memcpy(line, data, static_cast<size_t>(n));
    line[n] = 0;
    if (memchr(line, 0, static_cast<size_t>(n))) return false;
    char kind[2], os[2], digest[40], sig[140];
    int number = 0;
    unsigned long raw = 0;
    int used = 0;
    if (sscanf(line, "<p> U %1s %1s %d %lu %39s %139s%n", kind, os, &number, &raw, digest, sig,
               &used) != 6 ||
        used != n || number < 0 || !masterDigestOk(digest)) {
        return false;
    }
    h->kind = kind[0];
    h->os = os[0];
    h->number = number;
    h->rawSize = raw;
    QZ_COPY(h->digest, digest);
    QZ_COPY(h->sig, sig);
    return true;
}

bool sameDigest(const char* a, const char* b) {
    for (int i = 0; i < 32; ++i) {
        char x = a[i] >= 'a' && a[i] <= 'f' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'f' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y || !x) return false;
    }
    return true;
}

// Deflate shrinks at most about 1032 to 1: a larger claim is refused before anything is inflated.
constexpr unsigned long kMaxRatio = 1032;
// Bytes of the update file taken, and of the module inflated, at a time: the most one piece of
// work adds to a step beyond the bytes it was given (a few microseconds of digesting, hashing,
// inflating and writing).
constexpr unsigned kPiece = 4096;
// Module bytes written before they are sent on their way to the disk together.
constexpr unsigned long kSendStretch = 256 * 1024;
// How long the target's bytes are given to reach the disk before the file is renamed into
// place: the file system's usual commit interval.
constexpr unsigned kSettleMs = 5000;

}  // namespace

bool qzHexBytes(const char* text, unsigned char* out, int n) {
    for (int i = 0; i < n; ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hi < 0 ? -1 : hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return text[2 * n] == 0 || text[2 * n] == '\r' || text[2 * n] == '\n';
}

bool qzReadKey(const char* path, unsigned char* key) {
    FILE* fp = fopen(path, "rb");
    if (!fp) return false;
    char line[130] = "";
    bool ok = fgets(line, sizeof line, fp) != nullptr;
    fclose(fp);
    return ok && qzHexBytes(line, key, QZ_UPD_KEY_LEN);
}

namespace {

void hexLower(const unsigned char* bytes, int n, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    out[2 * n] = 0;
}

int manifest(char* out, int size, char kind, char os, int number, unsigned long length,
             const unsigned char sha[32]) {
    char shaHex[65];
    hexLower(sha, 32, shaHex);
    int n = trf(out, size, "<p> U %c %c %d %lu %s", kind, os, number, length, shaHex);
    return n < size ? n : size - 1;
}

}  // namespace

// The failures, in the order they are reported: a job records the first of each kind it meets
// and, at the end, reports the earliest in this order.
enum InstallFailure {
    F_NONE = 0,
    F_HEADER,     // "ERROR: Security Mismatch (A)"
    F_DESCRIBED,  // "ERROR: Security Mismatch (B)"
    F_MEMORY,     // "ERROR: Memory Allocation"
    F_INFLATE,    // "ERROR: Failed to Uncompress"
    F_SIZE,       // "ERROR: Size Mismatch"
    F_DIGEST,     // "ERROR: Security Mismatch (C)"
    F_UNSIGNED,   // "ERROR: Update Not Signed"
    F_SIGNATURE,  // "ERROR: Bad Update Signature"
    F_OPEN,       // "ERROR: Cannot open target file for writing"
    F_WRITE,      // "ERROR: File Write Error"
};

namespace {

const char* failureText(int f) {
    static const char* const kText[] = {nullptr,
                                        "ERROR: Security Mismatch (A)",
                                        "ERROR: Security Mismatch (B)",
                                        "ERROR: Memory Allocation",
                                        "ERROR: Failed to Uncompress",
                                        "ERROR: Size Mismatch",
                                        "ERROR: Security Mismatch (C)",
                                        "ERROR: Update Not Signed",
                                        "ERROR: Bad Update Signature",
                                        "ERROR: Cannot open target file for writing",
                                        "ERROR: File Write Error"};
    return kText[f];
}

}  // namespace

struct stQzInstall {
    // Where the update file's bytes come from.
    char* data;
    unsigned long length, at;
    int transfer;            // data inflate to the update file (a transfer's data)
    unsigned long fileSize;  // bytes of the update file
    z_stream outer;
    int outerOpen, outerError;
    unsigned char filePiece[kPiece];
    unsigned long fileAt;  // bytes of the update file seen
    stQzMd5 fileMd5;
    // Its header line, then the module.
    char head[512];
    int headLen;
    Header h;
    int haveHeader;
    z_stream inner;
    int innerOpen, innerDone;
    unsigned char rawPiece[kPiece];
    unsigned long rawAt;
    stQzMd5 rawMd5;
    EVP_MD_CTX* sha;
    // What it is checked against, and where it goes.
    char kind, os;
    stQzFileInfo expected;
    int haveKey;
    unsigned char key[QZ_UPD_KEY_LEN];
    char target[600], temp[608];
    int fd;
    unsigned long work;  // update file bytes taken and module bytes made so far
    unsigned long sent;  // module bytes already sent on their way to the disk
    int failure;         // earliest InstallFailure met so far
    int settling;
    unsigned settleFrom;
    int result;
};

namespace {

void fail(stQzInstall* j, int f) {
    if (!j->failure || f < j->failure) j->failure = f;
}

void closeTarget(stQzInstall* j, bool keep) {
    if (j->fd >= 0) {
        close(j->fd);
        j->fd = -1;
        if (!keep) unlink(j->temp);
    }
}

// The module's bytes as they are inflated: digested, hashed and (with a key) written.
void takeRaw(stQzInstall* j, const unsigned char* raw, unsigned long n) {
    if (j->rawAt + n > j->h.rawSize) {
        fail(j, F_SIZE);
        return;
    }
    j->rawAt += n;
    j->work += n;
    qzmd5Add(&j->rawMd5, raw, n);
    if (j->sha && EVP_DigestUpdate(j->sha, raw, n) != 1) fail(j, F_MEMORY);
    while (j->fd >= 0 && n > 0) {
        ssize_t w = write(j->fd, raw, n);
        if (w <= 0) {
            fail(j, F_WRITE);
            closeTarget(j, false);
            return;
        }
        raw += w;
        n -= static_cast<unsigned long>(w);
    }
    // The written bytes start on their way to the disk a stretch at a time: handing the whole
    // module to the disk at the end cost that frame milliseconds.
    if (j->fd >= 0 && j->rawAt - j->sent >= kSendStretch) {
        sync_file_range(j->fd, static_cast<off_t>(j->sent), static_cast<off_t>(j->rawAt - j->sent),
                        SYNC_FILE_RANGE_WRITE);
        j->sent = j->rawAt;
    }
}

// The header is complete: check it against what the masters described, then prepare the rest.
void startModule(stQzInstall* j) {
    Header& h = j->h;
    if (!parseHeader(j->head, j->headLen, &h) || h.kind != j->kind || h.os != j->os ||
        h.number != j->expected.number) {
        fail(j, F_HEADER);
        return;
    }
    j->haveHeader = 1;
    j->headLen = static_cast<int>(h.length);
    if (!sameDigest(h.digest, j->expected.digest1) || h.rawSize != j->expected.value) {
        fail(j, F_DESCRIBED);
        return;
    }
    unsigned long compressed = j->fileSize - static_cast<unsigned long>(h.length);
    if (h.rawSize == 0 || h.rawSize > QZ_RAW_MAX || h.rawSize > compressed * kMaxRatio + 64) {
        fail(j, F_SIZE);
        return;
    }
    qzmd5Begin(&j->rawMd5, static_cast<unsigned>(h.number));
    j->sha = EVP_MD_CTX_new();
    if (!j->sha || EVP_DigestInit_ex(j->sha, EVP_sha256(), nullptr) != 1 ||
        inflateInit(&j->inner) != Z_OK) {
        fail(j, F_MEMORY);
        return;
    }
    j->innerOpen = 1;
    if (j->haveKey) {
        j->fd = open(j->temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (j->fd < 0) fail(j, F_OPEN);
    }
}

// Whether module data given to the inflater wait to be inflated.
bool innerPending(const stQzInstall* j) {
    return j->innerOpen && !j->innerDone && !j->failure && j->inner.avail_in > 0;
}

// Inflates one piece of the module from the data waiting (which stay where takeFile left them:
// in the job's data or in filePiece, untouched until they are used up).
void innerStep(stQzInstall* j) {
    const uInt before = j->inner.avail_in;
    j->inner.next_out = j->rawPiece;
    j->inner.avail_out = kPiece;
    int z = inflate(&j->inner, Z_NO_FLUSH);
    j->work += before - j->inner.avail_in;
    if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) {
        fail(j, z == Z_MEM_ERROR ? F_MEMORY : F_INFLATE);
        return;
    }
    takeRaw(j, j->rawPiece, kPiece - j->inner.avail_out);
    if (z == Z_STREAM_END) j->innerDone = 1;
    // No progress with data and room: what is left cannot be inflated; the checks say so.
    if (z == Z_BUF_ERROR && j->inner.avail_out == kPiece) j->inner.avail_in = 0;
}

// Bytes of the update file, in order: digested whole, the header line gathered, the rest handed
// to the inflater of the module (innerStep inflates it a piece at a time).
void takeFile(stQzInstall* j, const unsigned char* bytes, unsigned long n) {
    qzmd5Add(&j->fileMd5, bytes, n);
    j->fileAt += n;
    j->work += n;
    if (!j->haveHeader && !j->failure) {
        unsigned long room = sizeof j->head - static_cast<unsigned long>(j->headLen);
        unsigned long take = n < room ? n : room;
        memcpy(j->head + j->headLen, bytes, take);
        int before = j->headLen;
        j->headLen += static_cast<int>(take);
        const void* nl = memchr(j->head + before, '\n', take);
        if (!nl && j->headLen < static_cast<int>(sizeof j->head)) return;
        if (!nl) {
            fail(j, F_HEADER);
            return;
        }
        startModule(j);
        if (!j->innerOpen) return;
        unsigned long used = static_cast<unsigned long>(j->headLen - before);
        bytes += used;
        n -= used;
    }
    if (!j->innerOpen || j->innerDone || j->failure) return;
    j->inner.next_in = const_cast<Bytef*>(bytes);
    j->inner.avail_in = static_cast<uInt>(n);
}

// Reads the next piece of the update file from the job's data (inflating a transfer's data);
// false when the data are used up or the transfer's data turned out bad.
bool nextPiece(stQzInstall* j) {
    if (!j->transfer) {
        if (j->at >= j->length) return false;
        unsigned long n = j->length - j->at < kPiece ? j->length - j->at : kPiece;
        takeFile(j, reinterpret_cast<unsigned char*>(j->data) + j->at, n);
        j->at += n;
        return true;
    }
    if (j->outerError || j->at >= j->length) return false;
    j->outer.next_in = reinterpret_cast<Bytef*>(j->data) + j->at;
    unsigned long inputLeft = j->length - j->at;
    j->outer.avail_in = static_cast<uInt>(inputLeft < kPiece ? inputLeft : kPiece);
    j->outer.next_out = j->filePiece;
    j->outer.avail_out = kPiece;
    uInt before = j->outer.avail_in;
    int z = inflate(&j->outer, Z_NO_FLUSH);
    j->at += before - j->outer.avail_in;
    unsigned long made = kPiece - j->outer.avail_out;
    if (z != Z_OK && z != Z_STREAM_END && !(z == Z_BUF_ERROR && made > 0)) {
        j->outerError = z == Z_BUF_ERROR ? 1 : z;
        return false;
    }
    if (j->fileAt + made > j->fileSize) {
        j->outerError = 1;
        return false;
    }
    takeFile(j, j->filePiece, made);
    if (z == Z_STREAM_END) {
        if (j->fileAt != j->fileSize) j->outerError = 1;
        j->at = j->length;
    }
    return true;
}

// Every byte is in: report the first failure in order, or check the signature and finish.
int conclude(stQzInstall* j, unsigned now, bool wait, const char** error) {
    if (j->transfer && !j->outerError && j->fileAt != j->fileSize) j->outerError = 1;
    if (j->outerError) {
        closeTarget(j, false);
        *error = nullptr;
        return QZ_INST_FAILED;
    }
    if (!j->haveHeader && !j->failure) fail(j, F_HEADER);
    if (j->haveHeader && !sameDigest(qzmd5End(&j->fileMd5), j->expected.digest2)) {
        fail(j, F_DESCRIBED);
    }
    if (!j->failure && (!j->innerDone || j->rawAt != j->h.rawSize)) fail(j, F_SIZE);
    if (!j->failure && !sameDigest(qzmd5End(&j->rawMd5), j->h.digest)) fail(j, F_DIGEST);
    if (!j->failure && !j->haveKey) {
        *error = nullptr;
        return QZ_INST_VERIFIED;
    }
    unsigned char sig[QZ_UPD_SIG_LEN];
    if (!j->failure &&
        (slen(j->h.sig) != 2 * QZ_UPD_SIG_LEN || !qzHexBytes(j->h.sig, sig, QZ_UPD_SIG_LEN))) {
        fail(j, F_UNSIGNED);
    }
    if (!j->failure) {
        unsigned char sha[32];
        unsigned shaLen = 0;
        char text[QZ_UPD_MANIFEST];
        if (EVP_DigestFinal_ex(j->sha, sha, &shaLen) != 1 || shaLen != 32) {
            fail(j, F_MEMORY);
        } else {
            int tl = manifest(text, qz::cap(text), j->kind, j->os, j->h.number, j->h.rawSize, sha);
            if (!maVerify(j->key, sig, text, static_cast<size_t>(tl))) fail(j, F_SIGNATURE);
        }
    }
    if (j->failure) {
        closeTarget(j, false);
        *error = failureText(j->failure);
        return QZ_INST_FAILED;
    }
    if (wait) {
        // The last stretch starts on its way to the disk now; the sync after a pause then finds
        // little or nothing left to wait for.
        sync_file_range(j->fd, static_cast<off_t>(j->sent), 0, SYNC_FILE_RANGE_WRITE);
        j->settling = 1;
        j->settleFrom = now;
    }
    return QZ_INST_RUNNING;
}

// The checks have passed: the file is renamed into place, synced first when sync is set. In
// frames it is not: a sync costs a flush of the disk's cache (milliseconds on some machines)
// whatever is left to write, and the start-up syncs the new module before it swaps it in (a
// file cut short by a crash before then does not load and is set aside).
int finishWrite(stQzInstall* j, const char** error, bool sync) {
    bool ok = !sync || fdatasync(j->fd) == 0;
    ok = close(j->fd) == 0 && ok;
    j->fd = -1;
    if (!ok || rename(j->temp, j->target) != 0) {
        unlink(j->temp);
        j->failure = F_WRITE;
        *error = failureText(F_WRITE);
        return QZ_INST_FAILED;
    }
    *error = nullptr;
    return QZ_INST_INSTALLED;
}

}  // namespace

int qzUpdateManifest(char* out, int size, char kind, char os, int number, const void* module,
                     unsigned long length) {
    unsigned char sha[32];
    unsigned shaLen = 0;
    if (EVP_Digest(module, length, sha, &shaLen, EVP_sha256(), nullptr) != 1) return 0;
    return manifest(out, size, kind, os, number, length, sha);
}

stQzInstall* qzInstallStart(char* data, unsigned long length, unsigned long fileSize,
                            const char* target, char kind, char os, const stQzFileInfo* expected,
                            const unsigned char* key) {
    auto* j = static_cast<stQzInstall*>(calloc(1, sizeof(stQzInstall)));
    if (!j) {
        free(data);
        return nullptr;
    }
    j->data = data;
    j->length = length;
    j->transfer = fileSize != 0;
    j->fileSize = fileSize ? fileSize : length;
    j->kind = kind;
    j->os = os;
    j->expected = *expected;
    j->haveKey = key != nullptr;
    if (key) memcpy(j->key, key, QZ_UPD_KEY_LEN);
    QZ_COPY(j->target, target);
    QZ_TRF(j->temp, "%s.part", target);
    j->fd = -1;
    j->result = QZ_INST_RUNNING;
    qzmd5Begin(&j->fileMd5, static_cast<unsigned>(expected->number));
    if (j->transfer) {
        // The same bound as every transfer: data that claim to inflate far beyond what deflate
        // can do are refused before anything is inflated.
        if (fileSize > QZ_RAW_MAX || fileSize > length * kMaxRatio + 64) {
            j->outerError = 1;
        } else if (inflateInit(&j->outer) != Z_OK) {
            j->outerError = Z_MEM_ERROR;
        } else {
            j->outerOpen = 1;
        }
    }
    return j;
}

int qzInstallStep(stQzInstall* j, unsigned now, unsigned long bytes, const char** error) {
    *error = nullptr;
    if (!j) return QZ_INST_FAILED;
    if (j->result != QZ_INST_RUNNING) {
        *error = j->result == QZ_INST_FAILED ? failureText(j->failure) : nullptr;
        return j->result;
    }
    if (j->settling) {
        if (now - j->settleFrom < kSettleMs) return QZ_INST_RUNNING;
        j->result = finishWrite(j, error, false);
        return j->result;
    }
    const unsigned long start = j->work;
    // A failure met on the way does not end the reading: the whole file is still digested (the
    // transfer's data checked), so that the failure reported is the first in order. The module
    // data of a piece are inflated before the next piece is read, a piece at a time, so that a
    // piece that inflates a thousandfold is spread over steps like any other.
    while (bytes == 0 || j->work - start < bytes) {
        if (innerPending(j)) {
            innerStep(j);
        } else if (!nextPiece(j)) {
            break;
        }
    }
    if (!j->outerError && (j->at < j->length || innerPending(j))) return QZ_INST_RUNNING;
    int res = conclude(j, now, bytes != 0, error);
    if (res == QZ_INST_RUNNING && bytes == 0) res = finishWrite(j, error, true);
    if (res != QZ_INST_RUNNING) j->result = res;
    return res;
}

int qzInstallTransferError(const stQzInstall* j) { return j ? j->outerError : 0; }

unsigned long qzInstallWork(const stQzInstall* j) { return j ? j->work : 0; }

bool qzInstallSettling(const stQzInstall* j) { return j && j->settling; }

bool qzInstallRecord(const stQzInstall* j, char* out, int size) {
    if (!j || j->result != QZ_INST_INSTALLED || !j->haveKey) return false;
    return trf(out, size, "%c %c %d %lu %s", j->kind, j->os, j->h.number, j->h.rawSize, j->h.sig) <
           size;
}

void qzInstallFree(stQzInstall* j) {
    if (!j) return;
    closeTarget(j, false);
    if (j->outerOpen) inflateEnd(&j->outer);
    if (j->innerOpen) inflateEnd(&j->inner);
    EVP_MD_CTX_free(j->sha);
    free(j->data);
    free(j);
}

int qzInstall(const char* source, const char* target, char kind, char os,
              const stQzFileInfo* expected, const unsigned char* key, const char** error) {
    FILE* fp = fopen(source, "rb");
    if (!fp) {
        *error = "ERROR: Cannot open source file";
        return QZ_INST_FAILED;
    }
    // The whole file: it is the compressed module, at most the largest transfer accepted.
    long length = fseek(fp, 0, SEEK_END) == 0 ? ftell(fp) : -1;
    rewind(fp);
    bool fits = length >= 0 && length <= static_cast<long>(QZ_FILE_MAX);
    char* file = fits ? static_cast<char*>(malloc(static_cast<size_t>(length) + 1)) : nullptr;
    long size = file ? static_cast<long>(fread(file, 1, static_cast<size_t>(length) + 1, fp)) : 0;
    fclose(fp);
    if (fits && !file) {
        *error = "ERROR: Memory Allocation";
        return QZ_INST_FAILED;
    }
    if (!file || size > length) {
        free(file);
        *error = "ERROR: Security Mismatch (A)";
        return QZ_INST_FAILED;
    }
    stQzInstall* job =
        qzInstallStart(file, static_cast<unsigned long>(size), 0, target, kind, os, expected, key);
    if (!job) {
        *error = "ERROR: Memory Allocation";
        return QZ_INST_FAILED;
    }
    int res = qzInstallStep(job, 0, 0, error);
    qzInstallFree(job);
    return res;
}
