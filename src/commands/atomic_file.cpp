// Whole-file replacement through a temporary file and rename.
#include "commands/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

AtomicFile::~AtomicFile() {
    if (fp_) {
        fclose(fp_);
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

bool AtomicFile::commit() {
    if (!fp_) {
        fail("not open");
        return false;
    }
    if (fflush(fp_) != 0 || ferror(fp_)) fail(strerror(errno ? errno : EIO));
    if (!error_[0] && fsync(fileno(fp_)) != 0) fail(strerror(errno));
    if (fclose(fp_) != 0) fail(strerror(errno));
    fp_ = nullptr;
    if (!error_[0] && rename(temp_, path_) != 0) fail(strerror(errno));
    if (error_[0]) {
        unlink(temp_);
        return false;
    }
    return true;
}
