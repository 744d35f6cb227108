// qzmaster: the stand-in master server's command line. See docs/qzmaster.md.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "qzmaster/master.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

int usage() {
    fprintf(stderr,
            "usage: qzmaster [--address A] [--port N] [--dir DIR] [--update MODULE --version N]\n"
            "                [--sign-key FILE] [--tamper] [--unthrottled] [--drop-every N]\n"
            "                [--directive LINE]...\n"
            "       qzmaster --make-key PREFIX   (writes PREFIX.key and PREFIX.pub)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    qzm::Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--make-key" && next(&v)) {
            std::string priv, pub;
            if (!qzm::makeKeyPair(&priv, &pub)) {
                fprintf(stderr, "qzmaster: cannot make a key pair\n");
                return 1;
            }
            std::ofstream(v + ".key") << priv << "\n";
            std::ofstream(v + ".pub") << pub << "\n";
            printf("[qzmaster] wrote %s.key and %s.pub\n", v.c_str(), v.c_str());
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
        } else if (a == "--tamper") {
            o.tamper = true;
        } else if (a == "--unthrottled") {
            o.unthrottled = true;
        } else if (a == "--drop-every" && next(&v)) {
            o.dropEvery = atoi(v.c_str());
        } else if (a == "--directive" && next(&v)) {
            o.directives.push_back(v);
        } else {
            return usage();
        }
    }
    if (!o.updateModule.empty() && o.updateNumber <= 0) return usage();
    qzm::MasterServer server;
    std::string error;
    if (!server.start(o, &error)) {
        fprintf(stderr, "qzmaster: %s\n", error.c_str());
        return 1;
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    size_t shown = 0;
    while (!g_stop) {
        server.poll();
        for (; shown < server.log().size(); ++shown) {
            printf("[qzmaster] %s\n", server.log()[shown].c_str());
            fflush(stdout);
        }
        usleep(1000);
    }
    return 0;
}
