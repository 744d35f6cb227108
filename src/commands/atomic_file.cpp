// Whole-file replacement through a temporary file and rename, and the background thread that
// syncs replaced files to the disk.
#include "commands/atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "host/bridge.h"

namespace {
// Names a new version can take while older ones wait for the disk ("<name>.tmp", ".tmp2", ...).
constexpr int kTempNames = 66;
}  // namespace

namespace {
void dropTicket(int ticket);
bool tempInUse(const char* temp);
}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

// A commit handed to the thread is not taken back: a request not started yet is discarded by
// the thread (its temporary file removed there), one already running is completed.
void AtomicFile::abandon() {
    if (fp_) {
        fclose(fp_);
        fp_ = nullptr;
        unlink(temp_);
    }
    if (ticket_ >= 0) dropTicket(ticket_);
    ticket_ = -1;
}

// A temporary file left by a crash is removed first, and the new one is created exclusively:
// whatever stood under the temporary name (a link, a FIFO) is never written through. A name a
// waiting version of the file still holds is skipped.
bool AtomicFile::open(const char* name, mode_t perm) {
    QZ_COPY(path_, homePath(name));
    bool named = false;
    for (int n = 1; n <= kTempNames && !named; ++n) {
        int len = n == 1 ? QZ_TRF(temp_, "%s.tmp", path_) : QZ_TRF(temp_, "%s.tmp%d", path_, n);
        if (len >= qz::cap(temp_)) {
            fail("name too long");
            return false;
        }
        named = !tempInUse(temp_);
    }
    if (!named) {
        fail("too many versions waiting for the disk");
        return false;
    }
    struct stat st;
    if (lstat(temp_, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(temp_);
    fp_ = homeOpen(temp_, "wbx", perm);
    if (!fp_) {
        fail(homeOpenError());
        return false;
    }
    // Created afresh, so perm applies (less what the umask takes away); an old file's wider
    // permission is not inherited, since the rename replaces it.
    return true;
}

void AtomicFile::fail(const char* what) {
    if (!error_[0]) QZ_COPY(error_, what);
}

void AtomicFile::put(const char* fmt, ...) {
    if (!fp_) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(fp_, fmt, ap);
    va_end(ap);
    if (n < 0) fail(strerror(errno));
}

void AtomicFile::text(const char* text) {
    if (fp_ && fputs(text, fp_) < 0) fail(strerror(errno));
}

// The bytes reach the page cache here (a full disk shows now, in the frame); the descriptor
// kept for the sync is a duplicate, since the stream is closed at once.
int AtomicFile::finishWrite() {
    if (!fp_) {
        fail("not open");
        return -1;
    }
    if (fflush(fp_) != 0 || ferror(fp_)) fail(strerror(errno ? errno : EIO));
    int fd = error_[0] ? -1 : dup(fileno(fp_));
    if (!error_[0] && fd < 0) fail(strerror(errno));
    if (fclose(fp_) != 0) fail(strerror(errno));
    fp_ = nullptr;
    // A directory in the file's place is the one rename failure that can be told now: it is
    // reported to the writer at once, as before the rename left the frame.
    struct stat st;
    if (!error_[0] && lstat(path_, &st) == 0 && S_ISDIR(st.st_mode)) fail(strerror(EISDIR));
    if (error_[0]) {
        if (fd >= 0) close(fd);
        unlink(temp_);
        return -1;
    }
    return fd;
}

// ---- The background sync ----

namespace {

constexpr int kQueueMax = 64;
constexpr int kFailMax = 8;
constexpr int kTicketMax = 16;

struct SyncItem {
    int fd;
    int dirFd;
    int oldFd;
    int ticket;   // -1: a failure is reported by atomicSyncReport
    bool rename;  // temp is renamed over path once fd's data is synced
    bool taken;   // done by the frame instead (a full queue): the thread only drops it
    char path[QZ_PATH_MAX];
    char temp[QZ_PATH_MAX];
};

struct SyncFailure {
    char path[QZ_PATH_MAX];
    int error;
    bool kept;  // the new version was not renamed into place
};

enum TicketState { T_FREE, T_PENDING, T_DONE, T_ORPHAN };

struct Ticket {
    int state;
    int error;
};

// Everything the thread and the frame share, guarded by mu.
struct SyncQueue {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;  // a request came, or stop
    pthread_cond_t idle = PTHREAD_COND_INITIALIZER;  // a request was finished
    SyncItem items[kQueueMax];
    int head = 0;       // next item to sync
    int count = 0;      // items queued, the one being synced included
    bool busy = false;  // the thread works on items[head]
    bool running = false;
    bool stop = false;
    bool hold = false;
    pthread_t thread{};
    SyncFailure failures[kFailMax];
    int failCount = 0;
    int failLost = 0;  // failures beyond the ones kept
    // The commits whose end a writer waits for: the owner reads the outcome and frees the
    // ticket; a ticket its owner gave up is freed by the thread when the request ends.
    Ticket tickets[kTicketMax];
};

SyncQueue g_sync;
std::atomic<AtomicSyncFn> g_syncFn{nullptr};

int syncData(int fd) {
    AtomicSyncFn fn = g_syncFn.load();
    return fn ? fn(fd) : fsync(fd);
}

// The directory that holds path, opened for its sync; -1 when it cannot be opened.
int openDirOf(const char* path) {
    char dir[QZ_PATH_MAX];
    QZ_COPY(dir, path);
    char* slash = strrchr(dir, '/');
    if (!slash) return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (slash == dir) slash++;
    *slash = 0;
    return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A directory on a file system that cannot sync directories answers EINVAL: the rename is then
// as durable as that file system makes it, and nothing is reported.
int syncDir(int dirFd) {
    if (dirFd < 0) return 0;
    int error = fsync(dirFd) != 0 && errno != EINVAL ? errno : 0;
    close(dirFd);
    return error;
}

// Does one request, on the thread or in the frame: the data is synced first and the rename
// comes only after it, so a crash of the machine leaves the old file or the whole new one,
// never a short one, on any file system. Returns 0 or the first error; *kept tells that the new
// version was dropped (the old file stays).
int perform(const SyncItem& item, bool discard, bool* kept) {
    *kept = false;
    int error = 0;
    if (item.fd >= 0) {
        if (!discard && syncData(item.fd) != 0) error = errno ? errno : EIO;
        close(item.fd);
    }
    if (item.rename) {
        if (!discard && !error && rename(item.temp, item.path) != 0) error = errno;
        if (discard || error) {
            unlink(item.temp);
            *kept = !discard;
        } else {
            error = syncDir(openDirOf(item.path));
        }
    }
    int dirError = syncDir(item.dirFd);
    if (!error) error = dirError;
    if (item.oldFd >= 0) close(item.oldFd);
    return error;
}

void noteFailure(SyncQueue& q, const char* path, int error, bool kept) {
    if (q.failCount < kFailMax) {
        SyncFailure& f = q.failures[q.failCount++];
        QZ_COPY(f.path, path);
        f.error = error;
        f.kept = kept;
    } else {
        q.failLost++;
    }
}

// With mu held: the outcome of one request.
void finish(SyncQueue& q, const SyncItem& item, int error, bool kept) {
    if (item.ticket < 0) {
        if (error) noteFailure(q, item.path, error, kept);
        return;
    }
    Ticket& t = q.tickets[item.ticket];
    if (t.state == T_ORPHAN) {
        t.state = T_FREE;
    } else {
        t.state = T_DONE;
        t.error = error;
    }
}

// With mu held: a commit whose writer gave it up before it started is dropped, not renamed.
bool orphaned(const SyncQueue& q, const SyncItem& item) {
    return item.ticket >= 0 && q.tickets[item.ticket].state == T_ORPHAN;
}

void* syncThread(void*) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    for (;;) {
        while ((q.count == 0 || q.hold) && !q.stop) pthread_cond_wait(&q.work, &q.mu);
        if (q.count == 0) break;
        SyncItem& slot = q.items[q.head];
        if (!slot.taken) {
            SyncItem item = slot;
            bool discard = orphaned(q, item);
            q.busy = true;
            pthread_mutex_unlock(&q.mu);
            bool kept = false;
            int error = perform(item, discard, &kept);
            pthread_mutex_lock(&q.mu);
            q.busy = false;
            finish(q, item, error, kept);
        }
        q.head = (q.head + 1) % kQueueMax;
        q.count--;
        pthread_cond_broadcast(&q.idle);
    }
    pthread_mutex_unlock(&q.mu);
    return nullptr;
}

// The thread takes no signal: the game server's handlers run on its own threads.
bool startThread(SyncQueue& q) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool ok = pthread_create(&q.thread, nullptr, syncThread, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

bool samePath(const SyncItem& a, const char* path) { return path[0] && !strcmp(a.path, path); }

// With mu held and the queue unable to take request: the frame does it itself, and first every
// earlier request for the same file, so that the versions still land in the order they were
// written. One the thread is working on is waited for (a full queue means the disk is that slow
// already); the ones not started yet are taken out of the thread's hands. Only the frame
// queues, so a taken slot keeps its content until the frame has read it. The request's own
// error goes to *own when given, instead of the frame's report.
void performNow(SyncQueue& q, const SyncItem& request, int* own = nullptr) {
    while (q.busy && q.count > 0 && samePath(q.items[q.head], request.path))
        pthread_cond_wait(&q.idle, &q.mu);
    int taken[kQueueMax];
    int n = 0;
    for (int i = 0; i < q.count; ++i) {
        int at = (q.head + i) % kQueueMax;
        SyncItem& slot = q.items[at];
        if ((i == 0 && q.busy) || slot.taken || !samePath(slot, request.path)) continue;
        slot.taken = true;
        taken[n++] = at;
    }
    for (int i = 0; i <= n; ++i) {
        const SyncItem* item = i < n ? &q.items[taken[i]] : &request;
        bool discard = orphaned(q, *item);
        SyncItem copy = *item;
        pthread_mutex_unlock(&q.mu);
        bool kept = false;
        int error = perform(copy, discard, &kept);
        pthread_mutex_lock(&q.mu);
        if (i == n && own)
            *own = error;
        else
            finish(q, copy, error, kept);
    }
}

// Queues a request, or does it at once when the thread cannot take it.
void enqueue(const SyncItem& request) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    if (!q.running && !q.stop) q.running = startThread(q);
    if (q.running && q.count < kQueueMax) {
        q.items[(q.head + q.count) % kQueueMax] = request;
        q.count++;
        pthread_cond_signal(&q.work);
    } else {
        performNow(q, request);
    }
    pthread_mutex_unlock(&q.mu);
}

SyncItem makeItem(int fd, int dirFd, int oldFd, int ticket, const char* path, const char* temp) {
    SyncItem item;
    item.fd = fd;
    item.dirFd = dirFd;
    item.oldFd = oldFd;
    item.ticket = ticket;
    item.rename = temp != nullptr;
    item.taken = false;
    QZ_COPY(item.path, path);
    QZ_COPY(item.temp, temp ? temp : "");
    return item;
}

// A free ticket, now pending; -1 when all are in use.
int takeTicket() {
    SyncQueue& q = g_sync;
    int found = -1;
    pthread_mutex_lock(&q.mu);
    for (int i = 0; i < kTicketMax && found < 0; ++i) {
        if (q.tickets[i].state == T_FREE) {
            q.tickets[i].state = T_PENDING;
            q.tickets[i].error = 0;
            found = i;
        }
    }
    pthread_mutex_unlock(&q.mu);
    return found;
}

// The ticket's state (and *error once done); a finished ticket is freed.
int readTicket(int ticket, int* error) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    Ticket& t = q.tickets[ticket];
    int state = t.state;
    *error = t.error;
    if (state == T_DONE) t.state = T_FREE;
    pthread_mutex_unlock(&q.mu);
    return state;
}

void dropTicket(int ticket) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    Ticket& t = q.tickets[ticket];
    t.state = t.state == T_PENDING ? T_ORPHAN : T_FREE;
    pthread_mutex_unlock(&q.mu);
}

// With mu held: the newest request still holding a version of path under its waiting name. A
// writer that waits for its commit's outcome (commitPoll) keeps the old file current until then
// and carries over what was appended meanwhile itself, so its version is not shown.
const SyncItem* newestWaiting(const SyncQueue& q, const char* path) {
    for (int i = q.count - 1; i >= 0; --i) {
        const SyncItem& item = q.items[(q.head + i) % kQueueMax];
        if (item.rename && !item.taken && item.ticket < 0 && samePath(item, path)) return &item;
    }
    return nullptr;
}

bool tempInUse(const char* temp) {
    SyncQueue& q = g_sync;
    bool used = false;
    pthread_mutex_lock(&q.mu);
    for (int i = 0; i < q.count && !used; ++i) {
        const SyncItem& item = q.items[(q.head + i) % kQueueMax];
        used = item.rename && !item.taken && !strcmp(item.temp, temp);
    }
    pthread_mutex_unlock(&q.mu);
    return used;
}

// homeOpen's hook: reads of a file whose new version waits for the disk read that version.
bool waitingVersion(const char* path, char* pending, size_t cap) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    const SyncItem* item = newestWaiting(q, path);
    if (item) trcpyz(pending, item->temp, static_cast<int>(cap) - 1);
    pthread_mutex_unlock(&q.mu);
    return item != nullptr;
}

// Installed before the first request can be queued.
void installHook() {
    static bool installed = false;
    if (!installed) setHomePendingHook(waitingVersion);
    installed = true;
}

}  // namespace

bool AtomicFile::commit() {
    int fd = finishWrite();
    if (fd < 0) return false;
    installHook();
    enqueue(makeItem(fd, -1, -1, -1, path_, temp_));
    return true;
}

bool AtomicFile::commitStart() {
    int fd = finishWrite();
    if (fd < 0) return false;
    installHook();
    ticket_ = takeTicket();
    if (ticket_ >= 0) {
        enqueue(makeItem(fd, -1, -1, ticket_, path_, temp_));
        return true;
    }
    // Every ticket is in use: the outcome is taken here, at once.
    ticket_ = -2;
    SyncQueue& q = g_sync;
    SyncItem item = makeItem(fd, -1, -1, -1, path_, temp_);
    int error = 0;
    pthread_mutex_lock(&q.mu);
    performNow(q, item, &error);
    pthread_mutex_unlock(&q.mu);
    if (error) fail(strerror(error));
    return true;
}

int AtomicFile::commitPoll() {
    if (ticket_ == -1) return error_[0] ? -1 : 1;
    int error = 0;
    if (ticket_ >= 0 && readTicket(ticket_, &error) != T_DONE) return 0;
    ticket_ = -1;
    if (error) fail(strerror(error));
    return error_[0] ? -1 : 1;
}

void atomicSyncQueue(int fd, int dirFd, const char* path, int oldFd) {
    enqueue(makeItem(fd, dirFd, oldFd, -1, path, nullptr));
}

void atomicSyncReport(stQzSv* sv) {
    SyncQueue& q = g_sync;
    SyncFailure failures[kFailMax];
    pthread_mutex_lock(&q.mu);
    int n = q.failCount, lost = q.failLost;
    memcpy(failures, q.failures, sizeof(SyncFailure) * static_cast<size_t>(n));
    q.failCount = 0;
    q.failLost = 0;
    pthread_mutex_unlock(&q.mu);
    for (int i = 0; i < n; ++i) {
        if (failures[i].kept)
            svMsg(sv, "Writing %s failed (%s); the old file is kept", failures[i].path,
                  strerror(failures[i].error));
        else
            svMsg(sv, "Sync of %s failed (%s)", failures[i].path, strerror(failures[i].error));
    }
    if (lost) svMsg(sv, "%d more syncs failed", lost);
}

int atomicSyncSettle() {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    int n = q.count;
    while (q.count > 0) pthread_cond_wait(&q.idle, &q.mu);
    pthread_mutex_unlock(&q.mu);
    return n;
}

void atomicSyncQuiesce() {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    while (q.count > 0 && !q.hold && q.running) pthread_cond_wait(&q.idle, &q.mu);
    pthread_mutex_unlock(&q.mu);
}

void atomicSyncStop() {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    bool running = q.running;
    q.stop = true;
    pthread_cond_signal(&q.work);
    pthread_mutex_unlock(&q.mu);
    // The thread syncs and renames what is queued before it sees the stop.
    if (running) pthread_join(q.thread, nullptr);
    pthread_mutex_lock(&q.mu);
    q.running = false;
    q.stop = false;
    pthread_mutex_unlock(&q.mu);
}

int atomicSyncPending() {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    int n = q.count;
    pthread_mutex_unlock(&q.mu);
    return n;
}

void atomicSyncHold(bool hold) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    q.hold = hold;
    pthread_cond_signal(&q.work);
    pthread_mutex_unlock(&q.mu);
}

void atomicSyncSetFn(AtomicSyncFn fn) { g_syncFn.store(fn); }
