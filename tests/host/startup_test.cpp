// Start-up, the home directory, enable/disable and restart, seen through the host.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/module_fixture.h"

namespace {

bool isDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

using Startup = ModuleTest;

TEST_F(Startup, CreatesHomeDirectoryAndItsFourSubdirectories) {
    for (const char* sub : {"htm", "dll", "svlogs", "svss"}) {
        EXPECT_TRUE(isDir(home() + sub)) << sub;
    }
}

TEST_F(Startup, PrintsGameVersionAndVersionLine) {
    EXPECT_TRUE(host().contains("Game Version ["));
    auto out = run("qz_sv_Ver");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rfind("Kestrine Server (v1.673 | A0 C0.000) linux", 0), 0u) << out[0];
}

// Every start-up duty runs: none is named as missing.
TEST_F(Startup, NoStartUpDutyIsReportedAsNotBuilt) {
    EXPECT_FALSE(host().contains("not available yet"));
    EXPECT_TRUE(host().contains("Program file check: "));
}

TEST_F(Startup, HomePathEndsInQzSlash) {
    auto out = run("qz_sv_HomePath");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "Home Path is " + home());
    EXPECT_EQ(run("qz_sv_writepath"), std::vector<std::string>{"[" + home() + "]"});
}

TEST_F(Startup, VersionDirectivesSetTheReportedNumbers) {
    run("QZ_SV_SETSVVER 2.105");
    run("QZ_SV_SETCLVER 3 7");
    run("QZ_SV_SETAGVER 12");
    auto out = run("qz_sv_ver");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].rfind("Kestrine Server (v2.105 | A12 C3.007) ", 0), 0u) << out[0];
}

TEST_F(Startup, DirectivesAreMatchedInUpperCaseOnly) {
    auto out = run("qz_sv_setsvver 9.9");
    EXPECT_TRUE(anyLineContains(out, "Unknown Command/Setting: qz_sv_setsvver"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Ver"), "(v1.673 "));
}

TEST_F(Startup, DisableTakesEffectAtTheNextStart) {
    auto out = run("qz_sv_Disable");
    EXPECT_TRUE(anyLineContains(out, "[host] Cvar_Set sv_kestrine 0"));
    EXPECT_TRUE(
        anyLineContains(out, "The Kestrine Server will be disabled the NEXT TIME upon startup."));
    // Still enabled now.
    EXPECT_TRUE(anyLineContains(run("qz_sv_Ver"), "Kestrine Server (v"));

    host().shutdown();
    {
        FILE* cfg = fopen((home() + "qzsv.cfg").c_str(), "wb");
        ASSERT_NE(cfg, nullptr);
        fputs("qz_sv_KickLen 7\r\n", cfg);
        fclose(cfg);
    }
    host().clearOutput();
    ASSERT_EQ(host().start(), 0);
    EXPECT_TRUE(host().contains("Preparing to Disable QZ Server... (sv_kestrine is 0)"));
    EXPECT_EQ(run("qz_sv_Ver"), std::vector<std::string>{"Kestrine Server is currently Disabled"});
    auto enabled = run("qz_sv_ENABLE");
    EXPECT_TRUE(anyLineContains(enabled, "[host] Cvar_Set sv_kestrine 1"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Ver"), "Kestrine Server (v"));
    // The configuration a disabled start could not apply is loaded on enabling.
    EXPECT_TRUE(anyLineContains(run("qz_sv_KickLen"), "qz_sv_KickLen = 7"));
}

TEST_F(Startup, RestartRunsAtTheNextFrameAndIgnoresASecondRequest) {
    auto out = run("qz_sv_Restart");
    EXPECT_TRUE(anyLineContains(out, "Preparing to Restart QZ Server... (Admin Command)"));
    EXPECT_FALSE(anyLineContains(out, "Game Version ["));
    EXPECT_EQ(run("qz_sv_restart"), std::vector<std::string>{"qz_sv_restart ignored"});

    auto frame = run("sim_advance 50");
    EXPECT_TRUE(anyLineContains(frame, "Game Version ["));
    EXPECT_TRUE(anyLineContains(frame, "QZ Server Restarted (Admin Command)"));
    // A new request is taken again once the restart is done.
    EXPECT_TRUE(anyLineContains(run("qz_sv_Restart"), "Preparing to Restart"));
}

class StartupPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzpath-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        temp_ = pattern;
        host_.useEntryPoints(&sa, &sb);
    }
    void TearDown() override {
        host_.shutdown();
        std::string cmd = "rm -rf '" + temp_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string temp_;
    sim::SimHost host_;
};

TEST_F(StartupPaths, EmptyHomePathFallsBackToBasePath) {
    host_.setCvar("fs_homepath", "");
    host_.setCvar("fs_basepath", temp_ + "/base/");
    ASSERT_EQ(host_.start(), 0);
    EXPECT_TRUE(isDir(temp_ + "/base/qz/svlogs"));
    host_.clearOutput();
    host_.line("qz_sv_HomePath");
    EXPECT_TRUE(host_.contains("Home Path is " + temp_ + "/base/qz/"));
}

TEST_F(StartupPaths, NoPathAtAllRefusesToStart) {
    host_.setCvar("fs_homepath", "");
    host_.setCvar("fs_basepath", "");
    EXPECT_NE(host_.start(), 0);
    EXPECT_TRUE(host_.contains("QZ ERROR: Server Failed to Initialize"));
}

TEST_F(StartupPaths, HomePathTooLongForThePathBufferRefusesToStartAndWritesNothing) {
    std::string longPath = temp_ + "/" + std::string(480, 'a');
    host_.setCvar("fs_homepath", longPath);
    EXPECT_NE(host_.start(), 0);
    EXPECT_TRUE(host_.contains("QZ ERROR: Home path too long"));
    EXPECT_TRUE(host_.contains("QZ ERROR: Server Failed to Initialize"));
    EXPECT_FALSE(isDir(longPath));
    // A module that did not start ignores later calls instead of crashing.
    host_.console("qz_sv_Ver");
    host_.frame();
}

}  // namespace

namespace {

using Restart = ModuleTest;

TEST_F(Restart, KeepsThePlayersThatAreStillConnected) {
    run("sim_connect Bob 0123456789ABCDEF0123456789ABCDEF 1.2.3.4:27960");
    run("qz_sv_Restart");
    run("sim_advance 50");
    auto list = run("qz_sv_Plist");
    EXPECT_TRUE(anyLineContains(list, "\"Bob\""));
    EXPECT_TRUE(anyLineContains(list, "End of Player List (1 Player)"));
}

// The host sends its version directives once, at its own start; a restart of the module must
// not forget them.
TEST_F(Restart, KeepsTheVersionsTheHostSet) {
    run("QZ_SV_SETSVVER 3.021");
    run("QZ_SV_SETAGVER 7");
    run("QZ_SV_SETCLVER 2.005");
    auto before = run("qz_sv_Ver");
    ASSERT_TRUE(anyLineContains(before, "(v3.021 | A7 C2.005)"));
    run("qz_sv_Restart");
    run("sim_advance 50");
    EXPECT_EQ(run("qz_sv_Ver"), before);
}

// The host quits while console lines wait behind a configuration load: they run first, as the
// following frames would have run them, for a bounded share of work; what is still left then is
// named on one line.
class Shutdown : public ModuleTest {
  protected:
    void write(const std::string& name, const std::string& text) {
        std::ofstream(home() + name, std::ios::binary) << text;
    }
    // Quits as qzhost does and returns what the module printed meanwhile.
    std::vector<std::string> quit() {
        host().clearOutput();
        EXPECT_FALSE(host().line("quit"));
        return host().output();
    }
    static int indexOf(const std::vector<std::string>& lines, const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == text) return static_cast<int>(i);
        return -1;
    }
};

TEST_F(Shutdown, LinesTypedBehindALongLoadRunBeforeTheModuleShutsDown) {
    // More lines than one frame's share of a load takes on any machine.
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "qz_sv_KickLen " + std::to_string(3 + i % 4) + "\r\n";
    write("long.cfg", text + "qz_sv_KickLen 9\r\n");
    run("qz_sv_Load long.cfg");
    ASSERT_TRUE(run("qz_sv_KickLen 1").empty());  // waits behind the load
    ASSERT_TRUE(run("qz_sv_KickLen").empty());
    auto out = quit();
    int last = indexOf(out, "qz_sv_KickLen = 9 (0 to 60)");
    ASSERT_GE(last, 0) << ::testing::PrintToString(out);
    // The setting typed first, then the query typed after it, both after the file's last line.
    std::vector<std::string> after(out.begin() + last + 1, out.end());
    EXPECT_EQ(std::count(after.begin(), after.end(), "qz_sv_KickLen = 1 (0 to 60)"), 2)
        << ::testing::PrintToString(after);
    EXPECT_FALSE(anyLineContains(out, "Shutting down before"));
}

TEST_F(Shutdown, QueuedWorkThatCannotEndWithinTheBoundIsNamedOnOneLine) {
    // Every line loads the file again, eight deep: ten to the eighth loads, which no shut-down
    // waits for on any machine.
    std::string text;
    for (int i = 0; i < 10; ++i) text += "qz_sv_Load self.cfg\r\n";
    write("self.cfg", text);
    run("qz_sv_Load self.cfg");
    ASSERT_TRUE(run("qz_sv_KickLen 1").empty());
    auto out = quit();
    EXPECT_TRUE(anyLineContains(out,
                                "Shutting down before the queued work ended: the load of self.cfg "
                                "was not finished; 1 typed console line was not run"));
    EXPECT_FALSE(anyLineContains(out, "qz_sv_KickLen = 1"));
}

}  // namespace
