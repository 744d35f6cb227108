// The diagnostic logs qzsvev.log, qzsvpkt.log and qzsvsend.log, driven as the host drives the
// module: switched at the console, written by connects, packets and console lines.
#include "media/diag.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "remote/packets.h"
#include "remote/ucon_wire.h"
#include "support/case_name.h"
#include "support/module_fixture.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

long fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

class DiagLogs : public ModuleTest {
  protected:
    // What the three logs hold once written out (switching a log off writes it out).
    std::string closeAndRead(const char* file) {
        run("qz_sv_DiagLog all 0");
        return readFile(home() + file);
    }
    // Connects a player, sends a packet from him and types a console line.
    void traffic() {
        run("sim_connect Fox 0123456789ABCDEF0123456789ABCDEF 1.2.3.4:27960");
        run("sim_packet 1 QZ_HELLO diag\\x01");
        run("qz_sv_Ver");
        run("sim_advance 1500");
    }
};

struct LogCase {
    const char* word;
    const char* file;
    const char* expected[2];
};
void PrintTo(const LogCase& c, std::ostream* os) { *os << c.file; }

const LogCase kLogCases[] = {
    {"ev",
     "qzsvev.log",
     {"CONNECT slot 1 Fox\\\\0123456789ABCDEF0123456789ABCDEF\\\\1.2.3.4:27960\\\\W -> admitted",
      "CONSOLE qz_sv_Ver"}},
    {"pkt", "qzsvpkt.log", {"from slot 1 (", "QZ_HELLO diag\\x01"}},
    {"send", "qzsvsend.log", {"to slot 1 (", "host "}},
};

class DiagLogEach : public DiagLogs, public ::testing::WithParamInterface<LogCase> {};

TEST_P(DiagLogEach, ReceivesItsStampedLinesWhenOnAndTheOthersStayEmpty) {
    const LogCase& c = GetParam();
    auto on = run(std::string("qz_sv_DiagLog ") + c.word + " 1");
    EXPECT_TRUE(anyLineContains(on, std::string("Diagnostic log ") + c.file + " is on"));
    traffic();
    std::string text = closeAndRead(c.file);
    for (const char* want : c.expected) EXPECT_NE(text.find(want), std::string::npos) << text;
    // Every line is stamped as the server log's lines are, and ends in CR LF.
    ASSERT_FALSE(text.empty());
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind("[01.01.2026 00:00:", 0), 0u) << line;
        EXPECT_EQ(line.back(), '\r') << line;
    }
    for (const LogCase& other : kLogCases) {
        if (std::string(other.file) != c.file) {
            EXPECT_FALSE(exists(home() + other.file)) << other.file;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DiagLogEach, ::testing::ValuesIn(kLogCases),
                         [](const ::testing::TestParamInfo<LogCase>& p) {
                             return qztest::caseName(p.index, p.param.word);
                         });

TEST_F(DiagLogs, AreOffByDefaultAndWriteNothing) {
    auto shown = run("qz_sv_DiagLog");
    EXPECT_EQ(shown, (std::vector<std::string>{"Diagnostic log qzsvev.log is off",
                                               "Diagnostic log qzsvpkt.log is off",
                                               "Diagnostic log qzsvsend.log is off"}));
    traffic();
    for (const LogCase& c : kLogCases) EXPECT_FALSE(exists(home() + c.file)) << c.file;
}

TEST_F(DiagLogs, SwitchedOffAgainTheyStopGrowing) {
    run("qz_sv_DiagLog ev 1");
    run("qz_sv_Ver");
    run("qz_sv_DiagLog ev 0");
    long size = fileSize(home() + "qzsvev.log");
    EXPECT_GT(size, 0);
    traffic();
    EXPECT_EQ(fileSize(home() + "qzsvev.log"), size);
}

TEST_F(DiagLogs, LinesAreGatheredAndWrittenOutOnceASecondByTheFrame) {
    run("qz_sv_DiagLog ev 1");
    run("qz_sv_Ver");
    EXPECT_EQ(fileSize(home() + "qzsvev.log"), 0);  // waiting in the buffer
    run("sim_advance 1000");
    EXPECT_GT(fileSize(home() + "qzsvev.log"), 0);
}

TEST_F(DiagLogs, ALogAtItsCapMovesToDotOneAndNeitherFileExceedsTheCap) {
    run("qz_sv_DiagLog cap 16");
    run("qz_sv_DiagLog ev 1");
    for (int i = 0; i < 1200; ++i) run("qz_sv_Ver");
    run("qz_sv_DiagLog ev 0");
    long now = fileSize(home() + "qzsvev.log");
    long old = fileSize(home() + "qzsvev.log.1");
    EXPECT_GT(now, 0);
    EXPECT_GT(old, 16 * 1024 - 200);
    EXPECT_LE(now, 16 * 1024);
    EXPECT_LE(old, 16 * 1024);
    // Whole lines only: each file begins with a stamp and ends with a line end.
    for (const char* f : {"qzsvev.log", "qzsvev.log.1"}) {
        std::string text = readFile(home() + f);
        EXPECT_EQ(text.rfind("[01.01.2026 ", 0), 0u) << f;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << f;
    }
}

TEST_F(DiagLogs, CapOutsideItsBoundsIsClamped) {
    EXPECT_TRUE(anyLineContains(run("qz_sv_DiagLog cap 1"), "at 16 KiB"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_DiagLog cap 99999999"), "at 1048576 KiB"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_DiagLog cap x"), "Usage: qz_sv_DiagLog cap"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_DiagLog ev maybe"), "Usage: qz_sv_DiagLog"));
}

// Secrets typed at the console, passed to the game, or carried by remote-console and master
// packets never reach a diagnostic log; the words around them do.
TEST_F(DiagLogs, NeverHoldASecret) {
    run("qz_sv_DiagLog all 1");
    const char* secrets[] = {"S3cretWebKey", "S3cretLogPw",  "S3cretUconPw", "S3cretTyped",
                             "S3cretRcon",   "S3cretCvar",   "S3cretPacket", "S3cretDirective",
                             "S3cretTask",   "S3cretJoined", "S3cretPlayer"};
    run("qz_sv_HttpKey S3cretWebKey");
    run("qz_sv_LogPw S3cretLogPw");
    run("qz_sv_UconAdd 1 * admin S3cretUconPw");
    run("S3cretTyped");
    run("rconpassword S3cretRcon");
    run("qz_sv_Ver");
    // Secrets inside another command's line, or after a ";".
    run("qz_sv_Task 5 0 qz_sv_HttpKey S3cretTask");
    run("qz_sv_Ver;set rconpassword S3cretJoined");
    // A power player's command packet that sets the rcon password.
    const char rcon[] = "QZ_RCON rconpassword S3cretPlayer";
    diagClientPacket(1, rcon, static_cast<int>(sizeof rcon - 1));
    // What the module asks the host to set is shown by name only.
    diagHostCall("Cvar_Set", "g_password S3cretCvar");
    // A remote-console command carrying a password, and a master's security directive.
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(27999);
    inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    std::string ucon = std::string(QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN) +
                       "CMD 0123456789abcdef 4 0123 qz_sv_LogPw S3cretPacket";
    diagDatagramIn("ucon", &peer, ucon.data(), static_cast<int>(ucon.size()));
    diagDatagramOut("ucon", &peer, ucon.data(), static_cast<int>(ucon.size()));
    char tag[QZ_TAG_LEN];
    pktTag(tag, QZ_PT_DIRECTIVE);
    std::string directive = std::string(tag, QZ_TAG_LEN) + "security S3cretDirective";
    diagDatagramIn("udp", &peer, directive.data(), static_cast<int>(directive.size()));
    std::string all = closeAndRead("qzsvev.log");
    all += readFile(home() + "qzsvpkt.log");
    all += readFile(home() + "qzsvsend.log");
    for (const char* s : secrets) EXPECT_EQ(all.find(s), std::string::npos) << s << "\n" << all;
    for (const char* shown :
         {"CONSOLE qz_sv_HttpKey *****", "CONSOLE qz_sv_LogPw *****",
          "CONSOLE qz_sv_UconAdd 1 * admin *****",
          "CONSOLE (not a module command: 11 bytes withheld)", "CONSOLE rconpassword *****",
          "CONSOLE qz_sv_Task 5 0 qz_sv_HttpKey *****", "CONSOLE qz_sv_Ver;set rconpassword *****",
          "from slot 1 (33 bytes) QZ_RCON (26 bytes withheld)", "CONSOLE qz_sv_Ver",
          "host Cvar_Set g_password (", "ucon from 127.0.0.1:27999", "QZ_U CMD (",
          "QZ_D security ("}) {
        EXPECT_NE(all.find(shown), std::string::npos) << shown << "\n" << all;
    }
}

TEST_F(DiagLogs, FileBlocksShowTheirNumbersButNotTheirData) {
    run("qz_sv_DiagLog pkt 1");
    char packet[64];
    int n = pktBlockFormat(packet, sizeof packet, 7, 258, "BLOCKDATA", 9);
    ASSERT_GT(n, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    diagDatagramIn("udp", &peer, packet, n);
    std::string text = closeAndRead("qzsvpkt.log");
    EXPECT_NE(text.find("QZ_F VRFB file 7 block 258 (9 data bytes)"), std::string::npos) << text;
    EXPECT_EQ(text.find("BLOCKDATA"), std::string::npos);
}

}  // namespace
