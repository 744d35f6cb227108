// The fleet service's records: servers of the fleet, fleet bans and the events that change
// them, with their one-line text form. The file store appends these lines to its log, and the
// PostgreSQL store's notifications carry the same lines, so one parser reads both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qzm {

constexpr size_t kServerIdMax = 32;  // [A-Za-z0-9_.-]{1,32}
constexpr size_t kGuidMax = 32;      // [A-Za-z0-9]{1,32}
constexpr size_t kNameMax = 63;      // the name at ban, printable, no '"', tab or control
constexpr size_t kTextMax = 127;     // address and origin tokens: printable, no blank
constexpr size_t kRecordMax = 512;   // longest record line, without its line end

// True when TEXT (LENGTH bytes) is a server id: 1..32 of [A-Za-z0-9_.-].
bool validServerId(const char* text, size_t length);
inline bool validServerId(const std::string& s) { return validServerId(s.data(), s.size()); }
// True when TEXT is a GUID: 1..32 letters and digits.
bool validGuid(const char* text, size_t length);
inline bool validGuid(const std::string& s) { return validGuid(s.data(), s.size()); }
// Copies SRC into DST (at most kNameMax bytes) with '"', tab and control characters turned
// into '\'' or '?'.
void cleanName(const std::string& src, std::string* dst);

struct BanRecord {
    int64_t id = 0;                      // fleet ban id, > 0
    char server[kServerIdMax + 1] = "";  // the banning server ("-" for the service's own CLI)
    uint64_t reportEpoch = 0;            // the report id's epoch (random per report queue)
    uint64_t reportId = 0;               // the banning server's report id within the epoch
    char guid[kGuidMax + 1] = "";
    int64_t banTime = 0;    // unix seconds
    int64_t lengthMin = 0;  // 0: permanent
    char address[kTextMax + 1] = "?";
    char origin[kTextMax + 1] = "-";
    int64_t received = 0;  // unix seconds at the service
    char name[kNameMax + 1] = "";
};

// One line of the log (or one notification). Kinds:
//   'S' server added:       text1 = id, secret (64 hex), time
//   'C' cut off / restored: text1 = id, flag (1 cut off), time
//   'B' fleet ban:          ban
//   'L' ban lifted:         id, text1 = by whom, time
//   'U' unban report:       text1 = server, epoch:reportId, text2 = GUID, id (0: every live ban
//                           in scope), time, scope ("own"/"fleet"; old lines: "fleet"), lifted
//                           (the ids it lifted, "1,5"; "-" for none)
//   'H' replay high-water:  text1 = server, counter
//   'I' interest:           text2 = GUID, text1 = server, time
//   'V' server changed:     text1 = id (notification only: read the server again)
//   'A' server address:     text1 = id, text2 = "a.b.c.d:port" of its last packet
//   'E' master start:       id = the epoch of its answer counters (file store)
//   'N' new change:         id = its number (notification only: read the changes after)
// B, L and C records are the fleet's changes: each has a change number, the file store's
// ordinal of the line among them or the database's fleet_change_seq; it is not written.
struct FleetRecord {
    char kind = 0;
    BanRecord ban;
    int64_t id = 0;
    uint64_t reportId = 0;
    uint64_t epoch = 0;               // U: the report id's epoch
    int64_t change = 0;               // B/L/C: the change number (0: not known yet)
    char scope[8] = "";               // U
    char lifted[kTextMax + 1] = "-";  // U
    uint64_t counter = 0;
    int flag = 0;
    int64_t time = 0;
    char text1[kTextMax + 1] = "";
    char text2[kTextMax + 1] = "";
    char secret[65] = "";
};

// Parses one line (without its line end) of LENGTH bytes. False for anything that is not
// exactly one well-formed record; *out is then unspecified.
bool parseRecord(const char* line, size_t length, FleetRecord* out);
// The line for R, ended by "\n". Fields are written as validated by the caller.
std::string formatRecord(const FleetRecord& r);
// A report id as records and the database keep it: "<epoch>:<id>" in hexadecimal, or the id
// alone for epoch 0.
std::string reportIdText(uint64_t epoch, uint64_t id);
bool parseReportId(const char* text, size_t length, uint64_t* epoch, uint64_t* id);

}  // namespace qzm
