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
// A ban report done: the fleet ban id (> 0), or 0 when it could not be stored.
using BanDone = std::function<void(int64_t id)>;
// An unban report done: true when stored; LIFTED the ids of the bans it lifted.
using UnbanDone = std::function<void(bool ok, const std::vector<int64_t>& lifted)>;

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
    // Stores REC (id 0) unless the server's report id is already stored; DONE gets the ban id
    // once the record is durable.
    virtual void reportBan(const BanRecord& rec, BanDone done) = 0;
    // Lifts the live bans of GUID (only ban BANID when > 0) for the report once.
    virtual void reportUnban(const std::string& server, uint64_t reportId, const char* guid,
                             int64_t banId, int64_t now, UnbanDone done) = 0;
    // Fire and forget: the note is stored when convenient.
    virtual void noteInterest(const char* guid, const std::string& server, int64_t now) = 0;
    virtual void noteHighWater(const std::string& server, uint64_t counter) = 0;
    // Where SERVER's authenticated packets now come from ("a.b.c.d:port").
    virtual void noteAddress(const std::string& server, const std::string& address) = 0;
    // Short text on the state of the store for the log ("" when nothing to say).
    virtual std::string status() const { return ""; }

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
