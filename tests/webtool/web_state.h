// A bare central state for the WebTool's unit tests: settings at their defaults, a host that
// answers a few game variables and records every printed line, and a manual clock.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "host/state.h"
#include "util/clock.h"
#include "webtool/screens.h"

namespace webtest {

// A port that was free a moment ago on 127.0.0.1.
inline int freePortHere() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

struct BareHost {
    static BareHost*& current() {
        static BareHost* h = nullptr;
        return h;
    }
    std::map<std::string, std::string> cvars{{"version", "ET 2.60b linux-i386"},
                                             {"sv_hostname", "Test Server"},
                                             {"net_ip", "127.0.0.1"},
                                             {"net_port", "27960"},
                                             {"mapname", "oasis"}};
    std::vector<std::string> printed;
    long long seconds = 1767225600;  // 2026-01-01 00:00:00 UTC
    int micros = 0;

    static int cvarGet(const char* name, char* out, int size) {
        auto it = current()->cvars.find(name);
        if (it == current()->cvars.end()) {
            out[0] = 0;
            return 0;
        }
        snprintf(out, static_cast<size_t>(size), "%s", it->second.c_str());
        return 1;
    }
    static void print(const char* text) { current()->printed.push_back(text); }
    static int hostCall(const char*, const char*) { return 0; }
    static void clock(long long* s, int* us) {
        *s = current()->seconds;
        *us = current()->micros;
    }
    void advance(long long ms) {
        long long total = seconds * 1000000LL + micros + ms * 1000LL;
        seconds = total / 1000000LL;
        micros = static_cast<int>(total % 1000000LL);
    }
    bool printedContains(const std::string& text) const {
        for (const auto& line : printed)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

// Owns a zeroed state wired to a BareHost; the clock source is restored on destruction.
struct BareState {
    BareHost host;
    std::unique_ptr<stQzSv> sv = std::make_unique<stQzSv>();
    BareState() {
        BareHost::current() = &host;
        sv->host.cvarGet = &BareHost::cvarGet;
        sv->host.print = &BareHost::print;
        sv->host.hostCall = &BareHost::hostCall;
        clockSetSource(&BareHost::clock);
        settingsDefaults(sv.get());
        sv->enabled = 1;
        webStart(sv.get());
    }
    ~BareState() {
        webShutdown(sv.get());  // a test that moved the listener leaves no socket behind
        clockSetSource(nullptr);
        BareHost::current() = nullptr;
    }
    stQzSv* get() { return sv.get(); }
    std::string page() const { return sv->web.page.text; }
};

}  // namespace webtest
