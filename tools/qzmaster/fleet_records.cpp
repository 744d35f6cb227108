// The record lines of the fleet service: validation of the fields, the parser and the writer.
#include "qzmaster/fleet_records.h"

#include <cstdio>
#include <cstring>

namespace qzm {

namespace {

constexpr int kMaxFields = 12;

struct Field {
    const char* p;
    size_t n;
};

bool idChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

// A token: printable, no blank, no '"'.
bool validToken(const Field& f) {
    if (f.n == 0 || f.n > kTextMax) return false;
    for (size_t i = 0; i < f.n; ++i) {
        unsigned char c = static_cast<unsigned char>(f.p[i]);
        if (c <= ' ' || c >= 127 || c == '"') return false;
    }
    return true;
}

bool validNameField(const Field& f) {
    if (f.n > kNameMax) return false;
    for (size_t i = 0; i < f.n; ++i) {
        unsigned char c = static_cast<unsigned char>(f.p[i]);
        if (c < ' ' || c == 127 || c == '"') return false;
    }
    return true;
}

bool decimal(const Field& f, int64_t* out) {
    if (f.n == 0 || f.n > 18) return false;
    size_t i = 0;
    bool negative = f.p[0] == '-';
    if (negative) i = 1;
    if (i == f.n) return false;
    int64_t v = 0;
    for (; i < f.n; ++i) {
        if (f.p[i] < '0' || f.p[i] > '9') return false;
        v = v * 10 + (f.p[i] - '0');
    }
    *out = negative ? -v : v;
    return true;
}

bool unsignedDecimal(const Field& f, uint64_t* out) {
    if (f.n == 0 || f.n > 19) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < f.n; ++i) {
        if (f.p[i] < '0' || f.p[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(f.p[i] - '0');
    }
    *out = v;
    return true;
}

bool hex64(const Field& f, uint64_t* out) {
    if (f.n == 0 || f.n > 16) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < f.n; ++i) {
        char c = f.p[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return false;
        v = v << 4 | static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

bool reportIdField(const Field& f, uint64_t* epoch, uint64_t* id) {
    return parseReportId(f.p, f.n, epoch, id);
}

// "1,5,9": ids of lifted bans, or "-".
bool validIdList(const Field& f) {
    if (f.n == 0 || f.n > kTextMax) return false;
    if (f.n == 1 && f.p[0] == '-') return true;
    for (size_t i = 0; i < f.n; ++i)
        if (!((f.p[i] >= '0' && f.p[i] <= '9') || f.p[i] == ',')) return false;
    return true;
}

template <size_t N>
void copy(char (&dst)[N], const Field& f) {
    size_t n = f.n < N - 1 ? f.n : N - 1;
    memcpy(dst, f.p, n);
    dst[n] = '\0';
}

bool serverField(const Field& f, char (&dst)[kTextMax + 1]) {
    if (!validServerId(f.p, f.n)) return false;
    copy(dst, f);
    return true;
}

}  // namespace

bool validServerId(const char* text, size_t length) {
    if (length == 0 || length > kServerIdMax) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!idChar(text[i])) return false;
    }
    return true;
}

bool validGuid(const char* text, size_t length) {
    if (length == 0 || length > kGuidMax) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

void cleanName(const std::string& src, std::string* dst) {
    dst->clear();
    for (char c : src) {
        if (dst->size() >= kNameMax) break;
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"')
            dst->push_back('\'');
        else if (u < ' ' || u == 127)
            dst->push_back('?');
        else
            dst->push_back(c);
    }
}

std::string reportIdText(uint64_t epoch, uint64_t id) {
    char b[48];
    if (epoch)
        snprintf(b, sizeof b, "%llx:%llx", static_cast<unsigned long long>(epoch),
                 static_cast<unsigned long long>(id));
    else
        snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(id));
    return b;
}

bool parseReportId(const char* text, size_t length, uint64_t* epoch, uint64_t* id) {
    const char* colon = static_cast<const char*>(memchr(text, ':', length));
    if (!colon) {
        *epoch = 0;
        return hex64(Field{text, length}, id);
    }
    size_t head = static_cast<size_t>(colon - text);
    return hex64(Field{text, head}, epoch) && hex64(Field{colon + 1, length - head - 1}, id);
}

bool parseRecord(const char* line, size_t length, FleetRecord* out) {
    if (length < 1 || length > kRecordMax) return false;
    Field f[kMaxFields];
    int count = 0;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || line[i] == '\t') {
            if (count == kMaxFields) return false;
            f[count++] = Field{line + start, i - start};
            start = i + 1;
        } else if (line[i] == '\n' || line[i] == '\r' || line[i] == '\0') {
            return false;
        }
    }
    if (f[0].n != 1) return false;
    *out = FleetRecord{};
    FleetRecord& r = *out;
    r.kind = f[0].p[0];
    switch (r.kind) {
        case 'S': {
            if (count != 4 || !serverField(f[1], r.text1) || f[2].n != 64) return false;
            for (size_t i = 0; i < 64; ++i) {
                char c = f[2].p[i];
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
            }
            copy(r.secret, f[2]);
            return decimal(f[3], &r.time);
        }
        case 'C': {
            if (count != 4 || !serverField(f[1], r.text1) || f[2].n != 1) return false;
            if (f[2].p[0] != '0' && f[2].p[0] != '1') return false;
            r.flag = f[2].p[0] - '0';
            return decimal(f[3], &r.time);
        }
        case 'B': {
            if (count != 11) return false;
            BanRecord& b = r.ban;
            if (!decimal(f[1], &b.id) || b.id <= 0) return false;
            if (!(f[2].n == 1 && f[2].p[0] == '-') && !validServerId(f[2].p, f[2].n)) return false;
            copy(b.server, f[2]);
            if (!reportIdField(f[3], &b.reportEpoch, &b.reportId)) return false;
            if (!validGuid(f[4].p, f[4].n)) return false;
            copy(b.guid, f[4]);
            if (!decimal(f[5], &b.banTime) || !decimal(f[6], &b.lengthMin) || b.lengthMin < 0)
                return false;
            if (!validToken(f[7]) || !validToken(f[8])) return false;
            copy(b.address, f[7]);
            copy(b.origin, f[8]);
            if (!decimal(f[9], &b.received) || !validNameField(f[10])) return false;
            copy(b.name, f[10]);
            r.id = b.id;
            return true;
        }
        case 'L': {
            if (count != 4 || !decimal(f[1], &r.id) || r.id <= 0 || !validToken(f[2])) return false;
            copy(r.text1, f[2]);
            return decimal(f[3], &r.time);
        }
        case 'U': {
            if ((count != 6 && count != 8) || !serverField(f[1], r.text1) ||
                !reportIdField(f[2], &r.epoch, &r.reportId))
                return false;
            if (!validGuid(f[3].p, f[3].n)) return false;
            copy(r.text2, f[3]);
            if (!decimal(f[4], &r.id) || r.id < 0 || !decimal(f[5], &r.time)) return false;
            if (count == 6) {
                // Written before unbans had a scope: they lifted every live ban of the GUID.
                copy(r.scope, Field{"fleet", 5});
                return true;
            }
            bool own = f[6].n == 3 && !memcmp(f[6].p, "own", 3);
            bool fleet = f[6].n == 5 && !memcmp(f[6].p, "fleet", 5);
            if ((!own && !fleet) || !validIdList(f[7])) return false;
            copy(r.scope, f[6]);
            copy(r.lifted, f[7]);
            return true;
        }
        case 'E': return count == 2 && decimal(f[1], &r.id) && r.id > 0;
        case 'N': return count == 2 && decimal(f[1], &r.id) && r.id > 0;
        case 'H':
            return count == 3 && serverField(f[1], r.text1) && unsignedDecimal(f[2], &r.counter);
        case 'I': {
            if (count != 4 || !validGuid(f[1].p, f[1].n)) return false;
            copy(r.text2, f[1]);
            return serverField(f[2], r.text1) && decimal(f[3], &r.time);
        }
        case 'V': return count == 2 && serverField(f[1], r.text1);
        case 'A':
            if (count != 3 || !serverField(f[1], r.text1) || !validToken(f[2])) return false;
            copy(r.text2, f[2]);
            return true;
        default: return false;
    }
}

std::string formatRecord(const FleetRecord& r) {
    char buf[kRecordMax + 2];
    int n = 0;
    switch (r.kind) {
        case 'S':
            n = snprintf(buf, sizeof buf, "S\t%s\t%s\t%lld\n", r.text1, r.secret,
                         static_cast<long long>(r.time));
            break;
        case 'C':
            n = snprintf(buf, sizeof buf, "C\t%s\t%d\t%lld\n", r.text1, r.flag ? 1 : 0,
                         static_cast<long long>(r.time));
            break;
        case 'B': {
            const BanRecord& b = r.ban;
            n = snprintf(buf, sizeof buf, "B\t%lld\t%s\t%s\t%s\t%lld\t%lld\t%s\t%s\t%lld\t%s\n",
                         static_cast<long long>(b.id), b.server,
                         reportIdText(b.reportEpoch, b.reportId).c_str(), b.guid,
                         static_cast<long long>(b.banTime), static_cast<long long>(b.lengthMin),
                         b.address, b.origin, static_cast<long long>(b.received), b.name);
            break;
        }
        case 'L':
            n = snprintf(buf, sizeof buf, "L\t%lld\t%s\t%lld\n", static_cast<long long>(r.id),
                         r.text1, static_cast<long long>(r.time));
            break;
        case 'U':
            n = snprintf(buf, sizeof buf, "U\t%s\t%s\t%s\t%lld\t%lld\t%s\t%s\n", r.text1,
                         reportIdText(r.epoch, r.reportId).c_str(), r.text2,
                         static_cast<long long>(r.id), static_cast<long long>(r.time),
                         r.scope[0] ? r.scope : "own", r.lifted[0] ? r.lifted : "-");
            break;
        case 'H':
            n = snprintf(buf, sizeof buf, "H\t%s\t%llu\n", r.text1,
                         static_cast<unsigned long long>(r.counter));
            break;
        case 'I':
            n = snprintf(buf, sizeof buf, "I\t%s\t%s\t%lld\n", r.text2, r.text1,
                         static_cast<long long>(r.time));
            break;
        case 'V': n = snprintf(buf, sizeof buf, "V\t%s\n", r.text1); break;
        case 'E': n = snprintf(buf, sizeof buf, "E\t%lld\n", static_cast<long long>(r.id)); break;
        case 'N': n = snprintf(buf, sizeof buf, "N\t%lld\n", static_cast<long long>(r.id)); break;
        case 'A': n = snprintf(buf, sizeof buf, "A\t%s\t%s\n", r.text1, r.text2); break;
        default: return "";
    }
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "";
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace qzm
