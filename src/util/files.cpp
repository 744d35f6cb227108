// The module's home directory and the names built on it, the time-stamped log line, and bfc,
// the small lazily opened file object that can copy a byte range of its file elsewhere.
#include "util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "util/clock.h"

namespace {

// Longest home directory, so that any name homeNameOk accepts still fits homePath's buffer.
constexpr size_t kHomeDirMax = QZ_PATH_MAX - 256;
// A name accepted by homeNameOk is shorter than this.
constexpr size_t kHomeNameMax = 256;

char g_home[kHomeDirMax + 1] = "";
char g_homePath[QZ_PATH_MAX];
char g_openError[96] = "";
QzPendingName g_pendingHook = nullptr;

void openFailed(int err, const char* why) {
    snprintf(g_openError, sizeof g_openError, "%s", why ? why : strerror(err));
    errno = err;
}

// True when real (a resolved path) is the directory root or lies below it.
bool isUnder(const char* real, const char* root) {
    size_t n = strlen(root);
    if (strncmp(real, root, n) != 0) return false;
    return real[n] == 0 || real[n] == '/' || (n > 0 && root[n - 1] == '/');
}

// Turns an fopen mode into open(2) flags; false for a mode that is not one.
bool modeFlags(const char* mode, int* flags) {
    int f = 0;
    switch (mode[0]) {
        case 'r': f = O_RDONLY; break;
        case 'w': f = O_WRONLY | O_CREAT | O_TRUNC; break;
        case 'a': f = O_WRONLY | O_CREAT | O_APPEND; break;
        default: return false;
    }
    for (const char* p = mode + 1; *p; ++p) {
        if (*p == '+') f = (f & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
        if (*p == 'x') f |= O_EXCL;
    }
    *flags = f;
    return true;
}

// The fdopen mode matching open flags.
const char* streamMode(int flags) {
    bool rw = (flags & O_ACCMODE) == O_RDWR;
    if (flags & O_APPEND) return rw ? "a+b" : "ab";
    if ((flags & O_ACCMODE) == O_RDONLY) return "rb";
    return rw ? "r+b" : "wb";
}

// Opens path without waiting and keeps it only when it is a regular file. A FIFO opened for
// reading would wait for a writer and a device may never answer, either of which would stop
// the frame; O_NONBLOCK makes the open itself return at once, and the check after it refuses
// what is not a plain file. Truncation waits until the file is known to be the right one.
int openChecked(const char* path, int flags, mode_t perm, bool noFollow) {
    int fd = open(
        path, (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (noFollow ? O_NOFOLLOW : 0),
        perm);
    if (fd < 0) {
        openFailed(errno == ELOOP && noFollow ? EPERM : errno,
                   errno == ELOOP && noFollow ? "changed into a link while opening" : nullptr);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        openFailed(EINVAL, "not a regular file");
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    if ((flags & O_TRUNC) && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        openFailed(err, nullptr);
        return -1;
    }
    return fd;
}

}  // namespace

// An empty directory means the current one. A missing final slash is added, so that homePath
// can always simply put the name after the directory.
bool setHomeDir(const char* dir) {
    if (!dir) return false;
    size_t len = strlen(dir);
    bool addSlash = len > 0 && dir[len - 1] != '/';
    if (len + (addSlash ? 1 : 0) > kHomeDirMax) return false;
    memcpy(g_home, dir, len);
    if (addSlash) g_home[len++] = '/';
    g_home[len] = '\0';
    return true;
}

const char* homeDir() { return g_home; }

// The result lives in one static buffer that the next call overwrites. A name too long for the
// buffer is cut; callers that take names from outside check them with homeNameOk first.
char* homePath(const char* name) {
    snprintf(g_homePath, sizeof g_homePath, "%s%s", g_home, name ? name : "");
    return g_homePath;
}

// Names come from configuration files and remote commands, so they must not climb out of the
// home directory, point elsewhere through an absolute path, or carry bytes that would split a
// log line or confuse the file system.
bool homeNameOk(const char* name) {
    if (!name || !name[0] || name[0] == '/') return false;
    size_t len = 0;
    const char* component = name;
    for (const char* p = name;; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\0') {
            if (p - component == 2 && component[0] == '.' && component[1] == '.') return false;
            if (c == '\0') break;
            component = p + 1;
        } else if (c == '\\' || c < 32 || c == 127) {
            return false;
        }
        if (++len >= kHomeNameMax) return false;
    }
    return true;
}

// The name is checked as text first (no "..", no absolute path of its own), then the directory
// that will hold the file is resolved, so that a link to a directory elsewhere is caught before
// anything is created there; a final component that is a link must itself lead to a regular file
// inside the home directory. Opening a final component that was no link uses O_NOFOLLOW, so a
// link put in its place meanwhile is refused rather than followed.
int homeOpenFd(const char* path, int flags, mode_t perm) {
    g_openError[0] = 0;
    if (!path || !path[0]) {
        openFailed(ENOENT, "no file name");
        return -1;
    }
    // A path that homePath built starts with the home directory (which may itself be relative
    // when the game's home path is); anything else absolute is outside.
    size_t homeLen = strlen(g_home);
    const char* name = path;
    if (homeLen > 0 && strncmp(path, g_home, homeLen) == 0) {
        name = path + homeLen;
    } else if (path[0] == '/') {
        openFailed(EPERM, "outside the home directory");
        return -1;
    }
    if (!homeNameOk(name)) {
        openFailed(EPERM, "not a file name inside the home directory");
        return -1;
    }
    char full[QZ_PATH_MAX];
    if (snprintf(full, sizeof full, "%s%s", g_home, name) >= static_cast<int>(sizeof full)) {
        openFailed(ENAMETOOLONG, nullptr);
        return -1;
    }
    // A file whose new version still waits for its rename is opened as that version, so a read
    // finds what was written and an append is carried along by the rename; when it was renamed
    // meanwhile (gone under its waiting name), the file itself is that version.
    char pending[QZ_PATH_MAX];
    if (!(flags & O_EXCL) && g_pendingHook && g_pendingHook(full, pending, sizeof pending)) {
        QzPendingName hook = g_pendingHook;
        g_pendingHook = nullptr;
        int fd = homeOpenFd(pending, flags, perm);
        g_pendingHook = hook;
        if (fd >= 0 || errno != ENOENT) return fd;
        g_openError[0] = 0;
    }
    char realHome[PATH_MAX];
    if (!realpath(g_home[0] ? g_home : ".", realHome)) {
        openFailed(errno, "home directory missing");
        return -1;
    }
    // The directory part of the name, resolved.
    char dir[QZ_PATH_MAX];
    snprintf(dir, sizeof dir, "%s", full);
    char* slash = strrchr(dir, '/');
    if (slash)
        slash[1] = 0;
    else
        snprintf(dir, sizeof dir, ".");
    char realDir[PATH_MAX];
    if (!realpath(dir, realDir)) {
        openFailed(errno, nullptr);
        return -1;
    }
    if (!isUnder(realDir, realHome)) {
        openFailed(EPERM, "outside the home directory");
        return -1;
    }
    struct stat st;
    bool isLink = lstat(full, &st) == 0 && S_ISLNK(st.st_mode);
    if (isLink) {
        char realFile[PATH_MAX];
        if (!realpath(full, realFile)) {
            // A dangling link would create its target wherever it points.
            openFailed(EPERM, "a link to a missing file");
            return -1;
        }
        if (!isUnder(realFile, realHome)) {
            openFailed(EPERM, "outside the home directory");
            return -1;
        }
    }
    return openChecked(full, flags, perm, !isLink);
}

FILE* homeOpen(const char* path, const char* mode, mode_t perm) {
    int flags = 0;
    if (!mode || !modeFlags(mode, &flags)) {
        openFailed(EINVAL, "bad open mode");
        return nullptr;
    }
    int fd = homeOpenFd(path, flags, perm);
    if (fd < 0) return nullptr;
    FILE* fp = fdopen(fd, streamMode(flags));
    if (!fp) {
        openFailed(errno, nullptr);
        close(fd);
    }
    return fp;
}

// The cut record is read back from the end of the file (at most kCutMax bytes; a longer last
// line is no record of any of the module's files and is moved whole in pieces).
FILE* homeOpenAppendLine(const char* path, QzLineCheck lineOk, long* moved, mode_t perm) {
    if (moved) *moved = 0;
    FILE* fp = homeOpen(path, "a+b", perm);
    if (!fp) return nullptr;
    const int fd = fileno(fp);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0) return fp;
    char last = '\n';
    if (pread(fd, &last, 1, st.st_size - 1) != 1 || last == '\n') return fp;
    // Find where the last line starts.
    constexpr int kCutMax = 4096;
    char tail[kCutMax];
    off_t start = st.st_size;
    bool found = false;
    while (start > 0 && !found) {
        off_t from = start > kCutMax ? start - kCutMax : 0;
        ssize_t got = pread(fd, tail, static_cast<size_t>(start - from), from);
        if (got != start - from) return fp;  // cannot tell: leave the file as it is
        for (ssize_t i = got - 1; i >= 0; --i) {
            if (tail[i] == '\n') {
                start = from + i + 1;
                found = true;
                break;
            }
        }
        if (!found) start = from;
    }
    const off_t length = st.st_size - start;
    bool whole = false;
    if (length <= kCutMax && lineOk) {
        if (pread(fd, tail, static_cast<size_t>(length), start) != length) return fp;
        int n = static_cast<int>(length);
        if (n > 0 && tail[n - 1] == '\r') n--;
        whole = lineOk(tail, n);
    }
    if (!whole) {
        char side[QZ_PATH_MAX];
        if (snprintf(side, sizeof side, "%s.cut", path) >= static_cast<int>(sizeof side)) return fp;
        FILE* out = homeOpen(side, "ab", perm);
        if (!out) return fp;
        bool copied = true;
        for (off_t at = start; at < st.st_size && copied;) {
            size_t want =
                static_cast<size_t>(st.st_size - at > kCutMax ? kCutMax : st.st_size - at);
            ssize_t got = pread(fd, tail, want, at);
            copied = got > 0 &&
                     fwrite(tail, 1, static_cast<size_t>(got), out) == static_cast<size_t>(got);
            at += got > 0 ? got : 0;
        }
        copied = copied && fputs("\r\n", out) >= 0;
        copied = fclose(out) == 0 && copied;
        // Only a copy that is safely in the side file lets the cut record leave the file.
        if (copied && ftruncate(fd, start) == 0) {
            if (moved) *moved = static_cast<long>(length);
            return fp;
        }
    }
    fputs("\r\n", fp);
    fflush(fp);
    return fp;
}

FILE* openRegularFile(const char* path) {
    g_openError[0] = 0;
    if (!path || !path[0]) {
        openFailed(ENOENT, "no file name");
        return nullptr;
    }
    int fd = openChecked(path, O_RDONLY, 0, false);
    if (fd < 0) return nullptr;
    FILE* fp = fdopen(fd, "rb");
    if (!fp) {
        openFailed(errno, nullptr);
        close(fd);
    }
    return fp;
}

void setHomePendingHook(QzPendingName hook) { g_pendingHook = hook; }

const char* homeOpenError() { return g_openError[0] ? g_openError : "unknown error"; }

// One line per call, opened and closed each time so that nothing stays open between frames
// and an outside log rotation never loses lines. A file that cannot be opened is skipped
// silently: logging must never stop the server.
void trLog(const char* file, const char* fmt, ...) {
    if (!file || !file[0] || !fmt) return;
    FILE* fp = homeOpen(file, "ab");
    if (!fp) return;
    char msg[4150];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    msg[sizeof msg - 1] = '\0';
    struct tm lt;
    qzLocalTime(qzTime(), &lt);
    fprintf(fp, "[%02u.%02u.%04u %02u:%02u:%02u] %s\r\n", static_cast<unsigned>(lt.tm_mon + 1),
            static_cast<unsigned>(lt.tm_mday), static_cast<unsigned>(lt.tm_year + 1900),
            static_cast<unsigned>(lt.tm_hour), static_cast<unsigned>(lt.tm_min),
            static_cast<unsigned>(lt.tm_sec), msg);
    fflush(fp);
    fclose(fp);
}

// The name is formatted once here; the file itself is opened on first use. Backslashes in names
// written for other systems become slashes.
bfc::bfc(const char* openMode, const char* nameFmt, ...) {
    memset(path, 0, sizeof path);
    memset(mode, 0, sizeof mode);
    pos = 0;
    fp = nullptr;
    if (openMode) {
        size_t n = strnlen(openMode, sizeof mode - 1);
        memcpy(mode, openMode, n);
    }
    if (nameFmt) {
        va_list ap;
        va_start(ap, nameFmt);
        vsnprintf(path, sizeof path, nameFmt, ap);
        va_end(ap);
        path[sizeof path - 1] = '\0';
    }
    for (char* p = path; *p; ++p) {
        if (*p == '\\') *p = '/';
    }
}

bfc::~bfc() { close(); }

void bfc::close() {
    if (fp) fclose(fp);
    fp = nullptr;
}

// True when the file is open, opening it with the stored mode if needed.
bool bfc::open() {
    if (fp) return true;
    if (!path[0] || !mode[0]) return false;
    fp = homeOpen(path, mode);
    pos = 0;
    return fp != nullptr;
}

int bfc::wrtf(const char* fmt, ...) {
    if (!fmt || !open()) return 0;
    va_list ap;
    va_start(ap, fmt);
    int written = vfprintf(fp, fmt, ap);
    va_end(ap);
    return written;
}

// The target name holds at most 255 characters: a format longer than that is taken as the name
// itself rather than formatted. A length below 1 means "from offset to the end of the file";
// nothing is created when that range is empty. The source stays open afterwards; the target is
// always closed.
int bfc::cpy(long offset, long length, char* work, long workSize, const char* targetFmt, ...) {
    if (!work || workSize < 1 || !targetFmt) return 0;
    char target[511];
    if (strlen(targetFmt) <= 255) {
        va_list ap;
        va_start(ap, targetFmt);
        vsnprintf(target, sizeof target, targetFmt, ap);
        va_end(ap);
    } else {
        memcpy(target, targetFmt, 255);
    }
    target[255] = '\0';

    if (length < 1) {
        long size = 0;
        if (open()) {
            size = fseek(fp, 0, SEEK_END) == 0 ? ftell(fp) : -1;
            fseek(fp, 0, SEEK_SET);
            pos = 0;
        }
        length = size - offset;
        if (length < 1) return 0;
    }
    if (!open() || fseek(fp, offset, SEEK_SET) != 0) return 0;
    pos = 0;

    FILE* out = homeOpen(target, "wb");
    if (!out) return 0;
    long copied = 0;
    while (copied < length) {
        long chunk = length - copied < workSize ? length - copied : workSize;
        size_t got = fread(work, 1, static_cast<size_t>(chunk), fp);
        if (got == 0) break;
        size_t put = fwrite(work, 1, got, out);
        copied += static_cast<long>(put);
        if (put < got) break;
    }
    fclose(out);
    return copied == length ? 1 : 0;
}

int bfc::cpy(const char* targetFmt, ...) {
    if (!targetFmt) return 0;
    char target[511];
    va_list ap;
    va_start(ap, targetFmt);
    vsnprintf(target, sizeof target, targetFmt, ap);
    va_end(ap);
    target[sizeof target - 1] = '\0';
    char work[4096];
    return cpy(0, 0, work, sizeof work, "%s", target);
}
