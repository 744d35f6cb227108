// The panel's data with the file store: the fleet log read into memory (a FileStore handle of
// the panel's own, tailing the log the service writes), and the panel's own records in
// "panel.log" beside it, one JSON object a line, appended and synced, read back at start.
// Ban pages walk the in-memory ban map from the key down (keyset as with the database); a name
// search looks at every ban on its way, so it costs in proportion to the bans it passes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "qzmaster/fleet_state.h"
#include "qzmaster/panel/html.h"
#include "qzmaster/panel/panel_data.h"

namespace qzpanel {

namespace {

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return u;
}

class FilePanelData : public PanelData {
  public:
    FilePanelData(std::string dir, bool withFleet)
        : dir_(std::move(dir)), fleet_(qzm::makeFileStore(dir_)), withFleet_(withFleet) {}
    ~FilePanelData() override {
        if (fd_ >= 0) close(fd_);
    }

    bool open(std::string* error) override {
        // Opening the fleet log drops a line cut short at its end, which must never happen
        // under a running service's feet: the command line opens only the panel's own log.
        if (withFleet_ &&
            !fleet_->open([this](const qzm::FleetRecord& r) { state_.apply(r); }, error)) {
            return false;
        }
        std::string path = dir_ + "/panel.log";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            *error = "cannot open " + path + ": " + strerror(errno);
            return false;
        }
        tailPanel();
        return true;
    }

    void poll() override {
        fleet_->poll();
        tailPanel();
    }

    bool bans(const BanPageQuery& q, std::vector<PanelBan>* out, std::string*) override {
        poll();
        out->clear();
        std::string guid = upper(q.guid), name = plainName(nameBytes(q.name));
        auto match = [&](const qzm::FleetBan& b) {
            if (!guid.empty() && upper(b.rec.guid).compare(0, guid.size(), guid) != 0) return false;
            if (!name.empty() && plainName(b.rec.name).find(name) == std::string::npos) {
                return false;
            }
            return true;
        };
        const auto& all = state_.bans();
        size_t want = static_cast<size_t>(q.limit) + 1;
        if (q.after > 0) {
            for (auto it = all.upper_bound(q.after); it != all.end() && out->size() < want; ++it) {
                if (match(it->second)) out->push_back(listing(it->second));
            }
            std::reverse(out->begin(), out->end());
            return true;
        }
        auto it = q.before > 0 ? all.lower_bound(q.before) : all.end();
        while (it != all.begin() && out->size() < want) {
            --it;
            if (match(it->second)) out->push_back(listing(it->second));
        }
        return true;
    }

    bool ban(int64_t id, PanelBan* out, bool* found, std::string*) override {
        poll();
        const qzm::FleetBan* b = state_.ban(id);
        *found = b != nullptr;
        if (b) *out = listing(*b);
        return true;
    }

    bool liveBans(int64_t now, std::vector<PanelBan>* out, std::string*) override {
        poll();
        out->clear();
        for (const auto& [id, b] : state_.bans()) {
            PanelBan l = listing(b);
            if (banActive(l, now)) out->push_back(l);
        }
        return true;
    }

    bool hasLiveBan(const std::string& guid, int64_t now, bool* yes, std::string*) override {
        poll();
        *yes = state_.liveBan(guid.c_str(), now) != nullptr;
        return true;
    }

    bool setReason(int64_t banId, const std::string& reason, std::string* error) override {
        nlohmann::json j = {{"k", "reason"}, {"ban", banId}, {"reason", reason}};
        return write(j, error);
    }

    bool admin(const std::string& name, AdminRow* out, bool* found, std::string*) override {
        tailPanel();
        auto it = admins_.find(name);
        *found = it != admins_.end();
        if (*found) *out = it->second;
        return true;
    }

    bool putAdmin(const AdminRow& row, std::string* error) override {
        nlohmann::json j = {{"k", "admin"},
                            {"name", row.name},
                            {"level", levelName(row.level)},
                            {"hash", row.hash}};
        return write(j, error);
    }

    bool addAudit(const AuditRow& row, std::string* error) override {
        nlohmann::json j = {{"k", "audit"},        {"id", nextAudit_}, {"at", row.at},
                            {"who", row.who},      {"from", row.from}, {"action", row.action},
                            {"detail", row.detail}};
        return write(j, error);
    }

    bool audits(const AuditQuery& q, std::vector<AuditRow>* out, std::string*) override {
        tailPanel();
        out->clear();
        for (auto it = audit_.rbegin(); it != audit_.rend(); ++it) {
            if (q.before && it->id >= q.before) continue;
            if (!q.who.empty() && it->who != q.who) continue;
            if (!q.action.empty() && it->action != q.action) continue;
            out->push_back(*it);
            if (out->size() > static_cast<size_t>(q.limit)) break;
        }
        return true;
    }

    bool addAppeal(const AppealRow& a, int64_t* id, std::string* error) override {
        *id = nextAppeal_;
        nlohmann::json j = {{"k", "appeal"},   {"id", *id},      {"ban", a.banId},
                            {"guid", a.guid},  {"text", a.text}, {"contact", a.contact},
                            {"at", a.filedAt}, {"from", a.from}};
        return write(j, error);
    }

    bool appealsOf(int64_t banId, std::vector<AppealRow>* out, std::string*) override {
        tailPanel();
        out->clear();
        for (const auto& [id, a] : appeals_) {
            if (a.banId == banId) out->push_back(a);
        }
        return true;
    }

    bool appeals(const std::string& state, int64_t before, int limit, std::vector<AppealRow>* out,
                 std::string*) override {
        tailPanel();
        out->clear();
        for (auto it = appeals_.rbegin(); it != appeals_.rend(); ++it) {
            if (before && it->first >= before) continue;
            if (!state.empty() && it->second.state != state) continue;
            out->push_back(it->second);
            if (out->size() > static_cast<size_t>(limit)) break;
        }
        return true;
    }

    bool appeal(int64_t id, AppealRow* out, bool* found, std::string*) override {
        tailPanel();
        auto it = appeals_.find(id);
        *found = it != appeals_.end();
        if (*found) *out = it->second;
        return true;
    }

    bool decideAppeal(int64_t id, const std::string& state, const std::string& answer,
                      const std::string& by, int64_t at, std::string* error) override {
        auto it = appeals_.find(id);
        if (it == appeals_.end() || it->second.state != "open") {
            *error = "that appeal is not open";
            return false;
        }
        nlohmann::json j = {{"k", "decision"},  {"id", id}, {"state", state},
                            {"answer", answer}, {"by", by}, {"at", at}};
        return write(j, error);
    }

    bool appealsSince(const std::string& guid, const std::string& address, int64_t since,
                      int* byGuid, int* byAddress, std::string*) override {
        tailPanel();
        *byGuid = *byAddress = 0;
        std::string g = upper(guid);
        for (auto it = appeals_.rbegin(); it != appeals_.rend() && it->second.filedAt >= since;
             ++it) {
            *byGuid += upper(it->second.guid) == g;
            *byAddress += it->second.from == address;
        }
        return true;
    }

    qzm::FleetStore& fleet() override { return *fleet_; }

  private:
    PanelBan listing(const qzm::FleetBan& b) const {
        PanelBan l;
        l.rec = b.rec;
        l.lifted = b.lifted;
        l.liftedAt = b.liftedAt;
        l.liftedBy = b.liftedBy;
        auto it = reasons_.find(b.rec.id);
        if (it != reasons_.end()) l.reason = it->second;
        return l;
    }

    // Appends J as one line, synced, then applies it.
    bool write(const nlohmann::json& j, std::string* error) {
        std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *error = std::string("cannot write panel.log: ") + strerror(errno);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (fdatasync(fd_) != 0) {
            *error = std::string("cannot sync panel.log: ") + strerror(errno);
            return false;
        }
        tailPanel();
        return true;
    }

    // Reads the complete lines of panel.log not read yet (also those the command line added).
    void tailPanel() {
        char buf[65536];
        for (;;) {
            ssize_t n = pread(fd_, buf, sizeof buf, readAt_);
            if (n <= 0) return;
            pending_.append(buf, static_cast<size_t>(n));
            readAt_ += n;
            size_t start = 0;
            for (size_t end; (end = pending_.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                apply(pending_.substr(start, end - start));
            }
            pending_.erase(0, start);
            // No record is that long: a line without an end this size is dropped.
            if (pending_.size() > (1u << 20)) pending_.clear();
        }
    }

    // Takes one line of panel.log; lines that do not parse are skipped.
    void apply(const std::string& line) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) return;
        try {
            std::string k = j.value("k", "");
            if (k == "admin") {
                AdminRow a;
                a.name = j.at("name").get<std::string>();
                a.level = levelFromName(j.at("level").get<std::string>());
                a.hash = j.at("hash").get<std::string>();
                admins_[a.name] = a;
            } else if (k == "audit") {
                AuditRow a;
                a.id = j.at("id").get<int64_t>();
                a.at = j.at("at").get<int64_t>();
                a.who = j.at("who").get<std::string>();
                a.from = j.at("from").get<std::string>();
                a.action = j.at("action").get<std::string>();
                a.detail = j.at("detail").get<std::string>();
                nextAudit_ = std::max(nextAudit_, a.id + 1);
                audit_.push_back(a);
            } else if (k == "appeal") {
                AppealRow a;
                a.id = j.at("id").get<int64_t>();
                a.banId = j.at("ban").get<int64_t>();
                a.guid = j.at("guid").get<std::string>();
                a.text = j.at("text").get<std::string>();
                a.contact = j.at("contact").get<std::string>();
                a.filedAt = j.at("at").get<int64_t>();
                a.from = j.at("from").get<std::string>();
                nextAppeal_ = std::max(nextAppeal_, a.id + 1);
                appeals_[a.id] = a;
            } else if (k == "reason") {
                reasons_[j.at("ban").get<int64_t>()] = j.at("reason").get<std::string>();
            } else if (k == "decision") {
                auto it = appeals_.find(j.at("id").get<int64_t>());
                if (it == appeals_.end()) return;
                it->second.state = j.at("state").get<std::string>();
                it->second.answer = j.at("answer").get<std::string>();
                it->second.decidedBy = j.at("by").get<std::string>();
                it->second.decidedAt = j.at("at").get<int64_t>();
            }
        } catch (const nlohmann::json::exception&) {
            // A damaged line is skipped like one that does not parse.
        }
    }

    std::string dir_;
    std::unique_ptr<qzm::FleetStore> fleet_;
    bool withFleet_ = true;
    qzm::FleetState state_;
    int fd_ = -1;
    off_t readAt_ = 0;
    std::string pending_;
    std::map<std::string, AdminRow> admins_;
    std::vector<AuditRow> audit_;
    std::map<int64_t, AppealRow> appeals_;
    std::map<int64_t, std::string> reasons_;
    int64_t nextAudit_ = 1;
    int64_t nextAppeal_ = 1;
};

}  // namespace

std::unique_ptr<PanelData> makePanelDataFile(const std::string& dir, bool withFleet) {
    return std::make_unique<FilePanelData>(dir, withFleet);
}

const char* levelName(Level l) {
    switch (l) {
        case Level::View: return "view";
        case Level::Ban: return "ban";
        case Level::All: return "all";
        default: return "none";
    }
}

Level levelFromName(std::string_view text) {
    if (text == "view") return Level::View;
    if (text == "ban") return Level::Ban;
    if (text == "all") return Level::All;
    return Level::None;
}

bool banActive(const qzm::BanListing& ban, int64_t now) {
    if (ban.lifted) return false;
    return ban.rec.lengthMin == 0 || ban.rec.banTime + ban.rec.lengthMin * 60 > now;
}

}  // namespace qzpanel
