// The check of the module's own program files: the real module loaded by qzhost from a copy in
// its home directory, and the check on request against a copy named by the test.
#include "host/selfcheck.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "commands/dispatch.h"
#include "commands/local_state.h"
#include "support/module_fixture.h"
#include "support/update_record.h"

namespace {

const std::string kBuild = QZ_BINARY_DIR;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Changes one byte near the end of the file (the section headers, which the loader never
// reads, so the changed copy still loads).
void changeByte(const std::string& path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(-40, std::ios::end);
    char c = 0;
    f.read(&c, 1);
    f.seekp(-40, std::ios::end);
    c = static_cast<char>(c ^ 0x5A);
    f.write(&c, 1);
}

std::string sha(const std::string& path) {
    char hex[65];
    long size = 0;
    char why[128];
    EXPECT_TRUE(scDigestFile(path.c_str(), hex, &size, why, sizeof why)) << why;
    return hex;
}

using SelfCheck = ModuleTest;

TEST_F(SelfCheck, NoStartSaysADutyIsNotAvailableAndALinkedModuleIsNotCheckable) {
    EXPECT_FALSE(host().contains("not available yet"));
    // The test program links the module in: there is no shared object of its own to digest.
    EXPECT_TRUE(host().contains(
        "Program file check: not checkable (the module is linked into the program "));
    EXPECT_TRUE(anyLineContains(run("qz_sv_FileCheck"), "Program file check: not checkable ("));
}

// qzhost loads a copy of the module from the home directory, as a game server does.
class SelfCheckLoaded : public ModuleTest {
  protected:
    std::string startQzhost(const std::string& lines = "") {
        // QZ_RUN names the emulator where this machine cannot run the build's programs itself.
        std::string cmd = "printf '" + lines + "quit\\n' | " + std::string(QZ_RUN) + " " + kBuild +
                          "/qzhost --module " + module() + " --manual-clock +set fs_homepath " +
                          gameHome() + " +set fs_basepath " + gameHome() + "/base 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        if (!p) return out;
        char buf[1024];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
        return out;
    }
    std::string module() { return home() + "qzsv.so"; }
    void SetUp() override {
        ModuleTest::SetUp();
        std::filesystem::copy_file(kBuild + "/qzsv.so", module());
    }
};

TEST_F(SelfCheckLoaded, FirstStartRecordsLaterStartsFindItIntactAndAChangedByteIsReported) {
    std::string first = startQzhost();
    EXPECT_NE(first.find("Program file recorded (first check): " + module() + " (SHA-256 " +
                         sha(module())),
              std::string::npos)
        << first;
    // Nothing to compare with yet: recorded, but not called intact.
    EXPECT_NE(first.find("Program file check: not checkable (1 of 1 files had no record in "
                         "qzsvsum.dat; recorded now, compared from the next check on)"),
              std::string::npos)
        << first;
    EXPECT_EQ(first.find("intact"), std::string::npos) << first;
    EXPECT_EQ(first.find("not available yet"), std::string::npos) << first;

    std::string second = startQzhost();
    EXPECT_NE(second.find("Program file intact: " + module()), std::string::npos) << second;
    EXPECT_NE(second.find("Program file check: intact (1 checked, 0 newly recorded)"),
              std::string::npos)
        << second;

    std::string recorded = sha(module());
    changeByte(module());
    std::string changed = sha(module());
    ASSERT_NE(changed, recorded);
    std::string third = startQzhost();
    EXPECT_NE(third.find("Program file CHANGED: " + module() + " has SHA-256 " + changed),
              std::string::npos)
        << third;
    EXPECT_NE(third.find("recorded " + recorded), std::string::npos) << third;
    EXPECT_NE(third.find("Program file check: CHANGED (1 of 1 files"), std::string::npos) << third;

    // Accepted on request (a slice a frame), the change is the new reference.
    std::string frames;
    for (int i = 0; i < 400; ++i) frames += "sim_advance 50\\n";
    std::string accepted = startQzhost("qz_sv_FileCheck accept\\n" + frames);
    EXPECT_NE(accepted.find("Program file recorded (accepted): " + module()), std::string::npos)
        << accepted;
    std::string fourth = startQzhost();
    EXPECT_NE(fourth.find("Program file intact: " + module() + " (SHA-256 " + changed),
              std::string::npos)
        << fourth;
}

// A copy swapped in at start-up passed the update's signature check: it becomes the record.
TEST_F(SelfCheckLoaded, ANewVersionSwappedInAtStartUpIsRecordedNotReportedAsChanged) {
    startQzhost();
    unsigned char key[32];
    testrec::makeKey(home(), key);
    std::filesystem::copy_file(kBuild + "/qzsv_next.so", home() + "qzsvnew.so");
    testrec::writeRecord(home(), "qzsvnew.so", 'S', key);
    std::string next = sha(kBuild + "/qzsv_next.so");
    std::string swapped = startQzhost();
    EXPECT_NE(swapped.find("Installing New Server Version"), std::string::npos) << swapped;
    EXPECT_NE(swapped.find("Program file recorded (installed by the update): " + module() +
                           " (SHA-256 " + next),
              std::string::npos)
        << swapped;
    EXPECT_EQ(swapped.find("CHANGED"), std::string::npos) << swapped;
    EXPECT_FALSE(std::filesystem::exists(home() + "qzsvnew.so.sig"));
    std::string after = startQzhost();
    EXPECT_NE(after.find("Program file intact: " + module() + " (SHA-256 " + next),
              std::string::npos)
        << after;
}

// Only a copy the update installer verified is swapped in: one dropped into the home directory
// without its record, with a record of another file, or with a forged signature stays out, is
// set aside, and the running module is still checked against its record.
TEST_F(SelfCheckLoaded, AWaitingCopyTheInstallerDidNotVerifyIsNeverSwappedIn) {
    startQzhost();
    unsigned char key[32], other[32];
    testrec::makeKey(home(), other);
    testrec::makeKey(home(), key);  // the key qzsvkey.pub holds
    struct Case {
        const char* what;
        const char* why;
    };
    for (const Case& k :
         {Case{"no record", "no record of the installer (qzsvnew.so.sig)"},
          Case{"another file's record", "is not what the update installer verified"},
          Case{"forged signature", "is not what the update installer verified"},
          Case{"another kind", "is not for this file"}}) {
        std::filesystem::remove(home() + "qzsvnew.so.bad");
        std::filesystem::remove(home() + "qzsvnew.so");
        std::filesystem::copy_file(kBuild + "/qzsv_next.so", home() + "qzsvnew.so");
        std::string w = k.what;
        if (w == "another file's record") {
            std::filesystem::copy_file(kBuild + "/qzsv.so", home() + "signed.so");
            testrec::writeRecord(home(), "signed.so", 'S', key);
            std::filesystem::rename(home() + "signed.so.sig", home() + "qzsvnew.so.sig");
        } else if (w == "forged signature") {
            testrec::writeRecord(home(), "qzsvnew.so", 'S', other);
        } else if (w == "another kind") {
            testrec::writeRecord(home(), "qzsvnew.so", 'C', key);
        }
        std::string out = startQzhost();
        EXPECT_NE(out.find(std::string("QZ ERROR: qzsvnew.so refused: ")), std::string::npos)
            << k.what << "\n"
            << out;
        EXPECT_NE(out.find(k.why), std::string::npos) << k.what << "\n" << out;
        EXPECT_EQ(out.find("Installing New Server Version"), std::string::npos) << k.what;
        EXPECT_EQ(readFile(module()), readFile(kBuild + "/qzsv.so")) << k.what;
        EXPECT_TRUE(std::filesystem::exists(home() + "qzsvnew.so.bad")) << k.what;
        EXPECT_FALSE(std::filesystem::exists(home() + "qzsvnew.so")) << k.what;
        EXPECT_NE(out.find("Program file intact: " + module()), std::string::npos) << out;
    }
}

// A deleted record makes nothing intact: the start says it could not check.
TEST_F(SelfCheckLoaded, ADeletedRecordIsNotCheckableNeverIntact) {
    startQzhost();
    changeByte(module());
    std::filesystem::remove(home() + "qzsvsum.dat");
    std::string out = startQzhost();
    EXPECT_NE(out.find("Program file recorded (first check): " + module()), std::string::npos)
        << out;
    EXPECT_NE(out.find("Program file check: not checkable (1 of 1 files had no record"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("intact"), std::string::npos) << out;
}

TEST_F(SelfCheckLoaded, CompanionLibrariesOfTheHomeDirectoryAreCheckedToo) {
    std::ofstream(home() + "qzcls.so", std::ios::binary) << "not a library";
    startQzhost();
    std::ofstream(home() + "qzcls.so", std::ios::binary) << "not a library either";
    std::string out = startQzhost();
    EXPECT_NE(out.find("Program file CHANGED: " + home() + "qzcls.so has SHA-256 " +
                       sha(home() + "qzcls.so")),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Program file intact: " + module()), std::string::npos) << out;
}

// The check on request, in frames, for a copy of the module named by the test.
TEST_F(SelfCheck, OnRequestReportsAChangedCopyAfterItsFramesAndAcceptRecordsIt) {
    std::string copy = home() + "copy.so";
    std::filesystem::copy_file(kBuild + "/qzsv.so", copy);
    LocalState local;
    stQzSv* sv = local.sv();
    scStartupFor(sv, copy.c_str(), nullptr);
    auto start = local.take();
    EXPECT_TRUE(anyLineContains(start, "Program file recorded (first check): " + copy));

    changeByte(copy);
    sv_cmd(sv, QZ_SRC_CONSOLE, const_cast<char*>("qz_sv_FileCheck"), 0);
    EXPECT_TRUE(anyLineContains(local.take(), "Program file check started (1 files)"));
    int frames = 0;
    while (scFrame(sv)) frames++;
    auto report = local.take();
    EXPECT_TRUE(
        anyLineContains(report, "Program file CHANGED: " + copy + " has SHA-256 " + sha(copy)))
        << ::testing::PrintToString(report);
    EXPECT_GT(frames, 1);  // sliced: a few MB take several frames
    EXPECT_TRUE(anyLineContains(report, "Program file check took "));

    sv_cmd(sv, QZ_SRC_CONSOLE, const_cast<char*>("qz_sv_FileCheck accept"), 0);
    while (scFrame(sv)) {
    }
    EXPECT_TRUE(anyLineContains(local.take(), "Program file recorded (accepted): " + copy));
    sv_cmd(sv, QZ_SRC_CONSOLE, const_cast<char*>("qz_sv_FileCheck"), 0);
    while (scFrame(sv)) {
    }
    EXPECT_TRUE(anyLineContains(local.take(), "Program file check: intact (1 checked, 0 newly"));
    EXPECT_NE(readFile(home() + QZ_SC_RECORD).find(sha(copy) + " "), std::string::npos);
    scAbandon(sv);
}

TEST_F(SelfCheck, AFileThatCannotBeReadIsNotCheckableWithItsReason) {
    LocalState local;
    stQzSv* sv = local.sv();
    scStartupFor(sv, (home() + "missing.so").c_str(), nullptr);
    auto lines = local.take();
    EXPECT_TRUE(anyLineContains(lines, "Program file not checkable: cannot open " + home() +
                                           "missing.so (No such file or directory)"));
    EXPECT_TRUE(anyLineContains(lines, "Program file check: not checkable (1 of 1 files"));
}

// The base directory of the game provides the client and agent modules; a missing one is
// copied into the home directory at start-up, an existing one is left alone.
class BaseCopies : public ModuleTest {
  protected:
    void configure(sim::SimHost& h) override {
        std::string base = gameHome() + "/base";
        std::filesystem::create_directories(base + "/qz");
        std::ofstream(base + "/qz/qzcl.so", std::ios::binary) << "client module";
        std::ofstream(base + "/qz/qzag.so", std::ios::binary) << "agent module";
        std::filesystem::create_directories(gameHome() + "/qz");
        std::ofstream(gameHome() + "/qz/qzag.so", std::ios::binary) << "agent already here";
        h.setCvar("fs_basepath", base);
    }
};

TEST_F(BaseCopies, MissingClientAndAgentModulesAreCopiedFromTheBaseDirectory) {
    EXPECT_EQ(readFile(home() + "qzcl.so"), "client module");
    EXPECT_TRUE(host().contains("Copied qzcl.so from fs_basepath"));
    EXPECT_EQ(readFile(home() + "qzag.so"), "agent already here");
    EXPECT_FALSE(host().contains("Copied qzag.so"));
    EXPECT_FALSE(std::filesystem::exists(home() + "qzcl.so.part"));
}

// A verified update waiting in the game's base directory is copied in (through a check of that
// directory's own entry, never through a link) and installed from there; an unverified one is
// refused, and a link planted under the copy's temporary name is never written through.
class BaseUpdate : public ModuleTest {
  protected:
    void configure(sim::SimHost& h) override {
        base_ = gameHome() + "/base/qz/";
        std::filesystem::create_directories(base_);
        std::filesystem::create_directories(home());
        std::filesystem::copy_file(kBuild + "/qzsv.so", home() + "qzsv.so");
        std::filesystem::copy_file(kBuild + "/qzsv_next.so", base_ + "qzsvnew.so");
        unsigned char key[32];
        testrec::makeKey(home(), key);
        if (signedCopy()) testrec::writeRecord(base_, "qzsvnew.so", 'S', key);
        std::ofstream(gameHome() + "/victim") << "untouched";
        std::filesystem::create_symlink(gameHome() + "/victim", home() + "qzsvnew.so.sig.part");
        h.setCvar("fs_basepath", gameHome() + "/base");
    }
    virtual bool signedCopy() { return true; }
    std::string base_;
};

TEST_F(BaseUpdate, AVerifiedCopyInTheBaseDirectoryIsInstalledFromThere) {
    EXPECT_TRUE(host().contains("Installing New Server Version from fs_basepath"))
        << ::testing::PrintToString(host().output());
    EXPECT_EQ(readFile(home() + "qzsv.so"), readFile(kBuild + "/qzsv_next.so"));
    EXPECT_EQ(readFile(home() + "qzsvold.so"), readFile(kBuild + "/qzsv.so"));
    EXPECT_FALSE(std::filesystem::exists(base_ + "qzsvnew.so"));
    EXPECT_EQ(readFile(gameHome() + "/victim"), "untouched");
}

class UnsignedBaseUpdate : public BaseUpdate {
    bool signedCopy() override { return false; }
};

TEST_F(UnsignedBaseUpdate, IsRefusedAndTheRunningModuleStays) {
    EXPECT_TRUE(host().contains("QZ ERROR: qzsvnew.so (from fs_basepath) refused: no record"))
        << ::testing::PrintToString(host().output());
    EXPECT_FALSE(host().contains("Installing New Server Version"));
    EXPECT_EQ(readFile(home() + "qzsv.so"), readFile(kBuild + "/qzsv.so"));
    EXPECT_EQ(readFile(gameHome() + "/victim"), "untouched");
}

}  // namespace
