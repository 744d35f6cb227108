// Editing "qzadmins.dat" one administrator at a time, every other line kept as it stands.
#include "webtool/adminfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/compare.h"
#include "util/text.h"
#include "webtool/admins.h"

namespace {

// The file's text, and the edited text (one new line longer at most).
char g_old[WEB_ADMIN_FILE_MAX + 1];
char g_new[WEB_ADMIN_FILE_MAX + 512];

const char kHead[] = "# WebTool administrators: name level scrypt N r p salt hash\n";

// Reads the file into g_old. *length is 0 and the result true when there is none yet.
bool readOld(const char* path, int* length, char* why, int whySize) {
    *length = 0;
    int fd = webAdminsOpen(path, why, whySize);
    if (fd < 0) return errno == ENOENT;
    ssize_t got = 0;
    for (;;) {
        ssize_t n = read(fd, g_old + got, static_cast<size_t>(WEB_ADMIN_FILE_MAX + 1 - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) got = -1;
            break;
        }
        got += n;
        if (got > WEB_ADMIN_FILE_MAX) break;
    }
    int err = errno;
    close(fd);
    if (got < 0) {
        trf(why, whySize, "cannot read %s: %s", QZ_ADMINS_FILE, strerror(err));
        return false;
    }
    if (got > WEB_ADMIN_FILE_MAX) {
        trf(why, whySize, "%s is larger than %d bytes; not changed", QZ_ADMINS_FILE,
            WEB_ADMIN_FILE_MAX);
        return false;
    }
    *length = static_cast<int>(got);
    return true;
}

bool writeNew(const char* path, const char* text, int length, char* why, int whySize) {
    char tmp[1024];
    if (QZ_TRF(tmp, "%s.tmp", path) >= qz::cap(tmp)) {
        trf(why, whySize, "cannot write %s: path too long", QZ_ADMINS_FILE);
        return false;
    }
    unlink(tmp);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        trf(why, whySize, "cannot write %s: %s", QZ_ADMINS_FILE, strerror(errno));
        return false;
    }
    bool ok = write(fd, text, static_cast<size_t>(length)) == static_cast<ssize_t>(length);
    ok = ok && fsync(fd) == 0;
    int err = errno;
    close(fd);
    if (!ok || rename(tmp, path) != 0) {
        if (ok) err = errno;
        unlink(tmp);
        trf(why, whySize, "cannot write %s: %s", QZ_ADMINS_FILE, strerror(err ? err : ENOSPC));
        return false;
    }
    return true;
}

}  // namespace

bool webAdminsEdit(const char* path, const char* name, const stWebAdmin* a, bool* found, char* why,
                   int whySize) {
    *found = false;
    int oldLen = 0;
    if (!readOld(path, &oldLen, why, whySize)) return false;
    char line[256] = "";
    if (a) webAdminFormat(a, line, qz::cap(line));
    int n = 0;
    auto put = [&](const char* text, int k) {
        memcpy(g_new + n, text, static_cast<size_t>(k));
        n += k;
    };
    if (oldLen == 0) put(kHead, slen(kHead));
    int admins = 0;
    bool placed = false;
    for (int i = 0; i < oldLen;) {
        int start = i;
        while (i < oldLen && g_old[i] != '\n') i++;
        if (i < oldLen) i++;  // the line end belongs to the line
        int k = i - start;
        stWebAdmin parsed;
        bool isAdmin = k <= 512 && !memchr(g_old + start, 0, static_cast<size_t>(k)) &&
                       webAdminParse(g_old + start, k, &parsed);
        if (isAdmin && trcasecmp(parsed.name, name) == 0) {
            *found = true;
            if (a && !placed) {
                put(line, slen(line));
                // The line keeps its own end ("\r\n" stays "\r\n").
                const char* end = g_old + start + k;
                int endLen = 0;
                while (endLen < k && (end[-1 - endLen] == '\n' || end[-1 - endLen] == '\r'))
                    endLen++;
                if (endLen) {
                    put(end - endLen, endLen);
                } else {
                    put("\n", 1);
                }
                placed = true;
                admins++;
            }
            continue;  // a removed line, or a later line of the same administrator
        }
        if (isAdmin) admins++;
        put(g_old + start, k);
    }
    if (a && !placed) {
        if (n > 0 && g_new[n - 1] != '\n') put("\n", 1);
        put(line, slen(line));
        put("\n", 1);
        admins++;
    }
    if (admins > WEB_ADMIN_MAX) {
        trf(why, whySize, "the list is full (%d)", WEB_ADMIN_MAX);
        return false;
    }
    if (!a && !*found) return true;  // nothing to remove: the file is left alone
    return writeNew(path, g_new, n, why, whySize);
}
