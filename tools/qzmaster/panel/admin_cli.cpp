// `qzmaster panel-admin (--db CONNINFO | --fleet-dir DIR | --dir DIR) set NAME LEVEL`: adds an
// administrator of the panel or changes one, the password read from the first line of standard
// input (never from the command line, where other users could read it). Exit status as the other
// commands: 0 done, 2 bad usage, 3 the store failed.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "qzmaster/fleet_cli.h"
#include "qzmaster/panel/panel.h"

namespace qzpanel {

namespace {

const char* kUsage =
    "usage: qzmaster panel-admin (--db CONNINFO | --fleet-dir DIR | --dir DIR) set NAME "
    "view|ban|all\n"
    "The password is read from the first line of standard input. --dir DIR means the fleet's\n"
    "folder DIR/fleet, as for the service. Exit status: 0 done, 2 bad usage, 3 the store "
    "failed.\n";

// One line saying what is wrong, then the bad-usage status (as qzmaster's other commands).
int wrong(const std::string& what) {
    fprintf(stderr, "qzmaster: %s (qzmaster panel-admin --help)\n", what.c_str());
    return 2;
}

bool validName(const std::string& n) {
    if (n.empty() || n.size() > 32) return false;
    for (char c : n) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

}  // namespace

int panelAdminCommand(int argc, char** argv) {
    std::string db, dir, fleetDir;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if ((a == "--db" || a == "--dir" || a == "--fleet-dir") && i + 1 >= argc)
            return wrong(a + " needs a value");
        if (a == "--db" && i + 1 < argc) {
            db = argv[++i];
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--fleet-dir" && i + 1 < argc) {
            fleetDir = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return wrong("unknown option " + a);
        } else {
            words.push_back(a);
        }
    }
    if (words.size() != 3 || words[0] != "set" || !validName(words[1]) ||
        levelFromName(words[2]) == Level::None) {
        return wrong("give: set NAME (1 to 32 of A-Z a-z 0-9 _ . -) view|ban|all");
    }
    // One store only, named the way the service names it.
    if (int(!db.empty()) + int(!dir.empty()) + int(!fleetDir.empty()) != 1)
        return wrong("give one store: --db CONNINFO, --fleet-dir DIR or --dir DIR");
    if (db.empty()) dir = qzm::fleetFolder(dir, fleetDir);
    std::string password;
    if (!std::getline(std::cin, password) || password.size() < 8 || password.size() > 200) {
        fputs("qzmaster: the password (8 to 200 characters) comes on standard input\n", stderr);
        return 2;
    }
    if (!authInit()) {
        fputs("qzmaster: libsodium could not start\n", stderr);
        return 3;
    }
    std::unique_ptr<PanelData> data =
        db.empty() ? makePanelDataFile(dir, false) : makePanelDataPg(db);
    std::string error;
    AdminRow row;
    row.name = words[1];
    row.level = levelFromName(words[2]);
    row.hash = hashPassword(password);
    if (row.hash.empty()) error = "out of memory for the password hash";
    if (!error.empty() || !data->open(&error) || !data->putAdmin(row, &error)) {
        fprintf(stderr, "qzmaster: %s\n", error.c_str());
        return 3;
    }
    printf("%s\t%s\n", row.name.c_str(), levelName(row.level));
    return 0;
}

}  // namespace qzpanel
