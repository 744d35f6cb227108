// The fleet service's view in memory: the servers of the fleet with their replay windows, every
// fleet ban indexed by id and by GUID, who asked about which GUID, and the reports already
// taken. Both stores fill it from the same records, so answers never wait for storage.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "qzmaster/fleet_records.h"
#include "remote/fleet_wire.h"

namespace qzm {

struct FleetServer {
    std::string id;
    unsigned char secret[32] = {};
    bool cutOff = false;
    int64_t added = 0;
    // Receiving: the highest counter taken and the 64 below it.
    FleetWindow window{0, 0};
    uint64_t storedHigh = 0;  // what this master told the store
    // The highest counter any master is known to have taken from it (the store's, shared by
    // every master): its address moves only on a packet newer than that.
    uint64_t sharedHigh = 0;
    bool haveAddress = false;
    sockaddr_in address{};        // where pushes go: the source of its newest packet
    bool addressPending = false;  // a move is with the store
    // Its budget of packets (tokens, refilled with time) and of interest notes to store.
    double tokens = 0;
    double noteTokens = 0;
    long long budgetAtMs = 0;
    long overBudget = 0;
};

// A change of the fleet in order: a ban (B), a lift (L) or a cut-off (C).
struct FleetChange {
    char kind;
    int64_t id;  // the ban, for B and L
};

// An unban report as taken, to answer a repeat alike and to refuse a different one.
struct UnbanNote {
    std::string guid;
    int64_t banId = 0;
    std::string scope;
    std::string lifted;  // "1,5", or "-"
};

struct FleetBan {
    BanRecord rec;
    bool lifted = false;
    int64_t liftedAt = 0;
    std::string liftedBy;
};

// A GUID as a fixed key: letters in upper case, so lookups never allocate.
struct GuidKey {
    std::array<char, kGuidMax + 1> s{};
    bool operator==(const GuidKey& o) const { return s == o.s; }
};
GuidKey guidKey(const char* guid);
struct GuidKeyHash {
    size_t operator()(const GuidKey& k) const;
};

// What applying a record changed, for the pushes it calls for.
enum class Applied { Nothing, NewBan, Lifted, Server };

class FleetState {
  public:
    // Applies R; a record already applied changes nothing (records may arrive twice: from the
    // store's own write and from its log or notification). *ban points at the ban concerned for
    // NewBan and Lifted.
    Applied apply(const FleetRecord& r, const FleetBan** ban = nullptr);

    FleetServer* server(const std::string& id);
    std::map<std::string, FleetServer>& servers() { return servers_; }
    // The first live, unexpired ban of GUID at unix time NOW, or null.
    const FleetBan* liveBan(const char* guid, int64_t now) const;
    const FleetBan* ban(int64_t id) const;
    // Ids of every ban (live or lifted) of GUID, oldest first; null when none.
    const std::vector<int64_t>* idsOf(const char* guid) const;
    const std::map<int64_t, FleetBan>& bans() const { return bans_; }
    // The ban a server's report created, or 0.
    int64_t reported(const std::string& server, uint64_t epoch, uint64_t reportId) const;
    const UnbanNote* unbanSeen(const std::string& server, uint64_t epoch, uint64_t reportId) const;
    // Notes that SERVER asked about or reported GUID at NOW; true when that is news worth
    // storing (first time, or the stored note is over an hour old). Notes are bounded: beyond
    // kInterestMax GUIDs a new one is not kept (false), and notes older than a day are pruned.
    bool noteInterest(const char* guid, const std::string& server, int64_t now);
    void pruneInterest(int64_t before);
    size_t interestCount() const { return interest_.size(); }
    // Servers that asked about GUID since SINCE.
    void interested(const char* guid, int64_t since, std::vector<std::string>* out) const;
    int64_t highestBanId() const { return bans_.empty() ? 0 : bans_.rbegin()->first; }
    size_t liveCount() const { return live_; }
    // The fleet's changes in order, and the last one applied (0: none).
    const std::map<int64_t, FleetChange>& changes() const { return changes_; }
    int64_t lastChange() const { return lastChange_; }
    // The master epoch records seen (file store).
    int64_t highestEpoch() const { return highestEpoch_; }

    static constexpr size_t kInterestMax = 200000;

  private:
    using ReportKey = std::tuple<std::string, uint64_t, uint64_t>;
    void noteChange(const FleetRecord& r, int64_t banId);

    std::map<std::string, FleetServer> servers_;
    std::map<int64_t, FleetBan> bans_;
    std::unordered_map<GuidKey, std::vector<int64_t>, GuidKeyHash> byGuid_;
    std::map<ReportKey, int64_t> reports_;
    std::map<ReportKey, UnbanNote> unbans_;
    std::unordered_map<GuidKey, std::map<std::string, int64_t>, GuidKeyHash> interest_;
    std::map<int64_t, FleetChange> changes_;
    int64_t lastChange_ = 0;
    int64_t highestEpoch_ = 0;
    size_t live_ = 0;
};

// Hex helpers for secrets.
bool secretFromHex(const char* hex, unsigned char out[32]);
std::string secretToHex(const unsigned char secret[32]);
// A new random secret as 64 lowercase hex digits; "" when the system has no randomness.
std::string newSecretHex();

}  // namespace qzm
