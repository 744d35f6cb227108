// What the panel reads and writes: pages of fleet bans (keyset paging, newest first, by GUID
// prefix and name part), administrators, appeals and the audit trail. Two implementations: the
// database (a connection of the panel's own, so its statements never queue behind or in front
// of the ban service's) and the file store's folder (the fleet log read into memory, and the
// panel's own log "panel.log" beside it). Both are used from the panel's thread only.
// Administration of the fleet itself (lifting, servers) goes through fleet(): the store's own
// routines, those the command line uses, so the running service learns of each change and
// pushes it to the servers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qzmaster/fleet_store.h"

namespace qzpanel {

constexpr int kPageMax = 100;

struct BanPageQuery {
    std::string guid;    // GUID prefix: letters and digits only, any case ("" : any)
    std::string name;    // part of the name, colour codes ignored, any case ("" : any)
    int64_t before = 0;  // ids below this one (newest first); 0: from the newest
    int64_t after = 0;   // ids above this one (the page before); 0: not used
    int limit = 50;      // 1..kPageMax
};

// A fleet ban with the reason an administrator gave in the panel ("" for a server's report,
// which carries none).
struct PanelBan : qzm::BanListing {
    std::string reason;
};

enum class Level { None = 0, View = 1, Ban = 2, All = 3 };
const char* levelName(Level l);
Level levelFromName(std::string_view text);

struct AdminRow {
    std::string name;
    Level level = Level::None;
    std::string hash;  // argon2id string (libsodium's crypto_pwhash_str)
};

struct AuditRow {
    int64_t id = 0;
    int64_t at = 0;
    std::string who;     // administrator, or "-" for a visitor
    std::string from;    // address of the request
    std::string action;  // login, login-failed, logout, ban, lift, appeal-accept, ...
    std::string detail;  // what changed
};

struct AuditQuery {
    std::string who;
    std::string action;
    int64_t before = 0;
    int limit = 50;
};

struct AppealRow {
    int64_t id = 0;
    int64_t banId = 0;
    std::string guid;
    std::string text;
    std::string contact;
    int64_t filedAt = 0;
    std::string from;
    std::string state = "open";  // open, accepted, rejected
    std::string answer;
    std::string decidedBy;
    int64_t decidedAt = 0;
};

class PanelData {
  public:
    virtual ~PanelData() = default;
    virtual bool open(std::string* error) = 0;
    // Reads what others changed since (the file store's log); never long.
    virtual void poll() {}

    // Up to q.limit + 1 bans, newest first (the extra one tells that there is a next page).
    virtual bool bans(const BanPageQuery& q, std::vector<PanelBan>* out, std::string* error) = 0;
    virtual bool ban(int64_t id, PanelBan* out, bool* found, std::string* error) = 0;
    // Every live, unexpired ban at NOW (export), oldest first.
    virtual bool liveBans(int64_t now, std::vector<PanelBan>* out, std::string* error) = 0;
    // Whether GUID has a live ban (import's dry run).
    virtual bool hasLiveBan(const std::string& guid, int64_t now, bool* yes,
                            std::string* error) = 0;

    // Keeps the reason of fleet ban BANID.
    virtual bool setReason(int64_t banId, const std::string& reason, std::string* error) = 0;

    virtual bool admin(const std::string& name, AdminRow* out, bool* found, std::string* error) = 0;
    virtual bool putAdmin(const AdminRow& row, std::string* error) = 0;

    virtual bool addAudit(const AuditRow& row, std::string* error) = 0;
    virtual bool audits(const AuditQuery& q, std::vector<AuditRow>* out, std::string* error) = 0;

    // Stores A; *id gets its number.
    virtual bool addAppeal(const AppealRow& a, int64_t* id, std::string* error) = 0;
    virtual bool appealsOf(int64_t banId, std::vector<AppealRow>* out, std::string* error) = 0;
    // Appeals in STATE ("" : all), newest first, ids below BEFORE (0: from the newest).
    virtual bool appeals(const std::string& state, int64_t before, int limit,
                         std::vector<AppealRow>* out, std::string* error) = 0;
    virtual bool appeal(int64_t id, AppealRow* out, bool* found, std::string* error) = 0;
    // Decides an open appeal; false with *error when it is not open.
    virtual bool decideAppeal(int64_t id, const std::string& state, const std::string& answer,
                              const std::string& by, int64_t at, std::string* error) = 0;
    // Appeals filed for GUID or from ADDRESS since SINCE (rate limits).
    virtual bool appealsSince(const std::string& guid, const std::string& address, int64_t since,
                              int* byGuid, int* byAddress, std::string* error) = 0;

    // The store's administration routines (lift, servers), as the command line uses them.
    virtual qzm::FleetStore& fleet() = 0;
};

std::unique_ptr<PanelData> makePanelDataPg(const std::string& conninfo);
// WITHFLEET false: the panel's own records only (the command line, beside a running service).
std::unique_ptr<PanelData> makePanelDataFile(const std::string& dir, bool withFleet = true);

// True when BAN is in force at NOW (not lifted, not expired).
bool banActive(const qzm::BanListing& ban, int64_t now);

}  // namespace qzpanel
