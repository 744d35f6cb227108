// The fleet service's memory view: applying records, the GUID index and the interest notes.
#include "qzmaster/fleet_state.h"

#include <arpa/inet.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace qzm {

namespace {

// A per-process key mixed into the GUID hash, so GUIDs chosen by a reporting server cannot be
// lined up into one bucket by a known hash.
uint64_t hashKey() {
    static uint64_t key = [] {
        uint64_t k = 0x9E3779B97F4A7C15ull;
        RAND_bytes(reinterpret_cast<unsigned char*>(&k), sizeof k);
        return k | 1;
    }();
    return key;
}

}  // namespace

GuidKey guidKey(const char* guid) {
    GuidKey k;
    for (size_t i = 0; i < kGuidMax && guid[i]; ++i) {
        char c = guid[i];
        k.s[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    }
    return k;
}

size_t GuidKeyHash::operator()(const GuidKey& k) const {
    // FNV-1a over the key with the per-process key as offset, then a final mix.
    uint64_t h = hashKey();
    for (char c : k.s) {
        if (!c) break;
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ull;
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<size_t>(h);
}

FleetServer* FleetState::server(const std::string& id) {
    auto it = servers_.find(id);
    return it == servers_.end() ? nullptr : &it->second;
}

Applied FleetState::apply(const FleetRecord& r, const FleetBan** out) {
    switch (r.kind) {
        case 'S': {
            FleetServer& s = servers_[r.text1];
            s.id = r.text1;
            secretFromHex(r.secret, s.secret);
            s.added = r.time;
            s.cutOff = false;
            return Applied::Server;
        }
        case 'C': {
            noteChange(r, 0);
            FleetServer* s = server(r.text1);
            if (!s || s->cutOff == (r.flag != 0)) return Applied::Nothing;
            s->cutOff = r.flag != 0;
            return Applied::Server;
        }
        case 'B': {
            noteChange(r, r.ban.id);
            auto [it, added] = bans_.try_emplace(r.ban.id);
            if (!added) return Applied::Nothing;
            it->second.rec = r.ban;
            byGuid_[guidKey(r.ban.guid)].push_back(r.ban.id);
            reports_[{r.ban.server, r.ban.reportEpoch, r.ban.reportId}] = r.ban.id;
            ++live_;
            if (out) *out = &it->second;
            return Applied::NewBan;
        }
        case 'L': {
            noteChange(r, r.id);
            auto it = bans_.find(r.id);
            if (it == bans_.end() || it->second.lifted) return Applied::Nothing;
            it->second.lifted = true;
            it->second.liftedAt = r.time;
            it->second.liftedBy = r.text1;
            --live_;
            if (out) *out = &it->second;
            return Applied::Lifted;
        }
        case 'U': {
            UnbanNote& n = unbans_[{r.text1, r.epoch, r.reportId}];
            n.guid = r.text2;
            n.banId = r.id;
            n.scope = r.scope[0] ? r.scope : "fleet";
            n.lifted = r.lifted;
            return Applied::Nothing;
        }
        case 'E':
            if (r.id > highestEpoch_) highestEpoch_ = r.id;
            return Applied::Nothing;
        case 'H': {
            FleetServer* s = server(r.text1);
            if (s && r.counter > s->window.highest) s->window = FleetWindow{r.counter, 0};
            if (s && r.counter > s->storedHigh) s->storedHigh = r.counter;
            if (s && r.counter > s->sharedHigh) s->sharedHigh = r.counter;
            return Applied::Nothing;
        }
        case 'A': {
            FleetServer* s = server(r.text1);
            if (!s) return Applied::Nothing;
            char ip[64] = "";
            unsigned port = 0;
            sockaddr_in a{};
            a.sin_family = AF_INET;
            if (sscanf(r.text2, "%63[0-9.]:%u", ip, &port) != 2 || port == 0 || port > 65535 ||
                inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
                return Applied::Nothing;
            }
            a.sin_port = htons(static_cast<uint16_t>(port));
            s->address = a;
            s->haveAddress = true;
            return Applied::Nothing;
        }
        case 'I': {
            GuidKey k = guidKey(r.text2);
            if (interest_.size() >= kInterestMax && !interest_.count(k)) return Applied::Nothing;
            auto& m = interest_[k];
            int64_t& at = m[r.text1];
            if (r.time > at) at = r.time;
            return Applied::Nothing;
        }
        default: return Applied::Nothing;
    }
}

const FleetBan* FleetState::liveBan(const char* guid, int64_t now) const {
    auto it = byGuid_.find(guidKey(guid));
    if (it == byGuid_.end()) return nullptr;
    for (int64_t id : it->second) {
        auto b = bans_.find(id);
        if (b == bans_.end() || b->second.lifted) continue;
        const BanRecord& r = b->second.rec;
        if (r.lengthMin > 0 && r.banTime + r.lengthMin * 60 <= now) continue;
        return &b->second;
    }
    return nullptr;
}

const FleetBan* FleetState::ban(int64_t id) const {
    auto it = bans_.find(id);
    return it == bans_.end() ? nullptr : &it->second;
}

const std::vector<int64_t>* FleetState::idsOf(const char* guid) const {
    auto it = byGuid_.find(guidKey(guid));
    return it == byGuid_.end() ? nullptr : &it->second;
}

void FleetState::noteChange(const FleetRecord& r, int64_t banId) {
    if (r.change <= 0) return;
    changes_.try_emplace(r.change, FleetChange{r.kind, banId});
    if (r.change > lastChange_) lastChange_ = r.change;
}

int64_t FleetState::reported(const std::string& server, uint64_t epoch, uint64_t reportId) const {
    auto it = reports_.find({server, epoch, reportId});
    return it == reports_.end() ? 0 : it->second;
}

const UnbanNote* FleetState::unbanSeen(const std::string& server, uint64_t epoch,
                                       uint64_t reportId) const {
    auto it = unbans_.find({server, epoch, reportId});
    return it == unbans_.end() ? nullptr : &it->second;
}

bool FleetState::noteInterest(const char* guid, const std::string& server, int64_t now) {
    GuidKey k = guidKey(guid);
    auto it = interest_.find(k);
    if (it == interest_.end()) {
        if (interest_.size() >= kInterestMax) return false;
        it = interest_.emplace(k, std::map<std::string, int64_t>{}).first;
    }
    auto [entry, first] = it->second.try_emplace(server, now);
    int64_t& at = entry->second;
    bool news = first || now - at >= 3600;
    if (now > at) at = now;
    return news;
}

void FleetState::pruneInterest(int64_t before) {
    for (auto it = interest_.begin(); it != interest_.end();) {
        std::erase_if(it->second, [before](const auto& e) { return e.second < before; });
        it = it->second.empty() ? interest_.erase(it) : std::next(it);
    }
}

void FleetState::interested(const char* guid, int64_t since, std::vector<std::string>* out) const {
    out->clear();
    auto it = interest_.find(guidKey(guid));
    if (it == interest_.end()) return;
    for (const auto& [server, at] : it->second) {
        if (at >= since) out->push_back(server);
    }
}

bool secretFromHex(const char* hex, unsigned char out[32]) {
    for (int i = 0; i < 32; ++i) {
        int v = 0;
        for (int j = 0; j < 2; ++j) {
            char c = hex[i * 2 + j];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

std::string secretToHex(const unsigned char secret[32]) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += d[secret[i] >> 4];
        s += d[secret[i] & 15];
    }
    return s;
}

std::string newSecretHex() {
    unsigned char b[32];
    if (RAND_bytes(b, sizeof b) != 1) return "";
    return secretToHex(b);
}

}  // namespace qzm
