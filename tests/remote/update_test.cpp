// The update path from end to end: the module, on the simulated game server, fetches the master
// list, the data files and a module update from qzmaster on 127.0.0.1, checks it, installs it
// when it is signed with the configured key, and swaps it in at the next restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "qzmaster/master.h"
#include "remote/masters.h"
#include "support/module_fixture.h"
#include "webtool/web_client.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

const std::string kBuild = QZ_BINARY_DIR;

// What a test wants of the master before the module starts.
struct MasterSetup {
    bool update = true;
    bool sign = true;        // the master signs its answers
    bool signUpdate = true;  // and the update
    bool tamper = false;
    bool configureKey = true;
    int dropEvery = 0;
    std::vector<std::string> directives;
};

class UpdatePath : public ModuleTest {
  protected:
    virtual MasterSetup setup() { return MasterSetup{}; }

    void configure(sim::SimHost&) override {
        MasterSetup s = setup();
        std::string qz = gameHome() + "/qz";
        mkdir(qz.c_str(), 0755);
        keys_ = gameHome() + "/keys";
        mkdir(keys_.c_str(), 0755);
        std::string priv, pub;
        ASSERT_TRUE(qzm::makeKeyPair(&priv, &pub));
        std::ofstream(keys_ + "/master.key") << priv << "\n";
        if (s.configureKey) std::ofstream(qz + "/qzsvkey.pub") << pub << "\n";
        data_ = gameHome() + "/masterdata";
        mkdir(data_.c_str(), 0755);
        std::ofstream(data_ + "/qzsec.sv", std::ios::binary) << "security data 1\r\n";
        std::ofstream(data_ + "/qzpat.1", std::ios::binary) << std::string(50000, 'p');
        // The running module, as the game server installed it.
        std::filesystem::copy_file(kBuild + "/qzsv.so", qz + "/qzsv.so");

        qzm::Options o;
        o.dir = data_;
        if (s.update) {
            o.updateModule = kBuild + "/qzsv_next.so";
            o.updateNumber = 1674;
        }
        if (s.sign) o.signKey = keys_ + "/master.key";
        o.unsignedUpdate = !s.signUpdate;
        o.tamper = s.tamper;
        o.unthrottled = true;
        o.dropEvery = s.dropEvery;
        o.directives = s.directives;
        std::string error;
        ASSERT_TRUE(master_.start(o, &error)) << error;
        // The module's list names the stand-in master only.
        static stQzMaster list[1];
        memset(list, 0, sizeof list);
        list[0].number = 2;
        list[0].port = static_cast<int>(master_.port());
        snprintf(list[0].host, sizeof list[0].host, "127.0.0.1");
        std::string text(16384, '\0');
        long n = masterFormat(text.data(), static_cast<long>(text.size()), 1, list);
        ASSERT_GT(n, 0);
        std::ofstream(qz + "/qzns.dat", std::ios::binary) << text.substr(0, static_cast<size_t>(n));
    }

    // Runs frames (5 ms of the module's clock each) with the master answering in between, until
    // a line containing text appears; false after 40000 frames (200 s of the module's clock: a
    // lossy link waits 1.5 s of silence before each block is asked for again, and a slow build
    // gets fewer blocks through each frame's budget).
    bool until(const std::string& text) {
        for (int i = 0; i < 40000; ++i) {
            if (host().contains(text)) return true;
            master_.poll();
            host().advance(5);
        }
        return host().contains(text);
    }

    std::string keys_, data_;
    qzm::MasterServer master_;
};

}  // namespace

TEST_F(UpdatePath, SignedUpdateIsInstalledAtTheNextRestartAndTheNewVersionAnswers) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("installed at the next restart"))
        << ::testing::PrintToString(host().output());
    EXPECT_TRUE(host().contains("Received Download File: qzns.dat"));
    EXPECT_TRUE(host().contains("New QZ Server Version v1.674 available from 127.0.0.1"));
    EXPECT_TRUE(host().contains("Received Download File: dll/ls001674.upd"));
    EXPECT_EQ(slurp(home() + "qzsvnew.so"), slurp(kBuild + "/qzsv_next.so"));
    EXPECT_FALSE(exists(home() + "dll/ls001674.upd"));  // the compressed copy is gone
    // The old module is in place until the restart.
    EXPECT_EQ(slurp(home() + "qzsv.so"), slurp(kBuild + "/qzsv.so"));

    run("qz_sv_Restart");
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(anyLineContains(lines, "Installing New Server Version"));
    EXPECT_EQ(slurp(home() + "qzsv.so"), slurp(kBuild + "/qzsv_next.so"));
    EXPECT_EQ(slurp(home() + "qzsvold.so"), slurp(kBuild + "/qzsv.so"));
    EXPECT_FALSE(exists(home() + "qzsvnew.so"));

    // The game server loads the module from the home directory: the new one answers.
    // QZ_RUN names the emulator where this machine cannot run the build's programs itself.
    std::string cmd = "printf 'qz_sv_Ver\\nquit\\n' | " + std::string(QZ_RUN) + " " + kBuild +
                      "/qzhost --module " + home() + "qzsv.so --manual-clock +set fs_homepath " +
                      gameHome() + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    EXPECT_NE(out.find("Kestrine Server (v1.674"), std::string::npos) << out;
}

TEST_F(UpdatePath, DataFilesAreFetchedAndAMissingOneIsReportedEmpty) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("installed at the next restart"));
    ASSERT_TRUE(until("Received Download File: qzpat.1"));
    EXPECT_EQ(slurp(home() + "qzsec.sv"), "security data 1\r\n");
    EXPECT_EQ(slurp(home() + "qzpat.1"), std::string(50000, 'p'));
    EXPECT_TRUE(until("reports file [qzq.6] is empty"));
    EXPECT_FALSE(exists(home() + "qzq.6"));
}

class UnsignedUpdate : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.signUpdate = false;
        return s;
    }
};
TEST_F(UnsignedUpdate, IsRefusedAndTheOldModuleKeepsRunning) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("refused: the running version stays"));
    EXPECT_TRUE(host().contains("ERROR: Update Not Signed"));
    EXPECT_FALSE(exists(home() + "qzsvnew.so"));
    run("qz_sv_Restart");
    run("sim_advance 0");
    EXPECT_EQ(slurp(home() + "qzsv.so"), slurp(kBuild + "/qzsv.so"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Ver"), "Kestrine Server (v1.673"));
}

class TamperedUpdate : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.tamper = true;
        return s;
    }
};
TEST_F(TamperedUpdate, IsRefusedByItsSignature) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("refused: the running version stays"));
    EXPECT_TRUE(host().contains("ERROR: Bad Update Signature"));
    EXPECT_FALSE(exists(home() + "qzsvnew.so"));
}

class NoKeyConfigured : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.configureKey = false;
        return s;
    }
};
TEST_F(NoKeyConfigured, NothingTheMastersSendIsUsed) {
    std::string list = slurp(home() + "qzns.dat");
    run("qz_sv_Update");
    EXPECT_TRUE(host().contains(
        "No update key (qzsvkey.pub): the masters' answers cannot be checked and are not used"));
    ASSERT_TRUE(until("no update key (qzsvkey.pub) to check its signature"));
    ASSERT_TRUE(until("Packet Timeout"));
    EXPECT_FALSE(host().contains("Received Download File"));
    EXPECT_EQ(slurp(home() + "qzns.dat"), list);
    EXPECT_FALSE(exists(home() + "qzsvnew.so"));
}

class UnsignedAnswers : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.sign = false;
        s.directives = {"suspend violation"};
        return s;
    }
};
TEST_F(UnsignedAnswers, AreRefusedAndCounted) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("Packet Timeout"));
    EXPECT_TRUE(host().contains("Master packet refused"));
    EXPECT_FALSE(host().contains("Received Download File"));
    EXPECT_FALSE(host().contains("Kicking for new violations has been temporarily disabled"));
}

// The WebTool answers qz_sv_Update before the masters do: its General Settings screen shows the
// check's outcome once it is known.
TEST_F(UpdatePath, TheWebToolShowsTheOutcomeOfTheLastCheck) {
    int port = webtest::freePort();
    run("qz_sv_HttpKey secret");
    run("qz_sv_HttpPort " + std::to_string(port));
    run("sim_advance 0");
    run("qz_sv_Update");
    ASSERT_TRUE(until("installed at the next restart"));
    int s = webtest::connectTo(port);
    ASSERT_GE(s, 0);
    webtest::sendText(s, webtest::postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    std::string page = webtest::awaitAnswer(s, [this] { run("sim_advance 0"); });
    close(s);
    EXPECT_NE(page.find("Last update check:<br>New QZ Server Version v1.674 available from "
                        "127.0.0.1<br>QZ Server update v1.674 verified and signed: installed at "
                        "the next restart"),
              std::string::npos)
        << page;
}

// With v1.700 waiting for the restart, a validly signed v1.680 is not a reason to replace it.
TEST_F(UpdatePath, AnOlderUpdateNeverReplacesTheOneWaiting) {
    std::string error;
    ASSERT_TRUE(master_.offer(kBuild + "/qzsv_next.so", 1700, &error)) << error;
    run("qz_sv_Update");
    ASSERT_TRUE(until("installed at the next restart"));
    ASSERT_EQ(slurp(home() + "qzsvnew.so"), slurp(kBuild + "/qzsv_next.so"));
    ASSERT_TRUE(master_.offer(kBuild + "/qzsv.so", 1680, &error)) << error;
    run("qz_sv_Update");
    ASSERT_TRUE(until("QZ Server v1.700 is waiting to be installed at the next restart"));
    EXPECT_FALSE(host().contains("New QZ Server Version v1.680"));
    EXPECT_EQ(slurp(home() + "qzsvnew.so"), slurp(kBuild + "/qzsv_next.so"));
}

// What an update download killed halfway left behind is gone after the start.
class LeftoverPart : public UpdatePath {
    void configure(sim::SimHost& h) override {
        UpdatePath::configure(h);
        std::ofstream(gameHome() + "/qz/qzsvnew.so.part") << "half a module";
    }
};
TEST_F(LeftoverPart, IsRemovedAtStartUp) {
    EXPECT_FALSE(exists(home() + "qzsvnew.so.part"));
    EXPECT_TRUE(host().contains("Removed the unfinished update qzsvnew.so.part"));
}

class LossyLink : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.dropEvery = 17;
        return s;
    }
};
TEST_F(LossyLink, LostBlocksAreAskedForAgainAndTheUpdateArrivesWhole) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("installed at the next restart"))
        << ::testing::PrintToString(host().output());
    EXPECT_EQ(slurp(home() + "qzsvnew.so"), slurp(kBuild + "/qzsv_next.so"));
}

class NoUpdateOffered : public UpdatePath {
    MasterSetup setup() override {
        MasterSetup s;
        s.update = false;
        s.directives = {"suspend violation", "suspend restriction", "ignore technical",
                        "security abc123"};
        return s;
    }
};
TEST_F(NoUpdateOffered, ModuleIsUpToDateAndTheMastersDirectivesApply) {
    run("qz_sv_Update");
    ASSERT_TRUE(until("QZ Server is up to date (v1.673)"));
    ASSERT_TRUE(until("Received Master Security Information"));
    EXPECT_TRUE(host().contains(
        "Kicking for new violations has been temporarily disabled per QZ Master Servers - use the "
        "qz_sv_enablekicks command to manually re-enable kicks."));
    EXPECT_TRUE(
        host().contains("Restriction Kicking is temporarily disabled per QZ Master Servers"));
    EXPECT_TRUE(
        host().contains("Technical Violations Temporarily Ignored as directed by QZ Master"));
    EXPECT_EQ(slurp(home() + "qzsv.db"), "abc123\r\n");
    EXPECT_TRUE(anyLineContains(run("qz_sv_EnableKicks"),
                                "qz_sv_enablekicks: Kicking for violations is now enabled"));
}

TEST_F(NoUpdateOffered, ChangedSecurityDataAreReportedAsADiscrepancy) {
    std::ofstream(home() + "qzsv.db") << "older\r\n";
    run("qz_sv_Update");
    ASSERT_TRUE(until("Security Discrepancy between existing and new data"));
    EXPECT_EQ(slurp(home() + "qzsv.db"), "abc123\r\n");
}

TEST_F(UpdatePath, LanModeSendsNothing) {
    run("qz_sv_Lan 1");
    EXPECT_TRUE(
        anyLineContains(run("qz_sv_Update"), "No Master Queries are sent when qz_sv_lan = 1"));
    for (int i = 0; i < 50; ++i) {
        master_.poll();
        host().advance(5);
    }
    EXPECT_TRUE(master_.log().size() == 1);  // only its own "listening" line
}
