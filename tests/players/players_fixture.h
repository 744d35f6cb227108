// Shared helpers of the player tests: a module on the simulated server with players connected
// by sim_connect, and a bare central state whose host records what it is asked. Header only:
// the test glob builds *_test.cpp files.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/state.h"
#include "players/bans.h"
#include "support/module_fixture.h"
#include "util/clock.h"

constexpr const char* kGuidA = "0123456789ABCDEF0123456789ABCDEF";
constexpr const char* kGuidB = "FEDCBA9876543210FEDCBA9876543210";
constexpr const char* kGuidC = "AAAABBBBCCCCDDDDEEEEFFFF00001111";

class PlayersTest : public ModuleTest {
  protected:
    // Connects a player through the simulated server; returns the output of the call.
    std::vector<std::string> join(const std::string& name, const std::string& guid,
                                  const std::string& address) {
        return run("sim_connect \"" + name + "\" " + (guid.empty() ? "-" : guid) + " " + address);
    }
    // Contents of a file of the module's home directory ("" when missing).
    std::string file(const std::string& name) const {
        std::ifstream in(home() + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void writeFile(const std::string& name, const std::string& bytes) const {
        std::ofstream out(home() + name, std::ios::binary);
        out << bytes;
    }
};

// True when some line equals text exactly.
inline bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line == text) return true;
    return false;
}

// A central state without a module around it: its host records prints ("text"), service calls
// ("Service|argument") and texts to players ("to N|text").
struct BareState {
    std::unique_ptr<stQzSv> sv;

    static std::vector<std::string>& log() {
        static std::vector<std::string> lines;
        return lines;
    }
    static int call(const char* service, const char* argument) {
        log().push_back(std::string(service) + "|" + argument);
        return 1;
    }
    static void print(const char* text) { log().push_back(text); }
    static void send(int slot, const char* text, int length) {
        log().push_back("to " + std::to_string(slot) + "|" + std::string(text, length));
    }

    // A fixed clock, well away from the tick's wrap: the listings count screenshot request ticks
    // that were never set as recent within ten minutes of tick 0.
    static void fixedClock(long long* seconds, int* microseconds) {
        *seconds = 1781524800;  // 2026-06-15 12:00:00 UTC
        *microseconds = 0;
    }

    BareState() : sv(std::make_unique<stQzSv>()) {
        clockSetSource(fixedClock);
        log().clear();
        sv->host.hostCall = call;
        sv->host.print = print;
        sv->host.sendClient = send;
        sv->enabled = 1;
    }
    ~BareState() {
        banFree(sv.get());
        clockSetSource(nullptr);
    }
    BareState(const BareState&) = delete;
    BareState& operator=(const BareState&) = delete;
};
