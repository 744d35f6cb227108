// Where the fleet service keeps its servers, bans, reports, replay high-water marks and
// interest notes: its own log file under --dir (FileStore) or PostgreSQL (PgStore). The serving
// side never waits on a store: writes are handed over with a completion, and everything the
// store learns (its contents at start, other masters' and the command line's changes) comes back
// as records through the sink.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qzmaster/fleet_records.h"

namespace qzm {

// Receives every record the store reads: its contents at start, then changes from elsewhere.
using RecordSink = std::function<void(const FleetRecord&)>;
// A ban report done: the fleet ban id (> 0) of this report (new or a repeat with the same
// content); minus the id of the ban an earlier report with the same id made when its content
// differs (refused); 0 when it could not be stored (the server sends it again).
using BanDone = std::function<void(int64_t id)>;
// An unban report done: stored (or a repeat with the same content), refused (the same report id
// with other content), or neither (not stored: the server sends it again). LIFTED: "1,5" or "-".
struct UnbanResult {
    bool ok = false;
    bool refused = false;
    std::string lifted = "-";
};
using UnbanDone = std::function<void(const UnbanResult&)>;
// A move of a server's address done: true when it was newer than anything any master took.
using MoveDone = std::function<void(bool taken)>;

struct BanListing {
    BanRecord rec;
    bool lifted = false;
    int64_t liftedAt = 0;
    std::string liftedBy;
};
struct ServerListing {
    std::string id;
    bool cutOff = false;
    int64_t added = 0;
    int64_t bans = 0;  // fleet bans it reported
};
struct BanQuery {
    std::string guid;  // exact GUID (any case), or ""
    std::string name;  // part of the name at ban (any case), or ""
    int64_t id = 0;    // one ban, or 0
    bool all = false;  // lifted bans too
};

class FleetStore {
  public:
    virtual ~FleetStore() = default;

    // Serving. open() may take its time only for a local file; ready() turns true once the
    // whole contents went through the sink.
    virtual bool open(const RecordSink& sink, std::string* error) = 0;
    virtual bool ready() const = 0;
    // Does whatever I/O is ready and calls completions; never waits.
    virtual void poll() = 0;
    // Stores REC (id 0) unless the server's report id is already stored, in which case the
    // stored content is compared; DONE gets the outcome once the record is durable.
    virtual void reportBan(const BanRecord& rec, BanDone done) = 0;
    // Lifts, for the report once, the live bans of GUID in SCOPE ("own": those SERVER made;
    // "fleet": any), only ban BANID when > 0.
    virtual void reportUnban(const std::string& server, uint64_t epoch, uint64_t reportId,
                             const char* guid, int64_t banId, const std::string& scope, int64_t now,
                             UnbanDone done) = 0;
    // The epoch of this master's answer counters (unique per start); 0 until known.
    virtual uint64_t masterEpoch() const = 0;
    // Fire and forget: the note is stored when convenient.
    virtual void noteInterest(const char* guid, const std::string& server, int64_t now) = 0;
    virtual void noteHighWater(const std::string& server, uint64_t counter) = 0;
    // SERVER's packet COUNTER came from ADDRESS ("a.b.c.d:port"): it becomes the server's
    // address only when COUNTER is above anything any master has taken from it.
    virtual void noteAddress(const std::string& server, const std::string& address,
                             uint64_t counter, MoveDone done) = 0;
    // Short text on the state of the store for the log ("" when nothing to say).
    virtual std::string status() const { return ""; }
    // Moves the lines the store has to say since the last call (connected, loaded, lost, ...)
    // into *out, so none is missed between two samples of status().
    virtual void takeLog(std::vector<std::string>* out) { (void)out; }

    // Administration (the command line): these may wait.
    virtual bool migrate(std::string* error) = 0;
    virtual bool addServer(const std::string& id, const std::string& secretHex,
                           std::string* error) = 0;
    virtual bool setCutOff(const std::string& id, bool cutOff, std::string* error) = 0;
    virtual bool listServers(std::vector<ServerListing>* out, std::string* error) = 0;
    virtual bool listBans(const BanQuery& q, std::vector<BanListing>* out, std::string* error) = 0;
    // Lifts the live bans that Q selects (GUID or id); *lifted gets them.
    virtual bool unban(const BanQuery& q, const std::string& by, std::vector<BanListing>* lifted,
                       std::string* error) = 0;
};

// The file store in DIR: "fleet.log", one record a line, appended and synced before a report is
// answered.
std::unique_ptr<FleetStore> makeFileStore(const std::string& dir);
// The PostgreSQL store for CONNINFO (a postgresql:// URI or key=value string); null when the
// program was built without libpq.
std::unique_ptr<FleetStore> makePgStore(const std::string& conninfo);
bool pgBuiltIn();

}  // namespace qzm
