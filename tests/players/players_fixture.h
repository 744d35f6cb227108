// Shared helpers of the player tests: a module on the simulated server with players connected
// by sim_connect, and a bare central state whose host records what it is asked. Header only:
// the test glob builds *_test.cpp files.
#pragma once

#include <cstdlib>
#include <ctime>
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

// The simulated server in a time zone with summer time (central European rules), for the
// elapsed-time tests: the local clock falls back an hour at 01:00 UTC on 2026-10-25, and every
// year the local tick of the millisecond counter jumps at New Year.
class ClockChangeTest : public PlayersTest {
  protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) savedTz_ = tz;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        PlayersTest::SetUp();
    }
    void TearDown() override {
        PlayersTest::TearDown();
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    // Moves the manual clock forward to the UTC time given as seconds since 1970.
    void advanceTo(long long utcSeconds) {
        run("sim_advance " +
            std::to_string((utcSeconds - static_cast<long long>(qzTime())) * 1000));
    }

  private:
    bool hadTz_ = false;
    std::string savedTz_;
};

// 10 minutes before summer time ends in the zone above, and 10 minutes before New Year 2027
// (2026 is not a leap year: the local tick counts 366 days a year).
constexpr long long kBeforeFallBack = 1792889400;  // 2026-10-25 00:50:00 UTC
constexpr long long kBeforeNewYear = 1798757400;   // 2026-12-31 22:50:00 UTC, 23:50 local

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
