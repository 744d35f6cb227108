// The administration commands of the fleet service: `qzmaster servers ...` and
// `qzmaster bans ...`, one record a line (fields separated by tabs), for people and scripts.
// Exit status: 0 done, 1 nothing found or nothing to do, 2 bad usage, 3 the store failed.
#include "qzmaster/fleet_cli.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"

namespace qzm {

namespace {

const char* kUsage =
    "usage: qzmaster servers (--db CONNINFO | --dir DIR) add ID | list | cut ID | restore ID\n"
    "       qzmaster bans (--db CONNINFO | --dir DIR) list [--all]\n"
    "       qzmaster bans (--db CONNINFO | --dir DIR) search (--guid GUID | --name TEXT) [--all]\n"
    "       qzmaster bans (--db CONNINFO | --dir DIR) show ID\n"
    "       qzmaster bans (--db CONNINFO | --dir DIR) unban (--guid GUID | --id ID) [--by WHO]\n"
    "       qzmaster --db CONNINFO --migrate\n";

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

std::string isoTime(int64_t t) {
    time_t v = static_cast<time_t>(t);
    tm u{};
    gmtime_r(&v, &u);
    char b[32];
    strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &u);
    return b;
}

void printBan(const BanListing& b) {
    const BanRecord& r = b.rec;
    printf("%lld\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", static_cast<long long>(r.id),
           r.guid, b.lifted ? "lifted" : "live", r.server, isoTime(r.banTime).c_str(),
           r.lengthMin ? (std::to_string(r.lengthMin) + "min").c_str() : "permanent", r.origin,
           r.address, isoTime(r.received).c_str(), b.lifted ? isoTime(b.liftedAt).c_str() : "-",
           b.lifted ? b.liftedBy.c_str() : "-", r.name);
}

bool positiveId(const std::string& text, int64_t* out) {
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end || v <= 0) return false;
    *out = v;
    return true;
}

int failed(const std::string& error) {
    fprintf(stderr, "qzmaster: %s\n", error.c_str());
    return 3;
}

}  // namespace

std::unique_ptr<FleetStore> openFleetStore(const std::string& db, const std::string& dir,
                                           std::string* error) {
    if (!db.empty()) {
        if (!pgBuiltIn()) {
            *error = "PostgreSQL support (--db) is not built into this qzmaster";
            return nullptr;
        }
        return makePgStore(db);
    }
    if (dir.empty()) {
        *error = "say where the fleet's data is: --db CONNINFO or --dir DIR";
        return nullptr;
    }
    return makeFileStore(dir);
}

int fleetCommand(int argc, char** argv) {
    // argv[0] is "servers" or "bans"; options may come anywhere after it.
    if (argc < 1) return usage();
    std::string what = argv[0], db, dir, guid, name, by = "cli", idText;
    bool all = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        if (a == "--db") {
            if (!next(&db)) return usage();
        } else if (a == "--dir") {
            if (!next(&dir)) return usage();
        } else if (a == "--guid") {
            if (!next(&guid)) return usage();
        } else if (a == "--name") {
            if (!next(&name)) return usage();
        } else if (a == "--id") {
            if (!next(&idText)) return usage();
        } else if (a == "--by") {
            if (!next(&by)) return usage();
        } else if (a == "--all") {
            all = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) return usage();
    std::string error;
    std::unique_ptr<FleetStore> store = openFleetStore(db, dir, &error);
    if (!store) return failed(error);
    const std::string& verb = words[0];

    if (what == "servers") {
        if (verb == "list" && words.size() == 1) {
            std::vector<ServerListing> list;
            if (!store->listServers(&list, &error)) return failed(error);
            for (const ServerListing& s : list) {
                printf("%s\t%s\t%s\t%lld\n", s.id.c_str(), s.cutOff ? "cut-off" : "active",
                       isoTime(s.added).c_str(), static_cast<long long>(s.bans));
            }
            return 0;
        }
        if (words.size() != 2) return usage();
        const std::string& id = words[1];
        if (!validServerId(id)) {
            fprintf(stderr, "qzmaster: a server id is 1 to 32 of A-Z a-z 0-9 _ . -\n");
            return 2;
        }
        if (verb == "add") {
            std::string secret = newSecretHex();
            if (secret.empty()) return failed("no random numbers for a secret");
            if (!store->addServer(id, secret, &error)) {
                fprintf(stderr, "qzmaster: %s\n", error.c_str());
                return error.find(" exists") != std::string::npos ? 1 : 3;
            }
            // Shown this once: it goes into the server's qzfleet.key.
            printf("%s\t%s\n", id.c_str(), secret.c_str());
            return 0;
        }
        if (verb == "cut" || verb == "restore") {
            if (!store->setCutOff(id, verb == "cut", &error)) {
                fprintf(stderr, "qzmaster: %s\n", error.c_str());
                return error.rfind("no server", 0) == 0 ? 1 : 3;
            }
            printf("%s\t%s\n", id.c_str(), verb == "cut" ? "cut-off" : "active");
            return 0;
        }
        return usage();
    }

    if (what != "bans") return usage();
    BanQuery q;
    q.all = all;
    if (!guid.empty() && !validGuid(guid)) {
        fprintf(stderr, "qzmaster: a GUID is 1 to 32 letters and digits\n");
        return 2;
    }
    q.guid = guid;
    q.name = name;
    if (!idText.empty() && !positiveId(idText, &q.id)) return usage();
    std::vector<BanListing> list;
    if (verb == "list" && words.size() == 1) {
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return 0;
    }
    if (verb == "search" && words.size() == 1) {
        if (guid.empty() && name.empty()) return usage();
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return list.empty() ? 1 : 0;
    }
    if (verb == "show" && words.size() == 2) {
        if (!positiveId(words[1], &q.id)) return usage();
        q.all = true;
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return list.empty() ? 1 : 0;
    }
    if (verb == "unban" && words.size() == 1) {
        if (guid.empty() == (q.id == 0)) return usage();
        std::string who = "cli:" + by;
        if (who.size() > kTextMax) who.resize(kTextMax);
        for (char& c : who) {
            if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '"') c = '_';
        }
        if (!store->unban(q, who, &list, &error)) return failed(error);
        for (BanListing& b : list) {
            b.lifted = true;
            b.liftedAt = time(nullptr);
            b.liftedBy = who;
            printBan(b);
        }
        return list.empty() ? 1 : 0;
    }
    return usage();
}

int fleetMigrate(const std::string& db, const std::string& dir) {
    std::string error;
    std::unique_ptr<FleetStore> store = openFleetStore(db, dir, &error);
    if (!store) return failed(error);
    if (!store->migrate(&error)) return failed(error);
    printf("[qzmaster] the fleet store is up to date\n");
    return 0;
}

}  // namespace qzm
