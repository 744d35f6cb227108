// The fleet ban service: the UDP side of qzmaster that the servers of a fleet report bans to and
// ask about players. Every packet is authenticated (per-server secret, HMAC, replay window) and
// refused and counted otherwise; lookups are answered from memory at once; reports are answered
// once the store has them durably; new bans and lifts are pushed to the servers concerned as
// soon as the store announces them, whichever master took the report. docs/fleet-service.md.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"
#include "remote/fleet_wire.h"

namespace qzm {

struct FleetOptions {
    std::string address = "127.0.0.1";
    unsigned port = 27953;  // 0: an ephemeral port
    std::string dir;        // the file store's folder (without db)
    std::string db;         // PostgreSQL connection string ("" : the file store)
};

struct FleetCounters {
    long refused[QZF_REFUSALS] = {};
    long lookups = 0;
    long banned = 0;    // lookups answered BANNED
    long reports = 0;   // ban reports acknowledged
    long unbans = 0;    // unban reports acknowledged
    long pushes = 0;    // P and R sent
    long notReady = 0;  // lookups left unanswered while the store was still loading
};

class FleetService {
  public:
    FleetService() = default;
    ~FleetService();
    FleetService(const FleetService&) = delete;
    FleetService& operator=(const FleetService&) = delete;

    // Binds the UDP port and opens the store. False with *error set.
    bool start(const FleetOptions& options, std::string* error);
    unsigned port() const { return port_; }
    int fd() const { return fd_; }
    // Handles every datagram waiting, the store's I/O and the periodic notes; never waits.
    void poll();
    bool ready() const { return store_ && store_->ready(); }
    const FleetCounters& counters() const { return counters_; }
    FleetState& state() { return state_; }
    // A fleet ban made by an administrator (the panel): stored through the same store routine as
    // a server's report, under the fleet's own server id "-", so that it is pushed to the
    // servers as any other new ban is. DONE gets the ban id, or 0.
    void adminBan(const BanRecord& rec, BanDone done);
    // The store's state for monitoring ("" when nothing to say).
    std::string storeStatus() const { return store_ ? store_->status() : ""; }
    // Lines describing what happened; the program prints and clears them.
    std::vector<std::string>& log() { return log_; }

  private:
    void packet(const char* data, int length, const sockaddr_in& from);
    void lookup(FleetServer& s, const FleetBody& b);
    void hello(FleetServer& s, const FleetBody& b);
    void report(FleetServer& s, const FleetBody& b);
    void unban(FleetServer& s, const FleetBody& b);
    void answer(const std::string& server, uint64_t fleetId, uint32_t id, const char* verdict,
                const char* guid, const char* name);
    void push(FleetServer& s, char kind, const BanRecord& ban);
    void send(FleetServer& s, const FleetBody& body);
    void onRecord(const FleetRecord& r);
    void refuse(int reason, const sockaddr_in& from, const char* server);
    void notes(long long nowMs);

    FleetOptions options_;
    int fd_ = -1;
    unsigned port_ = 0;
    std::unique_ptr<FleetStore> store_;
    FleetState state_;
    FleetCounters counters_;
    uint32_t pushSeq_ = 0;
    long long lastNotesMs_ = 0;
    long long refusalLogMs_ = 0;
    int refusalLogs_ = 0;
    std::string lastStatus_;
    bool announcedReady_ = false;
    // Reports handed to the store and not answered yet: a resend meanwhile is not stored twice.
    std::set<std::pair<std::string, uint32_t>> inFlight_;
    std::vector<std::string> log_;
};

}  // namespace qzm
