// The restart as jobs over frame calls: its parts finish in the start-up's order, its last line
// comes when the configuration has loaded, and console lines typed meanwhile run after it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/frames.h"
#include "support/module_fixture.h"

namespace {

using Lines = std::vector<std::string>;
using Restart = ModuleTest;

int indexOf(const Lines& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

TEST_F(Restart, ALongConfigurationRestartsOverFramesWithItsLinesInOrder) {
    std::string cfg;
    for (int i = 0; i < 5000; ++i) cfg += "qz_sv_KickLen " + std::to_string(3 + i % 4) + "\r\n";
    cfg += "qz_sv_KickLen 9\r\n";
    std::ofstream(home() + "qzsv.cfg", std::ios::binary) << cfg;
    EXPECT_TRUE(anyLineContains(run("qz_sv_Restart"), "Preparing to Restart QZ Server..."));
    Lines first = run("sim_advance 0");
    EXPECT_FALSE(anyLineContains(first, "QZ Server Restarted"));
    EXPECT_TRUE(run("qz_sv_HomePath").empty());  // typed during the restart: waits for its end
    Lines rest = framesUntil([this](const std::string& l) { return run(l); }, "Home Path is ");
    Lines all = first;
    all.insert(all.end(), rest.begin(), rest.end());
    int power = indexOf(all, "Power Players loaded from");
    int config = indexOf(all, "qz_sv_KickLen = 9 (0 to 60)");
    int restarted = indexOf(all, "QZ Server Restarted (Admin Command)");
    int typed = indexOf(all, "Home Path is ");
    ASSERT_GE(power, 0);
    EXPECT_GT(config, power);
    EXPECT_GT(restarted, config);
    EXPECT_GT(typed, restarted);
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 9 (0 to 60)"});
}

// A large power file is read over frame calls too: the restart's first frame does not read it
// whole, its count line comes once, before the configuration's lines, and every record is taken.
TEST_F(Restart, ALargePowerFileIsReadOverFrames) {
    std::string power;
    char guid[40];
    for (int i = 0; i < 20000; ++i) {
        snprintf(guid, sizeof guid, "%032X", i + 1);
        power += "10 " + std::string(guid) + " P" + std::to_string(i) + "\r\n";
    }
    std::ofstream(home() + "qzpower.dat", std::ios::binary) << power;
    std::ofstream(home() + "qzsv.cfg", std::ios::binary) << "qz_sv_KickLen 8\r\n";
    run("qz_sv_Restart");
    Lines first = run("sim_advance 0");
    EXPECT_FALSE(anyLineContains(first, "Power Players loaded from")) << "read in one frame call";
    Lines rest = framesUntil([this](const std::string& l) { return run(l); }, "QZ Server Restarted");
    Lines all = first;
    all.insert(all.end(), rest.begin(), rest.end());
    int count = 0;
    for (const std::string& l : all) count += l.find("Power Players loaded from") != std::string::npos;
    EXPECT_EQ(count, 1);
    EXPECT_GE(indexOf(all, "20000 Power Players loaded from"), 0);
    EXPECT_GT(indexOf(all, "qz_sv_KickLen = 8 (0 to 60)"), indexOf(all, "Power Players loaded from"));
}

TEST_F(Restart, ASmallServerRestartsWithinOneFrame) {
    std::ofstream(home() + "qzsv.cfg", std::ios::binary) << "qz_sv_KickLen 7\r\n";
    run("qz_sv_Restart");
    Lines lines = run("sim_advance 0");
    EXPECT_GT(indexOf(lines, "QZ Server Restarted (Admin Command)"),
              indexOf(lines, "qz_sv_KickLen = 7 (0 to 60)"));
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 7 (0 to 60)"});
}

}  // namespace
