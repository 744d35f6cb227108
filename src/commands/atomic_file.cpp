// Whole-file replacement through a temporary file and rename.
#include "commands/atomic_file.h"

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

bool AtomicFile::open(const char* name) {
    QZ_COPY(path_, homePath(name));
    if (QZ_TRF(temp_, "%s.tmp", path_) >= qz::cap(temp_)) {
        fail("name too long");
        return false;
    }
    fp_ = fopen(temp_, "wb");
    if (!fp_) fail(strerror(errno));
    return fp_ != nullptr;
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
