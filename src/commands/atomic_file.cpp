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

AtomicFile::~AtomicFile() { abandon(); }

void AtomicFile::abandon() {
    if (fp_) {
        fclose(fp_);
        unlink(temp_);
        fp_ = nullptr;
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
    if (!error_[0] && rename(temp_, path_) != 0) fail(strerror(errno));
    if (error_[0]) {
        if (fd >= 0) close(fd);
        unlink(temp_);
        return false;
    }
    atomicSyncQueue(fd, openDirOf(path_), path_);
    return true;
}

// ---- The background sync ----

namespace {

constexpr int kQueueMax = 64;
constexpr int kFailMax = 8;

struct SyncItem {
    int fd;
    int dirFd;
    char path[QZ_PATH_MAX];
};

struct SyncFailure {
    char path[QZ_PATH_MAX];
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
};

SyncQueue g_sync;

// Syncs and closes; returns 0 or the error of the first sync that failed.
int syncAndClose(int fd, int dirFd) {
    int error = 0;
    if (fsync(fd) != 0) error = errno;
    close(fd);
    // A directory on a file system that cannot sync directories answers EINVAL: the rename is
    // then as durable as that file system makes it, and nothing is reported.
    if (dirFd >= 0) {
        if (fsync(dirFd) != 0 && errno != EINVAL && !error) error = errno;
        close(dirFd);
    }
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

void* syncThread(void*) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    for (;;) {
        while ((q.count == 0 || q.hold) && !q.stop) pthread_cond_wait(&q.work, &q.mu);
        if (q.count == 0) break;
        SyncItem item = q.items[q.head];
        pthread_mutex_unlock(&q.mu);
        int error = syncAndClose(item.fd, item.dirFd);
        pthread_mutex_lock(&q.mu);
        if (error) noteFailure(q, item.path, error);
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

}  // namespace

void atomicSyncQueue(int fd, int dirFd, const char* path) {
    SyncQueue& q = g_sync;
    pthread_mutex_lock(&q.mu);
    if (!q.running && !q.stop) q.running = startThread(q);
    if (q.running && q.count < kQueueMax) {
        SyncItem& item = q.items[(q.head + q.count) % kQueueMax];
        item.fd = fd;
        item.dirFd = dirFd;
        QZ_COPY(item.path, path);
        q.count++;
        pthread_cond_signal(&q.work);
        pthread_mutex_unlock(&q.mu);
        return;
    }
    pthread_mutex_unlock(&q.mu);
    int error = syncAndClose(fd, dirFd);
    if (error) {
        pthread_mutex_lock(&q.mu);
        noteFailure(q, path, error);
        pthread_mutex_unlock(&q.mu);
    }
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
