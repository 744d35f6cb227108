// The administration commands of the fleet service: `qzmaster servers ...` and
// `qzmaster bans ...`, one record a line (fields separated by tabs), for people and scripts.
// Exit status: 0 done, 1 nothing found or nothing to do, 2 bad usage, 3 the store failed.
#include "qzmaster/fleet_cli.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"

namespace qzm {

namespace {

const char* kUsage =
    "usage: qzmaster servers STORE add ID | list | cut ID | restore ID\n"
    "       qzmaster bans STORE list [--all]\n"
    "       qzmaster bans STORE search (--guid GUID | --name TEXT) [--all]\n"
    "       qzmaster bans STORE show ID\n"
    "       qzmaster bans STORE unban (--guid GUID | --id ID) [--by WHO]\n"
    "       qzmaster (--db CONNINFO | --fleet-dir DIR | --dir DIR) --migrate\n"
    "STORE is --db CONNINFO (PostgreSQL), --fleet-dir DIR (the file store's own folder) or\n"
    "--dir DIR (the master's served folder: its store is DIR/fleet); options go anywhere after\n"
    "the first word. Exit status: 0 done, 1 nothing found or nothing to do, 2 bad usage,\n"
    "3 the store failed.\n";

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

// One line saying what is wrong with the command line, then the bad-usage status.
int wrong(const std::string& what) {
    fprintf(stderr, "qzmaster: %s (qzmaster servers --help)\n", what.c_str());
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
        *error = "say where the fleet's data is: --db CONNINFO or --fleet-dir DIR (or --dir DIR)";
        return nullptr;
    }
    return makeFileStore(dir);
}

std::string fleetFolder(const std::string& servedDir, const std::string& fleetDir) {
    if (!fleetDir.empty()) return fleetDir;
    return servedDir.empty() ? "" : servedDir + "/fleet";
}

namespace {

// The options of the commands: which verbs take each (a table, so one rule decides).
struct CliOption {
    const char* name;
    bool value;
    const char* verbs;  // "servers:*" every servers verb, "bans:list,search" ...
};
const CliOption kCliOptions[] = {
    {"--db", true, "servers:* bans:*"},
    {"--dir", true, "servers:* bans:*"},
    {"--fleet-dir", true, "servers:* bans:*"},
    {"--guid", true, "bans:search,unban"},
    {"--name", true, "bans:search"},
    {"--id", true, "bans:unban"},
    {"--by", true, "bans:unban"},
    {"--all", false, "bans:list,search"},
};

bool optionFits(const CliOption& o, const std::string& what, const std::string& verb) {
    std::string verbs = o.verbs;
    size_t at = verbs.find(what + ":");
    if (at == std::string::npos) return false;
    std::string list = verbs.substr(at + what.size() + 1);
    list = list.substr(0, list.find(' '));
    if (list == "*") return true;
    list = "," + list + ",";
    return list.find("," + verb + ",") != std::string::npos;
}

}  // namespace

int fleetCommand(int argc, char** argv) {
    // argv[0] is "servers" or "bans"; options may come anywhere after it.
    if (argc < 1) return usage();
    std::string what = argv[0];
    std::map<std::string, std::string> given;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a.size() > 1 && a[0] == '-') {
            const CliOption* o = nullptr;
            for (const CliOption& c : kCliOptions)
                if (a == c.name) o = &c;
            if (!o) return wrong("unknown option " + a);
            if (given.count(a)) return wrong(a + " is given twice");
            if (o->value) {
                if (i + 1 >= argc) return wrong(a + " needs a value");
                given[a] = argv[++i];
            } else {
                given[a] = "1";
            }
            continue;
        }
        words.push_back(a);
    }
    if (words.empty()) return wrong("say what to do: " + what + " list, ...");
    const std::string& verb = words[0];
    for (const auto& [name, value] : given) {
        for (const CliOption& c : kCliOptions)
            if (name == c.name && !optionFits(c, what, verb))
                return wrong(name + " does not apply to " + what + " " + verb);
    }
    int stores =
        static_cast<int>(given.count("--db") + given.count("--dir") + given.count("--fleet-dir"));
    if (stores > 1) return wrong("give one store: --db, --fleet-dir or --dir");
    std::string db = given.count("--db") ? given["--db"] : "";
    std::string folder = fleetFolder(given["--dir"], given["--fleet-dir"]);
    std::string guid = given["--guid"], name = given["--name"], idText = given["--id"];
    std::string by = given.count("--by") ? given["--by"] : "cli";
    bool all = given.count("--all") != 0;
    std::string error;
    std::unique_ptr<FleetStore> store = openFleetStore(db, folder, &error);
    if (!store) return failed(error);

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
        if (verb != "add" && verb != "cut" && verb != "restore")
            return wrong("unknown command servers " + verb);
        if (words.size() != 2) return wrong("servers " + verb + " takes one server id");
        const std::string& id = words[1];
        if (!validServerId(id)) return wrong("a server id is 1 to 32 of A-Z a-z 0-9 _ . -");
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
        if (!store->setCutOff(id, verb == "cut", &error)) {
            fprintf(stderr, "qzmaster: %s\n", error.c_str());
            return error.rfind("no server", 0) == 0 ? 1 : 3;
        }
        printf("%s\t%s\n", id.c_str(), verb == "cut" ? "cut-off" : "active");
        return 0;
    }

    if (what != "bans") return usage();
    BanQuery q;
    q.all = all;
    if (!guid.empty() && !validGuid(guid)) return wrong("a GUID is 1 to 32 letters and digits");
    q.guid = guid;
    q.name = name;
    if (!idText.empty() && !positiveId(idText, &q.id)) return wrong("--id takes a fleet ban id");
    std::vector<BanListing> list;
    if (verb == "list") {
        if (words.size() != 1) return wrong("bans list takes no more words");
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return 0;
    }
    if (verb == "search") {
        if (words.size() != 1) return wrong("bans search takes no more words");
        if (guid.empty() && name.empty()) return wrong("bans search needs --guid or --name");
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return list.empty() ? 1 : 0;
    }
    if (verb == "show") {
        if (words.size() != 2 || !positiveId(words[1], &q.id))
            return wrong("bans show takes one fleet ban id");
        q.all = true;
        if (!store->listBans(q, &list, &error)) return failed(error);
        for (const BanListing& b : list) printBan(b);
        return list.empty() ? 1 : 0;
    }
    if (verb == "unban") {
        if (words.size() != 1) return wrong("bans unban takes no more words");
        if (guid.empty() == (q.id == 0)) return wrong("bans unban needs --guid or --id (one)");
        std::string who = "cli:" + by;
        if (who.size() > kTextMax) who.resize(kTextMax);
        for (char& c : who) {
            if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '"') c = '_';
        }
        if (!store->unban(q, who, &list, &error)) return failed(error);
        std::string ids;
        for (BanListing& b : list) {
            b.lifted = true;
            b.liftedAt = time(nullptr);
            b.liftedBy = who;
            printBan(b);
            ids += (ids.empty() ? "#" : ", #") + std::to_string(b.rec.id);
        }
        // The lines above are for scripts; this one says plainly what happened.
        if (list.empty())
            fprintf(stderr, "qzmaster: no live fleet ban matched: nothing lifted\n");
        else
            fprintf(stderr, "qzmaster: lifted fleet ban%s %s\n", list.size() > 1 ? "s" : "",
                    ids.c_str());
        return list.empty() ? 1 : 0;
    }
    return wrong("unknown command bans " + verb);
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
