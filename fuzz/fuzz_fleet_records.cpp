// Hostile lines of the fleet service's log and of its database notifications (the same record
// form), and a whole log through the file store: whatever parses writes back to a line that
// parses to the same record; a log of any bytes loads without harm.
//
// Kept quick, so that a short run explores: inputs up to 2 KiB (three records of the longest kind
// and an over-long line; the store reads a line cut short back to its start a byte at a time, so
// longer inputs only cost), and one log file for the whole run, in memory where the machine allows.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qzmaster/fleet_records.h"
#include "qzmaster/fleet_store.h"
#include "tmpdir.h"

namespace {

constexpr size_t kMaxInput = 2048;
static_assert(kMaxInput > 3 * (qzm::kRecordMax + 1), "three records of the longest kind fit");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    qzm::FleetRecord r;
    if (qzm::parseRecord(text, size, &r)) {
        std::string line = qzm::formatRecord(r);
        if (line.empty() || line.back() != '\n') abort();
        qzm::FleetRecord again;
        if (!qzm::parseRecord(line.data(), line.size() - 1, &again)) abort();
        if (qzm::formatRecord(again) != line) abort();
    }

    // The same bytes as a whole log.
    static const std::string dir = qzfuzz::makeMemoryRunDirectory("qzfuzzrec-");
    static const std::string path = dir + "/fleet.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    close(fd);
    auto store = qzm::makeFileStore(dir);
    std::string error;
    size_t records = 0;
    store->open([&](const qzm::FleetRecord&) { ++records; }, &error);
    if (records > size) abort();
    return 0;
}
