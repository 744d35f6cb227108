// Whole-file replacement through a temporary file and rename, and the background thread that
// syncs replaced files to the disk.
#include "commands/atomic_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "host/bridge.h"

namespace {
void dropTicket(int ticket);
}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

// A sync still running for the temporary file goes on in the background; its outcome is
// dropped.
void AtomicFile::abandon() {
    if (fp_) {
        fclose(fp_);
        fp_ = nullptr;
        unlink(temp_);
    }
    if (ticket_ != -1) {
        if (ticket_ >= 0) dropTicket(ticket_);
        ticket_ = -1;
        unlink(temp_);
    }
}

// A temporary file left by a crash is removed first, and the new one is created exclusively:
// whatever stood under the temporary name (a link, a FIFO) is never written through.
bool AtomicFile::open(const char* name, mode_t perm) {
    QZ_COPY(path_, homePath(name));
    if (QZ_TRF(temp_, "%s.tmp", path_) >= qz::cap(temp_)) {
        fail("name too long");
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

namespace {

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

}  // namespace

// The data reaches the page cache and the rename is done here; only the waits for the disk
// (the syncs of the data and of the directory entry) are left to the background thread.
bool AtomicFile::commit() {
    if (!fp_) {
        fail("not open");
        return false;
    }
    if (fflush(fp_) != 0 || ferror(fp_)) fail(strerror(errno ? errno : EIO));
    int fd = error_[0] ? -1 : dup(fileno(fp_));
    if (!error_[0] && fd < 0) fail(strerror(errno));
    if (fclose(fp_) != 0) fail(strerror(errno));
    fp_ = nullptr;
    if (error_[0] || !replace()) {
        if (fd >= 0) close(fd);
        unlink(temp_);
        return false;
    }
    atomicSyncQueue(fd, openDirOf(path_), path_, oldFd_);
    oldFd_ = -1;
    return true;
}

// The replaced file stays open until the background thread closes it: the system frees its
// blocks then, on that thread, instead of in the rename.
bool AtomicFile::replace() {
    oldFd_ = ::open(path_, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (rename(temp_, path_) == 0) return true;
    fail(strerror(errno));
    if (oldFd_ >= 0) close(oldFd_);
    oldFd_ = -1;
    return false;
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
    int ticket;  // -1: a failure is reported by atomicSyncReport
    char path[QZ_PATH_MAX];
};

struct SyncFailure {
    char path[QZ_PATH_MAX];
    int error;
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
    int head = 0;   // next item to sync
    int count = 0;  // items queued, the one being synced included
    bool running = false;
    bool stop = false;
    bool hold = false;
    pthread_t thread{};
    SyncFailure failures[kFailMax];
    int failCount = 0;
    int failLost = 0;  // failures beyond the ones kept
    // The syncs whose end a commit waits for: the owner reads the outcome and frees the ticket;
    // a ticket its owner gave up is freed by the thread when the sync ends.
    Ticket tickets[kTicketMax];
};

SyncQueue g_sync;

// Syncs and closes; returns 0 or the error of the first sync that failed.
int syncAndClose(int fd, int dirFd, int oldFd) {
    int error = 0;
    if (fd >= 0) {
        if (fsync(fd) != 0) error = errno;
        close(fd);
    }
    // A directory on a file system that cannot sync directories answers EINVAL: the rename is
    // then as durable as that file system makes it, and nothing is reported.
    if (dirFd >= 0) {
        if (fsync(dirFd) != 0 && errno != EINVAL && !error) error = errno;
        close(dirFd);
    }
    if (oldFd >= 0) close(oldFd);
    return error;
}

void noteFailure(SyncQueue& q, const char* path, int error) {
    if (q.failCount < kFailMax) {
        SyncFailure& f = q.failures[q.failCount++];
        QZ_COPY(f.path, path);
        f.error = error;
    } else {
        q.failLost++;
    }
}

// With mu held: the outcome of one request.
void finish(SyncQueue& q, const SyncItem& item, int error) {
    if (item.ticket < 0) {
        if (error) noteFailure(q, item.path, error);
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

void* syncThread(void*) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    for (;;) {
        while ((q.count == 0 || q.hold) && !q.stop) pthread_cond_wait(&q.work, &q.mu);
        if (q.count == 0) break;
        SyncItem item = q.items[q.head];
        pthread_mutex_unlock(&q.mu);
        int error = syncAndClose(item.fd, item.dirFd, item.oldFd);
        pthread_mutex_lock(&q.mu);
        finish(q, item, error);
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

// Queues a request, or does it at once when the thread cannot take it.
void enqueue(const SyncItem& request) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    if (!q.running && !q.stop) q.running = startThread(q);
    if (q.running && q.count < kQueueMax) {
        q.items[(q.head + q.count) % kQueueMax] = request;
        q.count++;
        pthread_cond_signal(&q.work);
        pthread_mutex_unlock(&q.mu);
        return;
    }
    pthread_mutex_unlock(&q.mu);
    int error = syncAndClose(request.fd, request.dirFd, request.oldFd);
    pthread_mutex_lock(&q.mu);
    finish(q, request, error);
    pthread_mutex_unlock(&q.mu);
}

SyncItem makeItem(int fd, int dirFd, int oldFd, int ticket, const char* path) {
    SyncItem item;
    item.fd = fd;
    item.dirFd = dirFd;
    item.oldFd = oldFd;
    item.ticket = ticket;
    QZ_COPY(item.path, path);
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

}  // namespace

bool AtomicFile::commitStart() {
    if (!fp_) {
        fail("not open");
        return false;
    }
    if (fflush(fp_) != 0 || ferror(fp_)) fail(strerror(errno ? errno : EIO));
    int fd = error_[0] ? -1 : dup(fileno(fp_));
    if (!error_[0] && fd < 0) fail(strerror(errno));
    if (fclose(fp_) != 0) fail(strerror(errno));
    fp_ = nullptr;
    if (error_[0]) {
        if (fd >= 0) close(fd);
        unlink(temp_);
        return false;
    }
    ticket_ = takeTicket();
    if (ticket_ >= 0) {
        enqueue(makeItem(fd, -1, -1, ticket_, temp_));
        return true;
    }
    // Every ticket is in use: the data is synced here, at once.
    ticket_ = -2;
    if (fsync(fd) != 0) fail(strerror(errno));
    close(fd);
    return true;
}

int AtomicFile::commitPoll() {
    if (ticket_ == -1) return error_[0] ? -1 : 1;
    int error = 0;
    if (ticket_ >= 0 && readTicket(ticket_, &error) != T_DONE) return 0;
    ticket_ = -1;
    if (error) fail(strerror(error));
    if (error_[0] || !replace()) {
        unlink(temp_);
        return -1;
    }
    // Only the directory entry is left to sync.
    enqueue(makeItem(-1, openDirOf(path_), oldFd_, -1, path_));
    oldFd_ = -1;
    return 1;
}

void atomicSyncQueue(int fd, int dirFd, const char* path, int oldFd) {
    enqueue(makeItem(fd, dirFd, oldFd, -1, path));
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
    for (int i = 0; i < n; ++i)
        svMsg(sv, "Sync of %s failed (%s)", failures[i].path, strerror(failures[i].error));
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

void atomicSyncStop() {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    bool running = q.running;
    q.stop = true;
    pthread_cond_signal(&q.work);
    pthread_mutex_unlock(&q.mu);
    // The thread syncs what is queued before it sees the stop.
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
