// The fleet service's view in memory: the servers of the fleet with their replay windows, every
// fleet ban indexed by id and by GUID, who asked about which GUID, and the reports already
// taken. Both stores fill it from the same records, so answers never wait for storage.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
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
    uint64_t storedHigh = 0;  // what the store holds
    // Sending: the last counter used towards it.
    uint64_t sent = 0;
    bool haveAddress = false;
    sockaddr_in address{};  // source of its last authenticated packet
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
    int64_t reported(const std::string& server, uint64_t reportId) const;
    bool unbanSeen(const std::string& server, uint64_t reportId) const;
    // Notes that SERVER asked about or reported GUID at NOW; true when that is news worth
    // storing (first time, or the stored note is over an hour old).
    bool noteInterest(const char* guid, const std::string& server, int64_t now);
    // Servers that asked about GUID since SINCE.
    void interested(const char* guid, int64_t since, std::vector<std::string>* out) const;
    int64_t highestBanId() const { return bans_.empty() ? 0 : bans_.rbegin()->first; }
    size_t liveCount() const { return live_; }

  private:
    std::map<std::string, FleetServer> servers_;
    std::map<int64_t, FleetBan> bans_;
    std::unordered_map<GuidKey, std::vector<int64_t>, GuidKeyHash> byGuid_;
    std::map<std::pair<std::string, uint64_t>, int64_t> reports_;
    std::map<std::pair<std::string, uint64_t>, bool> unbans_;
    std::unordered_map<GuidKey, std::map<std::string, int64_t>, GuidKeyHash> interest_;
    size_t live_ = 0;
};

// Hex helpers for secrets.
bool secretFromHex(const char* hex, unsigned char out[32]);
std::string secretToHex(const unsigned char secret[32]);
// A new random secret as 64 lowercase hex digits; "" when the system has no randomness.
std::string newSecretHex();

}  // namespace qzm
