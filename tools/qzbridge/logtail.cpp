// Following the game log. Reads are non-blocking on a regular file; each poll costs one fstat,
// and one stat of the name a few times a second to notice a rotation.
#include "qzbridge/logtail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace qzb {

namespace {

// The game writes each log record from a 1024-byte buffer: a longer record (a long chat line)
// is cut at 1023 bytes and loses its line end, so the next record follows on the same line.
// Every 1023 bytes without a line end therefore end a record; whatever a player types, the
// record after his can never be taken as part of his text, nor his text as a record.
constexpr size_t kRecordMax = 1023;
// How often the name is checked for a rotation.
constexpr long long kRenameCheckMs = 250;

long long monotonicMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

LogTail::~LogTail() {
    if (fd_ >= 0) close(fd_);
}

void LogTail::start() { reopen(true); }

bool LogTail::reopen(bool atEnd) {
    if (fd_ >= 0) close(fd_);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    partial_.clear();
    offset_ = 0;
    if (fd_ < 0) return false;
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    inode_ = st.st_ino;
    device_ = st.st_dev;
    offset_ = atEnd ? st.st_size : 0;
    return true;
}

int LogTail::poll(std::vector<std::string>* lines, bool* rotated, size_t maxBytes) {
    *rotated = false;
    long long now = monotonicMs();
    if (fd_ < 0) {
        if (now - lastCheck_ < kRenameCheckMs) return 0;
        lastCheck_ = now;
        // A file that appears later is new: all of it is read.
        if (!reopen(false)) return 0;
        *rotated = true;
    } else if (now - lastCheck_ >= kRenameCheckMs) {
        lastCheck_ = now;
        struct stat byName;
        if (stat(path_.c_str(), &byName) != 0) {
            // Removed: keep reading the old file until a new one appears.
        } else if (byName.st_ino != inode_ || byName.st_dev != device_) {
            reopen(false);
            *rotated = true;
        }
    }
    if (fd_ < 0) return 0;
    struct stat st;
    if (fstat(fd_, &st) != 0) return 0;
    if (st.st_size < offset_) {
        // Truncated: what follows is new text from the start.
        offset_ = 0;
        partial_.clear();
        *rotated = true;
    }
    if (st.st_size == offset_) return 0;
    lastWrite_ = static_cast<long long>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    int added = 0;
    char buffer[16384];
    size_t total = 0;
    while (total < maxBytes) {
        ssize_t n = pread(fd_, buffer, sizeof buffer, offset_);
        if (n <= 0) break;
        offset_ += n;
        total += static_cast<size_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\n') {
                if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
                lines->push_back(std::move(partial_));
                partial_.clear();
                added++;
            } else {
                if (partial_.size() >= kRecordMax) {
                    lines->push_back(std::move(partial_));
                    partial_.clear();
                    added++;
                }
                partial_ += c;
            }
        }
    }
    return added;
}

}  // namespace qzb
