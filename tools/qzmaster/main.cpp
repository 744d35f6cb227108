// qzmaster: the stand-in master server's command line. See docs/qzmaster.md.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

int usage() {
    fprintf(stderr,
            "usage: qzmaster [--address A] [--port N] [--dir DIR] [--update MODULE --version N]\n"
            "                [--sign-key FILE] [--unsigned-update] [--tamper] [--unthrottled]\n"
            "                [--drop-every N] [--directive LINE]... [--guid-age GUID=DAYS]...\n"
            "                [--auth-silent] [--fleet-port N] [--db CONNINFO]\n"
            "                [--panel ADDRESS:PORT [--panel-private] [--panel-trust-proxy]]\n"
            "       qzmaster --make-key PREFIX   (writes PREFIX.key and PREFIX.pub)\n"
            "       qzmaster (--db CONNINFO | --dir DIR) --migrate\n"
            "       qzmaster servers ... | bans ...   (qzmaster servers --help)\n"
            "       qzmaster panel-admin (--db CONNINFO | --dir DIR) set NAME view|ban|all\n");
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
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string* out) {
            if (i + 1 >= argc) return false;
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
        } else if (a == "--guid-age" && next(&v) && v.find('=') != std::string::npos) {
            o.guidAges.emplace_back(v.substr(0, v.find('=')), atoi(v.c_str() + v.find('=') + 1));
        } else if (a == "--auth-silent") {
            o.authSilent = true;
        } else if (a == "--fleet-port" && next(&v)) {
            fleet.port = static_cast<unsigned>(strtoul(v.c_str(), nullptr, 10));
            fleetWanted = true;
        } else if (a == "--db" && next(&v)) {
            fleet.db = v;
            fleetWanted = true;
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
            return usage();
        }
    }
    if (!o.updateModule.empty() && o.updateNumber <= 0) return usage();
    if (migrate) return qzm::fleetMigrate(fleet.db, o.dir);
    qzm::MasterServer server;
    std::string error;
    if (!server.start(o, &error)) {
        fprintf(stderr, "qzmaster: %s\n", error.c_str());
        return 1;
    }
    // The fleet ban service runs beside the master when asked for (--fleet-port or --db); its
    // file store lives in --dir.
    qzm::FleetService fleetService;
    fleet.address = o.address;
    fleet.dir = o.dir;
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
        size_t colon = panelAt.rfind(':');
        if (colon == std::string::npos) return usage();
        po.address = colon ? panelAt.substr(0, colon) : "127.0.0.1";
        po.port = static_cast<unsigned>(strtoul(panelAt.c_str() + colon + 1, nullptr, 10));
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
