// The embedded fleet store: one append-only log, "fleet.log" in the service's folder, one
// record a line (fleet_records.h). A report is answered only after its line is synced. The
// command line appends to the same log; a running service reads what others appended (tail),
// so an unban or a new server given on the command line reaches it within a poll.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"

namespace qzm {

namespace {

class FileStore : public FleetStore {
  public:
    explicit FileStore(std::string dir) : dir_(dir), path_(std::move(dir) + "/fleet.log") {}
    ~FileStore() override {
        if (fd_ >= 0) close(fd_);
    }

    bool open(const RecordSink& sink, std::string* error) override {
        sink_ = sink;
        if (!openLog(true, error)) return false;
        // A line cut short by a crash was never answered: it is dropped so the next record
        // starts on a line of its own.
        struct stat st {};
        if (fstat(fd_, &st) == 0 && st.st_size > 0) {
            char last = 0;
            if (pread(fd_, &last, 1, st.st_size - 1) == 1 && last != '\n') {
                off_t keep = st.st_size - 1;
                char c = 0;
                while (keep > 0 && pread(fd_, &c, 1, keep - 1) == 1 && c != '\n') --keep;
                if (ftruncate(fd_, keep) != 0) {
                    *error = "cannot truncate a cut-off line in " + path_;
                    return false;
                }
            }
        }
        tail();
        // This start's epoch for the counters of what it sends: above every earlier start's.
        FleetRecord e;
        e.kind = 'E';
        e.id = state_.highestEpoch() + 1;
        if (!append(formatRecord(e), true)) {
            *error = "cannot write " + path_ + ": " + strerror(errno);
            return false;
        }
        tail();
        epoch_ = static_cast<uint64_t>(state_.highestEpoch());
        loaded_ = true;
        return true;
    }
    bool ready() const override { return loaded_; }
    void poll() override { tail(); }

    void reportBan(const BanRecord& rec, BanDone done) override {
        tail();
        if (int64_t id = state_.reported(rec.server, rec.reportEpoch, rec.reportId)) {
            const FleetBan* b = state_.ban(id);
            bool same = b && guidKey(b->rec.guid) == guidKey(rec.guid) &&
                        b->rec.banTime == rec.banTime && b->rec.lengthMin == rec.lengthMin &&
                        !strcmp(b->rec.name, rec.name);
            return done(same ? id : -id);
        }
        FleetRecord r;
        r.kind = 'B';
        r.ban = rec;
        r.ban.id = state_.highestBanId() + 1;
        r.id = r.ban.id;
        if (!append(formatRecord(r), true)) return done(0);
        tail();
        done(r.ban.id);
    }

    void reportUnban(const std::string& server, uint64_t epoch, uint64_t reportId, const char* guid,
                     int64_t banId, const std::string& scope, int64_t now,
                     UnbanDone done) override {
        tail();
        UnbanResult result;
        if (const UnbanNote* n = state_.unbanSeen(server, epoch, reportId)) {
            bool same =
                guidKey(n->guid.c_str()) == guidKey(guid) && n->banId == banId && n->scope == scope;
            result.ok = same;
            result.refused = !same;
            result.lifted = n->lifted;
            return done(result);
        }
        std::vector<FleetRecord> records(1);
        FleetRecord& u = records[0];
        u.kind = 'U';
        snprintf(u.text1, sizeof u.text1, "%s", server.c_str());
        snprintf(u.text2, sizeof u.text2, "%s", guid);
        u.epoch = epoch;
        u.reportId = reportId;
        u.id = banId;
        u.time = now;
        snprintf(u.scope, sizeof u.scope, "%s", scope.c_str());
        liftRecords(guid, banId, scope == "fleet" ? "" : server, "server:" + server, now, &records);
        std::string ids;
        for (const FleetRecord& r : records)
            if (r.kind == 'L' && ids.size() + 21 < kTextMax)
                ids += (ids.empty() ? "" : ",") + std::to_string(r.id);
        snprintf(records[0].lifted, sizeof records[0].lifted, "%s",
                 ids.empty() ? "-" : ids.c_str());
        std::string text;
        for (const FleetRecord& r : records) text += formatRecord(r);
        if (!append(text, true)) return done(result);
        tail();
        result.ok = true;
        result.lifted = records[0].lifted;
        done(result);
    }

    uint64_t masterEpoch() const override { return epoch_; }

    void noteInterest(const char* guid, const std::string& server, int64_t now) override {
        FleetRecord r;
        r.kind = 'I';
        snprintf(r.text2, sizeof r.text2, "%s", guid);
        snprintf(r.text1, sizeof r.text1, "%s", server.c_str());
        r.time = now;
        if (append(formatRecord(r), false)) tail();
    }

    void noteHighWater(const std::string& server, uint64_t counter) override {
        FleetRecord r;
        r.kind = 'H';
        snprintf(r.text1, sizeof r.text1, "%s", server.c_str());
        r.counter = counter;
        if (append(formatRecord(r), false)) tail();
    }

    // The move is written with the counter that made it, so a later start (or another process
    // on the same log) holds any replay to what was already taken.
    void noteAddress(const std::string& server, const std::string& address, uint64_t counter,
                     MoveDone done) override {
        tail();
        FleetServer* s = state_.server(server);
        if (!s || counter <= s->sharedHigh) return done(false);
        FleetRecord h;
        h.kind = 'H';
        snprintf(h.text1, sizeof h.text1, "%s", server.c_str());
        h.counter = counter;
        FleetRecord r;
        r.kind = 'A';
        snprintf(r.text1, sizeof r.text1, "%s", server.c_str());
        snprintf(r.text2, sizeof r.text2, "%s", address.c_str());
        if (!append(formatRecord(h) + formatRecord(r), false)) return done(false);
        tail();
        done(true);
    }

    std::string status() const override {
        return bad_ ? std::to_string(bad_) + " unreadable lines in " + path_ : "";
    }

    bool migrate(std::string* error) override { return openLog(true, error); }

    bool addServer(const std::string& id, const std::string& secretHex,
                   std::string* error) override {
        if (!openLog(true, error) || !load(error)) return false;
        if (state_.server(id)) {
            *error = "server " + id + " exists";
            return false;
        }
        FleetRecord r;
        r.kind = 'S';
        snprintf(r.text1, sizeof r.text1, "%s", id.c_str());
        snprintf(r.secret, sizeof r.secret, "%s", secretHex.c_str());
        r.time = time(nullptr);
        return appendOrSay(formatRecord(r), error);
    }

    bool setCutOff(const std::string& id, bool cutOff, std::string* error) override {
        if (!load(error)) return false;
        if (!state_.server(id)) {
            *error = "no server " + id;
            return false;
        }
        FleetRecord r;
        r.kind = 'C';
        snprintf(r.text1, sizeof r.text1, "%s", id.c_str());
        r.flag = cutOff ? 1 : 0;
        r.time = time(nullptr);
        return appendOrSay(formatRecord(r), error);
    }

    bool listServers(std::vector<ServerListing>* out, std::string* error) override {
        if (!load(error)) return false;
        out->clear();
        for (const auto& [id, s] : state_.servers()) {
            ServerListing l;
            l.id = id;
            l.cutOff = s.cutOff;
            l.added = s.added;
            for (const auto& [banId, b] : state_.bans()) l.bans += id == b.rec.server;
            out->push_back(l);
        }
        return true;
    }

    bool listBans(const BanQuery& q, std::vector<BanListing>* out, std::string* error) override {
        if (!load(error)) return false;
        out->clear();
        GuidKey want = guidKey(q.guid.c_str());
        std::string part = upper(q.name);
        for (const auto& [id, b] : state_.bans()) {
            if (b.lifted && !q.all) continue;
            if (q.id && id != q.id) continue;
            if (!q.guid.empty() && !(guidKey(b.rec.guid) == want)) continue;
            if (!part.empty() && upper(b.rec.name).find(part) == std::string::npos) continue;
            out->push_back(BanListing{b.rec, b.lifted, b.liftedAt, b.liftedBy});
        }
        return true;
    }

    bool unban(const BanQuery& q, const std::string& by, std::vector<BanListing>* lifted,
               std::string* error) override {
        BanQuery live = q;
        live.all = false;
        if (!listBans(live, lifted, error)) return false;
        if (lifted->empty()) return true;
        std::string text;
        int64_t now = time(nullptr);
        for (const BanListing& b : *lifted) {
            FleetRecord r;
            r.kind = 'L';
            r.id = b.rec.id;
            snprintf(r.text1, sizeof r.text1, "%s", by.c_str());
            r.time = now;
            text += formatRecord(r);
        }
        return appendOrSay(text, error);
    }

  private:
    static std::string upper(const std::string& s) {
        std::string u = s;
        for (char& c : u) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return u;
    }

    // Opens the log; CREATE makes the folder (mode 0700) and the file when missing. Reading
    // commands do not create: a mistyped folder is said, not filled.
    bool openLog(bool create, std::string* error) {
        if (fd_ >= 0) return true;
        if (create && mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot make the folder " + dir_ + ": " + strerror(errno);
            return false;
        }
        int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
        fd_ = ::open(path_.c_str(), flags, 0600);
        if (fd_ < 0 && !create && errno == ENOENT) {
            *error = "no fleet store in " + dir_ + " (qzmaster --fleet-dir " + dir_ +
                     " --migrate creates one)";
            return false;
        }
        if (fd_ < 0) {
            *error = "cannot open " + path_ + ": " + strerror(errno);
            return false;
        }
        return true;
    }

    bool load(std::string* error) {
        if (!openLog(false, error)) return false;
        tail();
        return true;
    }

    // The L records that lift GUID's live bans (only BANID when > 0; only those OWNER made
    // unless OWNER is "").
    void liftRecords(const char* guid, int64_t banId, const std::string& owner,
                     const std::string& by, int64_t now, std::vector<FleetRecord>* out) {
        const std::vector<int64_t>* ids = state_.idsOf(guid);
        if (!ids) return;
        for (int64_t id : *ids) {
            const FleetBan* b = state_.ban(id);
            if (!b || b->lifted || (banId && id != banId)) continue;
            if (!owner.empty() && owner != b->rec.server) continue;
            FleetRecord r;
            r.kind = 'L';
            r.id = id;
            snprintf(r.text1, sizeof r.text1, "%s", by.c_str());
            r.time = now;
            out->push_back(r);
        }
    }

    // Appends TEXT in one write; with SYNC it is on disk when this returns true.
    bool append(const std::string& text, bool sync) {
        if (fd_ < 0 || text.empty()) return false;
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return !sync || fdatasync(fd_) == 0;
    }

    bool appendOrSay(const std::string& text, std::string* error) {
        if (append(text, true)) return true;
        *error = "cannot write " + path_ + ": " + strerror(errno);
        return false;
    }

    // Reads the complete lines appended since the last read.
    void tail() {
        if (fd_ < 0) return;
        char buf[65536];
        for (;;) {
            ssize_t n = pread(fd_, buf, sizeof buf, readAt_);
            if (n <= 0) break;
            size_t used = 0;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') continue;
                line(buf + used, static_cast<size_t>(i) - used);
                used = static_cast<size_t>(i) + 1;
            }
            if (used == 0) {
                // No line end in a whole buffer: no record is that long; skip to the next one.
                if (static_cast<size_t>(n) < sizeof buf) break;
                ++bad_;
                skipping_ = true;
                readAt_ += n;
                continue;
            }
            readAt_ += static_cast<off_t>(used);
            if (static_cast<size_t>(n) < sizeof buf) break;
        }
    }

    void line(const char* p, size_t n) {
        if (skipping_) {
            skipping_ = false;
            return;
        }
        FleetRecord r;
        if (!parseRecord(p, n, &r)) {
            ++bad_;
            return;
        }
        if (r.kind == 'V' || r.kind == 'N') return;
        // The fleet's changes are numbered by their order in the log, which every reader of
        // the log sees alike.
        if (r.kind == 'B' || r.kind == 'L' || r.kind == 'C') r.change = ++changes_;
        state_.apply(r);
        if (sink_ && r.kind != 'E') sink_(r);  // a master's start is this store's own business
    }

    std::string dir_;
    std::string path_;
    int fd_ = -1;
    off_t readAt_ = 0;
    bool skipping_ = false;
    bool loaded_ = false;
    long bad_ = 0;
    int64_t changes_ = 0;
    uint64_t epoch_ = 0;
    FleetState state_;
    RecordSink sink_;
};

}  // namespace

std::unique_ptr<FleetStore> makeFileStore(const std::string& dir) {
    return std::make_unique<FileStore>(dir);
}

}  // namespace qzm
