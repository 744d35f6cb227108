// qzmaster: the stand-in master server's command line. See docs/qzmaster.md.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "qzmaster/fleet_cli.h"
#include "qzmaster/fleet_service.h"
#include "qzmaster/master.h"
#ifdef QZ_HAVE_PANEL
#include "qzmaster/panel/panel.h"
#endif

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

const char* kUsage =
    "usage: qzmaster [--address A] [--port N] [--dir DIR] [--update MODULE --version N]\n"
    "                [--sign-key FILE] [--unsigned-update] [--tamper] [--unthrottled]\n"
    "                [--drop-every N] [--directive LINE]... [--guid-age GUID=DAYS]...\n"
    "                [--auth-silent] [--fleet-port N] [--db CONNINFO | --fleet-dir DIR]\n"
    "                [--panel ADDRESS:PORT [--panel-private] [--panel-trust-proxy]]\n"
    "       qzmaster --make-key PREFIX   (writes PREFIX.key and PREFIX.pub)\n"
    "       qzmaster (--db CONNINFO | --fleet-dir DIR | --dir DIR) --migrate\n"
    "       qzmaster servers ... | bans ...   (qzmaster servers --help)\n"
    "       qzmaster panel-admin (--db CONNINFO | --fleet-dir DIR | --dir DIR) set NAME "
    "view|ban|all\n"
    "The fleet ban service's file store lives in --fleet-dir DIR, by default in the folder\n"
    "fleet inside --dir (never served). Exit status: 0 done, 1 failed, 2 bad usage.\n";

// One line saying what is wrong with the command line, then the bad-usage status.
int wrong(const std::string& what) {
    fprintf(stderr, "qzmaster: %s (qzmaster --help)\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "servers" || std::string(argv[1]) == "bans")) {
        return qzm::fleetCommand(argc - 1, argv + 1);
    }
#ifdef QZ_HAVE_PANEL
    if (argc >= 2 && std::string(argv[1]) == "panel-admin") {
        return qzpanel::panelAdminCommand(argc - 1, argv + 1);
    }
#endif
    std::string panelAt;
    bool panelPrivate = false, panelTrustProxy = false;
    qzm::Options o;
    qzm::FleetOptions fleet;
    bool fleetWanted = false, migrate = false;
    std::string fleetDir;
    const char* valued[] = {"--make-key",  "--address",  "--port",       "--dir",
                            "--update",    "--version",  "--sign-key",   "--drop-every",
                            "--directive", "--guid-age", "--fleet-port", "--db",
                            "--fleet-dir", "--panel"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        bool needsValue = false;
        for (const char* name : valued) needsValue |= a == name;
        if (needsValue && i + 1 >= argc) return wrong(a + " needs a value");
        auto next = [&](std::string* out) {
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--make-key" && next(&v)) {
            std::string error;
            if (!qzm::writeKeyPair(v, &error)) {
                fprintf(stderr, "qzmaster: %s\n", error.c_str());
                return 1;
            }
            printf("[qzmaster] wrote %s.key (private, mode 0600) and %s.pub\n", v.c_str(),
                   v.c_str());
            return 0;
        } else if (a == "--address" && next(&v)) {
            o.address = v;
        } else if (a == "--port" && next(&v)) {
            o.port = static_cast<unsigned>(strtoul(v.c_str(), nullptr, 10));
        } else if (a == "--dir" && next(&v)) {
            o.dir = v;
        } else if (a == "--update" && next(&v)) {
            o.updateModule = v;
        } else if (a == "--version" && next(&v)) {
            o.updateNumber = atoi(v.c_str());
        } else if (a == "--sign-key" && next(&v)) {
            o.signKey = v;
        } else if (a == "--unsigned-update") {
            o.unsignedUpdate = true;
        } else if (a == "--tamper") {
            o.tamper = true;
        } else if (a == "--unthrottled") {
            o.unthrottled = true;
        } else if (a == "--drop-every" && next(&v)) {
            o.dropEvery = atoi(v.c_str());
        } else if (a == "--directive" && next(&v)) {
            o.directives.push_back(v);
        } else if (a == "--guid-age" && next(&v)) {
            if (v.find('=') == std::string::npos) return wrong("--guid-age takes GUID=DAYS");
            o.guidAges.emplace_back(v.substr(0, v.find('=')), atoi(v.c_str() + v.find('=') + 1));
        } else if (a == "--auth-silent") {
            o.authSilent = true;
        } else if (a == "--fleet-port" && next(&v)) {
            fleet.port = static_cast<unsigned>(strtoul(v.c_str(), nullptr, 10));
            fleetWanted = true;
        } else if (a == "--db" && next(&v)) {
            fleet.db = v;
            fleetWanted = true;
        } else if (a == "--fleet-dir" && next(&v)) {
            fleetDir = v;
        } else if (a == "--panel" && next(&v)) {
            panelAt = v;
            fleetWanted = true;
        } else if (a == "--panel-private") {
            panelPrivate = true;
        } else if (a == "--panel-trust-proxy") {
            panelTrustProxy = true;
        } else if (a == "--migrate") {
            migrate = true;
        } else {
            return wrong("unknown option " + a);
        }
    }
    if (!o.updateModule.empty() && o.updateNumber <= 0)
        return wrong("--update needs --version N (N > 0)");
    if (panelAt.empty() && (panelPrivate || panelTrustProxy))
        return wrong("--panel-private and --panel-trust-proxy go with --panel ADDRESS:PORT");
    std::string panelAddress;
    unsigned panelPort = 0;
    if (!panelAt.empty()) {
        // ADDRESS:PORT or :PORT (loopback); the port a number up to 65535, 0 for any free one.
        size_t colon = panelAt.rfind(':');
        const char* digits = colon == std::string::npos ? "" : panelAt.c_str() + colon + 1;
        char* end = nullptr;
        unsigned long port = strtoul(digits, &end, 10);
        if (colon == std::string::npos || !*digits || *end || port > 65535 ||
            strspn(digits, "0123456789") != strlen(digits))
            return wrong("--panel takes ADDRESS:PORT, as 127.0.0.1:8080");
        panelAddress = colon ? panelAt.substr(0, colon) : "127.0.0.1";
        panelPort = static_cast<unsigned>(port);
    }
    if (!fleet.db.empty() && !fleetDir.empty())
        return wrong("--db and --fleet-dir both name the fleet's store: give one");
    std::string folder = qzm::fleetFolder(o.dir, fleetDir);
    if (migrate) {
        if (!fleet.db.empty() && !o.dir.empty())
            return wrong("--migrate takes one store: --db or --fleet-dir (or --dir)");
        return qzm::fleetMigrate(fleet.db, fleet.db.empty() ? folder : "");
    }
    if (!fleetDir.empty()) fleetWanted = true;
    qzm::MasterServer server;
    std::string error;
    if (!server.start(o, &error)) {
        fprintf(stderr, "qzmaster: %s\n", error.c_str());
        return 1;
    }
    // The fleet ban service runs beside the master when asked for (--fleet-port, --db or
    // --fleet-dir); its file store lives in a folder of its own, never served.
    qzm::FleetService fleetService;
    fleet.address = o.address;
    fleet.dir = folder;
    if (fleetWanted && fleet.db.empty() && fleetDir.empty() && !o.dir.empty()) {
        // The logs once lay in the served folder itself: they move into the fleet's folder
        // (the panel's beside the service's).
        for (const char* file : {"/fleet.log", "/panel.log"}) {
            std::string old = o.dir + file, now = folder + file;
            if (access(old.c_str(), F_OK) == 0 && access(now.c_str(), F_OK) != 0) {
                mkdir(folder.c_str(), 0700);
                if (rename(old.c_str(), now.c_str()) == 0)
                    printf("[qzmaster] moved %s to %s (the fleet's own folder)\n", old.c_str(),
                           now.c_str());
            }
        }
    }
    if (fleetWanted && !fleetService.start(fleet, &error)) {
        fprintf(stderr, "qzmaster: %s\n", error.c_str());
        return 1;
    }
#ifdef QZ_HAVE_PANEL
    // The panel serves from a thread of its own; the service's loop below runs the actions it
    // hands over and leaves it a copy of the service's figures (panel/bridge.h).
    qzpanel::ServiceBridge bridge;
    std::unique_ptr<qzpanel::Panel> panel;
    if (!panelAt.empty()) {
        qzpanel::PanelOptions po;
        po.address = panelAddress;
        po.port = panelPort;
        po.db = fleet.db;
        po.dir = fleet.dir;
        po.publicList = !panelPrivate;
        po.trustProxy = panelTrustProxy;
        panel = std::make_unique<qzpanel::Panel>(po, bridge);
        if (!panel->start(&error)) {
            fprintf(stderr, "qzmaster: %s\n", error.c_str());
            return 1;
        }
        printf("[qzmaster] fleet panel on http://%s:%u/\n", po.address.c_str(), panel->port());
        fflush(stdout);
    }
#else
    (void)panelAddress;
    (void)panelPort;
    if (!panelAt.empty()) {
        fprintf(stderr, "qzmaster: the fleet panel (--panel) is not built into this qzmaster\n");
        return 1;
    }
#endif
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    size_t shown = 0;
    while (!g_stop) {
        server.poll();
        for (; shown < server.log().size(); ++shown) {
            printf("[qzmaster] %s\n", server.log()[shown].c_str());
            fflush(stdout);
        }
        if (fleetWanted) {
            fleetService.poll();
#ifdef QZ_HAVE_PANEL
            if (panel) bridge.serviceTick(fleetService);
#endif
            for (const std::string& line : fleetService.log()) {
                printf("[qzmaster] %s\n", line.c_str());
            }
            if (!fleetService.log().empty()) fflush(stdout);
            fleetService.log().clear();
        }
        usleep(1000);
    }
    return 0;
}
