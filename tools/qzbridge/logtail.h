// Follows the game server's log file as it grows: complete lines only, from the end of the file
// as it was when following began, across a rotation (the name now names another file) and a
// truncation (the file became shorter than what was read). A record the game cut at its
// 1023-byte limit (no line end) is a line of its own, and the record written after it another.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qzb {

class LogTail {
  public:
    explicit LogTail(std::string path) : path_(std::move(path)) {}
    ~LogTail();
    LogTail(const LogTail&) = delete;
    LogTail& operator=(const LogTail&) = delete;

    // Opens the file and starts at its end (what is already there is history). A missing file
    // is looked for again on every poll.
    void start();
    // Appends the complete new lines (without line ends) to LINES, at most maxBytes read per
    // call so that one poll stays short. Returns the number of lines added. *rotated is set when
    // the file was replaced or truncated since the last poll (and reading began again at its
    // start).
    int poll(std::vector<std::string>* lines, bool* rotated, size_t maxBytes = 65536);
    // The wall-clock time (microseconds) at which the file was last written, as of the last
    // poll that read something: the moment the newest line was written.
    long long lastWriteMicros() const { return lastWrite_; }
    const std::string& path() const { return path_; }

  private:
    bool reopen(bool atEnd);
    std::string path_;
    int fd_ = -1;
    ino_t inode_ = 0;
    dev_t device_ = 0;
    off_t offset_ = 0;
    std::string partial_;  // a line whose end has not been written yet
    long long lastWrite_ = 0;
    long long lastCheck_ = 0;
};

}  // namespace qzb
