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
#include <tuple>
#include <vector>

#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"
#include "remote/fleet_wire.h"

namespace qzm {

struct FleetOptions {
    std::string address = "127.0.0.1";
    unsigned port = 27953;   // 0: an ephemeral port
    std::string dir;         // the file store's folder (without db)
    std::string db;          // PostgreSQL connection string ("" : the file store)
    double serverRate = 0;   // packets a second a server may have handled (0: the default)
    double serverBurst = 0;  // and in one burst (0: the default)
};

struct FleetCounters {
    long refused[QZF_REFUSALS] = {};
    long lookups = 0;
    long banned = 0;          // lookups answered BANNED
    long reports = 0;         // ban reports acknowledged
    long unbans = 0;          // unban reports acknowledged
    long pushes = 0;          // P and R sent
    long notReady = 0;        // lookups noted while the store was still loading
    long refusedReports = 0;  // report ids used again with other content (answered REFUSED)
    long overBudget = 0;      // packets of a server beyond its budget
    long pages = 0;           // hello pages sent
};

// Per registered server: packets a second (and the burst) it may have answered, and interest
// notes a second the store keeps for it. Beyond, packets are dropped and counted.
constexpr double kServerPacketsPerSecond = 2000;
constexpr double kServerPacketBurst = 4000;
constexpr double kServerNotesPerSecond = 50;
constexpr int kPageMax = 64;        // P/R messages in one hello page
constexpr int kPageScanMax = 4096;  // changes looked at for one page

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
    // A lookup that came while the store was loading: answered once it is ready.
    struct Waiting {
        std::string server;
        uint32_t id;
        char guid[QZF_GUID_MAX + 1];
        sockaddr_in from;
    };
    static constexpr size_t kWaitingMax = 4096;

    void packet(const char* data, int length, const sockaddr_in& from);
    bool spend(FleetServer& s, long long now);
    void lookup(FleetServer& s, const FleetBody& b, const sockaddr_in& from);
    void hello(FleetServer& s, const FleetBody& b, const sockaddr_in& from);
    void report(FleetServer& s, const FleetBody& b, const sockaddr_in& from);
    void unban(FleetServer& s, const FleetBody& b, const sockaddr_in& from);
    void answer(FleetServer& s, const sockaddr_in& to, const FleetBody& a);
    void push(FleetServer& s, char kind, const BanRecord& ban, int64_t change, uint32_t hello,
              const sockaddr_in* to = nullptr);
    void send(FleetServer& s, const FleetBody& body, const sockaddr_in& to);
    void noteInterest(FleetServer& s, const char* guid, int64_t now);
    void onRecord(const FleetRecord& r);
    void refuse(int reason, const sockaddr_in& from, const char* server);
    void notes(long long nowMs);
    void say(const std::string& line);

    FleetOptions options_;
    int fd_ = -1;
    unsigned port_ = 0;
    std::unique_ptr<FleetStore> store_;
    FleetState state_;
    FleetCounters counters_;
    uint32_t sendSeq_ = 0;  // with the store's epoch: the counter of what this master sends
    std::vector<Waiting> waiting_;
    long long lastNotesMs_ = 0;
    long long refusalLogMs_ = 0;
    int refusalLogs_ = 0;
    std::string lastStatus_;
    bool announcedReady_ = false;
    // Reports handed to the store and not answered yet: a resend meanwhile is not stored twice.
    std::set<std::tuple<char, std::string, uint64_t, uint32_t>> inFlight_;
    long long pruneAtMs_ = 0;
    long long highWaterMs_ = 0;
    std::vector<std::string> log_;
};

}  // namespace qzm
