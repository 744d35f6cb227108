// The one masking routine: every secret argument the command and setting tables name, the game's
// password variables and set commands, lines carried inside other commands (tasks, scope
// overrides, rcon, bind, a variable's value), and lines joined with ";".
#include "commands/secrets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qzucon/client.h"
#include "support/case_name.h"
#include "webtool/web_module.h"

namespace {

struct MaskCase {
    const char* line;
    const char* shown;
};

void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.line; }

class MaskSecrets : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskSecrets, ShowsTheLineWithEverySecretMasked) {
    char out[512];
    cmdMaskSecrets(GetParam().line, out, sizeof out);
    EXPECT_EQ(std::string(out), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MaskSecrets,
    ::testing::Values(
        // Lines without a secret stand as typed.
        MaskCase{"qz_sv_Kick 3 5 aimbot", "qz_sv_Kick 3 5 aimbot"},
        MaskCase{"say hello; kick 3", "say hello; kick 3"},
        MaskCase{"qz_sv_HttpKey", "qz_sv_HttpKey"},
        MaskCase{"set g_gametype 4", "set g_gametype 4"},
        // The table's secrets.
        MaskCase{"qz_sv_HttpKey X1", "qz_sv_HttpKey *****"},
        MaskCase{"QZ_SV_LOGPW \"a b\"", "QZ_SV_LOGPW *****"},
        MaskCase{"qz_sv_UconAdd 1 * user X1", "qz_sv_UconAdd 1 * user *****"},
        MaskCase{"qz_sv_AdminAdd eve all X1 X2", "qz_sv_AdminAdd eve all *****"},
        // The game's own passwords, typed or set.
        MaskCase{"rconpassword X1", "rconpassword *****"},
        MaskCase{"/rconpassword X1", "/rconpassword *****"},
        MaskCase{"set rconpassword X1", "set rconpassword *****"},
        MaskCase{"seta rconpassword \"X1\"", "seta rconpassword *****"},
        MaskCase{"sets g_password X1", "sets g_password *****"},
        MaskCase{"seta qz_sv_HttpKey X1", "seta qz_sv_HttpKey *****"},
        // Lines inside commands.
        MaskCase{"qz_sv_Task 5 0 qz_sv_HttpKey X1", "qz_sv_Task 5 0 qz_sv_HttpKey *****"},
        MaskCase{"qz_sv_Task 5 0 qz_sv_Kick 3", "qz_sv_Task 5 0 qz_sv_Kick 3"},
        MaskCase{"qz_sv_FleetScope local qz_sv_LogPw X1",
                 "qz_sv_FleetScope local qz_sv_LogPw *****"},
        MaskCase{"qz_sv_Task 5 0 qz_sv_UconAdd 1 * user X1",
                 "qz_sv_Task 5 0 qz_sv_UconAdd 1 * user *****"},
        MaskCase{"qz_sv_FleetScope local qz_sv_AdminAdd eve all X1",
                 "qz_sv_FleetScope local qz_sv_AdminAdd eve all *****"},
        MaskCase{"qz_sv_Task 1 0 \"rconpassword X1\"", "qz_sv_Task 1 0 \"rconpassword *****\""},
        MaskCase{"qz_sv_Task 1 0 qz_sv_Task 2 0 qz_sv_FleetScope local set rconpassword X1",
                 "qz_sv_Task 1 0 qz_sv_Task 2 0 qz_sv_FleetScope local set rconpassword *****"},
        MaskCase{"rcon qz_sv_HttpKey X1", "rcon qz_sv_HttpKey *****"},
        MaskCase{"rcon rconpassword X1", "rcon rconpassword *****"},
        MaskCase{"bind F1 \"rconpassword X1\"", "bind F1 \"rconpassword *****\""},
        MaskCase{"set logon \"qz_sv_HttpKey X1\"", "set logon \"qz_sv_HttpKey *****\""},
        MaskCase{"QZ_RCON rconpassword X1", "QZ_RCON rconpassword *****"},
        // Lines joined with ";": each part is looked at; a secret hides the rest of the line.
        MaskCase{"qz_sv_Ver;qz_sv_HttpKey X1", "qz_sv_Ver;qz_sv_HttpKey *****"},
        MaskCase{"say hi; rconpassword X1; say bye", "say hi; rconpassword *****"},
        MaskCase{"qz_sv_HttpKey X1;X2", "qz_sv_HttpKey *****"},
        MaskCase{"qz_sv_Task 1 0 \"qz_sv_Ver;qz_sv_LogPw X1\"",
                 "qz_sv_Task 1 0 \"qz_sv_Ver;qz_sv_LogPw *****\""},
        MaskCase{"say \"a;b\"; qz_sv_LogPw X1", "say \"a;b\"; qz_sv_LogPw *****"}),
    [](const ::testing::TestParamInfo<MaskCase>& p) {
        return qztest::caseName(p.index, p.param.line);
    });

TEST(MaskSecretsBounds, AShortBufferIsCutAndNeverShowsTheSecret) {
    char out[20];
    cmdMaskSecrets("qz_sv_Task 5 0 qz_sv_HttpKey VerySecretValue", out, sizeof out);
    EXPECT_EQ(std::string(out).find("Very"), std::string::npos) << out;
    EXPECT_LT(std::string(out).size(), sizeof out);
}

TEST(MaskSecretsBounds, LinesNestedPastTheLimitAreMaskedWhole) {
    std::string line;
    for (int i = 0; i < 8; ++i) line += "qz_sv_Task 1 0 ";
    line += "say X1";
    char out[512];
    cmdMaskSecrets(line.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out).find("X1"), std::string::npos) << out;
    EXPECT_NE(std::string(out).find("*****"), std::string::npos) << out;
}

TEST(MaskKnows, KnowsCommandsSettingsDirectivesAndGameWordsOnly) {
    EXPECT_TRUE(cmdMaskKnows("qz_sv_Kick 3"));
    EXPECT_TRUE(cmdMaskKnows("QZ_SV_HTTPKEY x"));
    EXPECT_TRUE(cmdMaskKnows("QZ_SV_ADDCLIENT 1"));
    EXPECT_TRUE(cmdMaskKnows("rconpassword x"));
    EXPECT_TRUE(cmdMaskKnows("qz_sv_Ver;kick 3"));
    EXPECT_FALSE(cmdMaskKnows("hunter2"));
    EXPECT_FALSE(cmdMaskKnows("kick 3"));
    EXPECT_FALSE(cmdMaskKnows(""));
}

// ---- Every path that shows or stores a line ---------------------------------------------------

// A line that carries the secret "Zq7S3cr3t" (a task's lines run five seconds after it is added).
const char* const kSecretForms[] = {
    "qz_sv_HttpKey Zq7S3cr3t",
    "qz_sv_LogPw Zq7S3cr3t",
    "qz_sv_UconAdd 1 * someone Zq7S3cr3t",
    "qz_sv_AdminAdd eve all Zq7S3cr3t",
    "qz_sv_Task 5 0 qz_sv_HttpKey Zq7S3cr3t",
    "qz_sv_FleetScope local qz_sv_LogPw Zq7S3cr3t",
    "qz_sv_Task 5 0 qz_sv_UconAdd 1 * someone Zq7S3cr3t",
    "qz_sv_Task 5 0 qz_sv_AdminAdd eve all Zq7S3cr3t",
    "qz_sv_Task 5 0 \"qz_sv_Ver;qz_sv_LogPw Zq7S3cr3t\"",
    "qz_sv_Ver;qz_sv_HttpKey Zq7S3cr3t",
    "rconpassword Zq7S3cr3t",
    "set rconpassword Zq7S3cr3t",
    "seta qz_sv_HttpKey Zq7S3cr3t",
    "rcon qz_sv_HttpKey Zq7S3cr3t",
    "qz_sv_Task 5 0 rconpassword Zq7S3cr3t",
};
constexpr const char* kSecret = "Zq7S3cr3t";

int freeUdpPort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The module with the WebTool, a UCON session, a power player allowed every rcon command and the
// diagnostic logs on.
class SecretPaths : public webtest::WebModule, public ::testing::WithParamInterface<const char*> {
  protected:
    void configure(sim::SimHost&) override {
        std::filesystem::create_directories(home());
        std::ofstream(home() + "qzucon.use") << "";
    }
    void SetUp() override {
        WebModule::SetUp();
        int port = freeUdpPort();
        run("qz_sv_extraport " + std::to_string(port));
        ASSERT_TRUE(anyLineContains(run("sim_advance 0"), "Listening for UDP on"));
        run("qz_sv_USessionLimit 2");
        run("qz_sv_UconAdd 1 127.0.0.* admin UconPw1");
        ucon_.pump = [](void* self) { static_cast<SecretPaths*>(self)->run("sim_advance 0"); };
        ucon_.pumpArg = this;
        ASSERT_TRUE(uconClientConnect(&ucon_, ("127.0.0.1:" + std::to_string(port)).c_str(),
                                      "admin", "UconPw1"));
        ASSERT_TRUE(uconClientLogin(&ucon_, 20000)) << ucon_.error;
        run(std::string("qz_sv_PowerGuid ") + webtest::guidOf(1) + " 90 Ann");
        run("qz_sv_Rcon 10 *");
        join("Ann", 1);
        run("sim_advance 1000");
        run("qz_sv_DiagLog all 1");
    }
    void TearDown() override {
        uconClientClose(&ucon_);
        WebModule::TearDown();
    }
    // Every line the UCON session received so far.
    void drain() {
        char line[1500];
        while (uconClientRecv(&ucon_, line, sizeof line, 50) == 1) uconLines_.emplace_back(line);
    }
    UconClient ucon_;
    std::vector<std::string> uconLines_;
};

TEST_P(SecretPaths, NoPathShowsOrStoresTheSecret) {
    const std::string form = GetParam();
    // The WebTool's console line and its results page (first: the line may change the web key).
    std::string page = post("exec_cmd_text=" + form + "\r\nexec_cmd=To console->\r\n");
    // The console (echoes, the server log, the audit log, the events log).
    run(form);
    // A UCON session: its echo to every session and the "[From ...]" line of the log.
    ASSERT_TRUE(uconClientSend(&ucon_, form.c_str()));
    drain();
    // A power player's rcon command (the packets log).
    run("sim_rcon 1 " + form);
    // The tasks run, the diagnostic logs are written out.
    run("sim_advance 6000");
    drain();
    run("qz_sv_DiagLog all 0");

    EXPECT_TRUE(webtest::has(page, "<i>Game Command Results</i>")) << page;
    EXPECT_FALSE(webtest::has(page, kSecret)) << page;
    // The line itself is handed to the game by the WebTool and by the power player's command:
    // that is running it, not showing it. Everything else the module printed or sent is checked.
    for (const std::string& line : host().output()) {
        if (line == "[host] Cmd_Exec " + form) continue;
        EXPECT_EQ(line.find(kSecret), std::string::npos) << line;
    }
    for (const std::string& line : uconLines_)
        EXPECT_EQ(line.find(kSecret), std::string::npos) << line;
    std::vector<std::string> files = {"qzaudit.log", "qzsvev.log", "qzsvpkt.log", "qzsvsend.log"};
    for (const auto& entry : std::filesystem::directory_iterator(home() + "svlogs"))
        files.push_back("svlogs/" + entry.path().filename().string());
    bool sawLine = false;
    for (const std::string& name : files) {
        std::string text = slurp(home() + name);
        EXPECT_EQ(text.find(kSecret), std::string::npos) << name << ":\n" << text;
        sawLine = sawLine || text.find("*****") != std::string::npos;
    }
    // The paths did see the line: it stands masked somewhere.
    EXPECT_TRUE(sawLine);
    EXPECT_NE(slurp(home() + "qzsvev.log").find("CONSOLE"), std::string::npos);
    EXPECT_NE(slurp(home() + "qzsvpkt.log").find("QZ_RCON"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Forms, SecretPaths, ::testing::ValuesIn(kSecretForms),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return qztest::caseName(p.index, p.param);
                         });

}  // namespace
