// The audit log's writer on a bare state: JSON escaping of hostile texts, the record's fields,
// rotation by size, the bounded tail read, and a write that fails (a file size limit).
#include "media/audit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audit_json.h"
#include "host/state.h"
#include "support/case_name.h"
#include "util/clock.h"
#include "util/files.h"

namespace {

struct EscapeCase {
    const char* text;
    const char* json;
};

// The listing shows the expected JSON (the texts hold raw control bytes).
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.json; }

class AuditEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(AuditEscape, HostileTextBecomesOneValidJsonString) {
    char out[512];
    int len = 0;
    out[0] = 0;
    auditJsonString(out, sizeof out, &len, GetParam().text, 200);
    EXPECT_EQ(std::string(out), GetParam().json);
    EXPECT_TRUE(audittest::validJson(out)) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AuditEscape,
    ::testing::Values(EscapeCase{"plain", "\"plain\""},
                      EscapeCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                      EscapeCase{"C:\\games\\", "\"C:\\\\games\\\\\""},
                      EscapeCase{"a\nb\rc\td\x01", "\"a\\u000ab\\u000dc\\u0009d\\u0001\""},
                      EscapeCase{"del\x7f", "\"del\\u007f\""},
                      // Valid UTF-8 stays as it is; every other byte is kept as \udcNN.
                      EscapeCase{"J\xc3\xbcrgen \xe2\x82\xac", "\"J\xc3\xbcrgen \xe2\x82\xac\""},
                      EscapeCase{"\xff\xfe", "\"\\udcff\\udcfe\""},
                      EscapeCase{"J\xf6rg", "\"J\\udcf6rg\""},
                      EscapeCase{"caf\xe9 \xff", "\"caf\\udce9 \\udcff\""},
                      EscapeCase{"over\xc0\x80long", "\"over\\udcc0\\udc80long\""},
                      EscapeCase{"sur\xed\xa0\x80", "\"sur\\udced\\udca0\\udc80\""},
                      EscapeCase{"cut\xe2\x82", "\"cut\\udce2\\udc82\""},
                      EscapeCase{"</script>", "\"</script>\""}),
    [](const ::testing::TestParamInfo<EscapeCase>& p) {
        return qztest::caseName(p.index, p.param.text);
    });

TEST(AuditEscapeBounds, ALongTextIsCutWholeAndMarked) {
    std::string text(300, 'x');
    text += "\xe2\x82\xac";
    char out[64];
    int len = 0;
    out[0] = 0;
    auditJsonString(out, sizeof out, &len, text.c_str(), 1000);
    EXPECT_TRUE(audittest::validJson(out)) << out;
    EXPECT_LT(len, 64);
    char small[512];
    len = 0;
    small[0] = 0;
    auditJsonString(small, sizeof small, &len, text.c_str(), 10);
    EXPECT_EQ(std::string(small), "\"xxxxxxxxxx...\"");
}

// A started-looking state with its own home directory.
class AuditFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qzauditXXXXXX";
        dir_ = mkdtemp(tmpl);
        ASSERT_TRUE(setHomeDir((dir_ + "/").c_str()));
        sv_ = std::make_unique<stQzSv>();
        sv_->audit.on = 1;  // as start-up sets it once the home directory exists
    }
    void TearDown() override {
        auditClose(sv_.get());
        std::filesystem::remove_all(dir_);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> lines(const std::string& name = QZ_AUDIT_FILE) const {
        std::vector<std::string> out;
        std::istringstream in(read(name));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string dir_;
    std::unique_ptr<stQzSv> sv_;
};

TEST_F(AuditFile, ARecordHoldsTimeOriginActionTargetCommandAndResult) {
    QzOrigin o = qzOrigin(QZ_ORIGIN_WEB, 0, "alice", "10.1.2.3:5555", nullptr);
    QzOriginScope scope(sv_.get(), &o);
    QzAuditTarget t{7, "Bad\"Guy\\", "0123456789ABCDEF0123456789ABCDEF", "1.2.3.4:27960"};
    ASSERT_TRUE(auditWrite(sv_.get(), "kick", &t, "kick 7 5 aim", QZ_AUDIT_REFUSED, "level view"));
    auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    const std::string& r = all[0];
    EXPECT_TRUE(audittest::validJson(r)) << r;
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"web\",\"name\":\"alice\",\"addr\":\"10.1.2.3:5555\"}"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("\"action\":\"kick\""), std::string::npos);
    EXPECT_NE(r.find("\"target\":{\"slot\":7,\"name\":\"Bad\\\"Guy\\\\\",\"guid\":"
                     "\"0123456789ABCDEF0123456789ABCDEF\",\"addr\":\"1.2.3.4:27960\"}"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("\"result\":\"refused\",\"why\":\"level view\""), std::string::npos) << r;
    EXPECT_EQ(r.rfind("{\"time\":\"", 0), 0u);
    EXPECT_EQ(r[r.find("\"time\":\"") + 8 + 19], 'Z');  // 2026-01-01T00:00:00Z
    struct stat st {};
    ASSERT_EQ(stat((dir_ + "/" QZ_AUDIT_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(AuditFile, NoOriginSetMeansTheGameConsole) {
    ASSERT_TRUE(auditWrite(sv_.get(), "setting", nullptr, nullptr, QZ_AUDIT_DONE, nullptr));
    auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("\"origin\":{\"kind\":\"console\"},\"action\":\"setting\","
                          "\"result\":\"done\"}"),
              std::string::npos)
        << all[0];
}

TEST_F(AuditFile, TheFileIsRotatedBySizeAndKeepsItsNumberOfOldFiles) {
    std::string command(900, 'c');
    // Enough records for QZ_AUDIT_KEEP + 1 rotations.
    const long perRecord = 1000;
    const long records = (QZ_AUDIT_KEEP + 1) * (QZ_AUDIT_ROTATE_BYTES / perRecord + 1) + 10;
    for (long i = 0; i < records; ++i) {
        ASSERT_TRUE(auditWrite(sv_.get(), "x", nullptr, command.c_str(), QZ_AUDIT_DONE, nullptr));
    }
    for (int i = 1; i <= QZ_AUDIT_KEEP; ++i) {
        std::string name = std::string(QZ_AUDIT_FILE) + "." + std::to_string(i);
        struct stat st {};
        ASSERT_EQ(stat((dir_ + "/" + name).c_str(), &st), 0) << name;
        EXPECT_LE(st.st_size, QZ_AUDIT_ROTATE_BYTES);
        EXPECT_GT(st.st_size, QZ_AUDIT_ROTATE_BYTES - 2 * perRecord);
    }
    struct stat st {};
    EXPECT_NE(
        stat((dir_ + "/" + QZ_AUDIT_FILE + "." + std::to_string(QZ_AUDIT_KEEP + 1)).c_str(), &st),
        0);
    // Every line of every file is a whole record.
    for (const auto& l : lines(std::string(QZ_AUDIT_FILE) + ".1")) {
        ASSERT_TRUE(audittest::validJson(l));
    }
}

void collect(void* ctx, const char* line) {
    static_cast<std::vector<std::string>*>(ctx)->push_back(line);
}

TEST_F(AuditFile, TheTailReadGivesTheNewestMatchingRecordsOldestFirst) {
    for (int i = 0; i < 50; ++i) {
        std::string cmd = "kick " + std::to_string(i) + (i % 2 ? " Bob" : " Ann");
        ASSERT_TRUE(auditWrite(sv_.get(), "kick", nullptr, cmd.c_str(), QZ_AUDIT_DONE, nullptr));
    }
    std::vector<std::string> got;
    EXPECT_EQ(auditTail(sv_.get(), "bob", 3, collect, &got), 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].find("kick 45 Bob"), std::string::npos);
    EXPECT_NE(got[2].find("kick 49 Bob"), std::string::npos);
    got.clear();
    EXPECT_EQ(auditTail(sv_.get(), "", 100, collect, &got), 50);
}

TEST_F(AuditFile, TheTailReadLooksAtABoundedEndOfALargeFile) {
    std::string command(1000, 'z');
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(auditWrite(sv_.get(), "x", nullptr, command.c_str(), QZ_AUDIT_DONE, nullptr));
    }
    std::vector<std::string> got;
    int n = auditTail(sv_.get(), "", 1000, collect, &got);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, QZ_AUDIT_TAIL_BYTES / 1000 + 1);
    for (const auto& l : got) EXPECT_TRUE(audittest::validJson(l));
}

// A full disk, made with a file size limit in a child process: the write fails, the caller is
// told, and once there is room again the next record stands on a line of its own.
TEST_F(AuditFile, AWriteThatFailsIsReportedAndTheNextRecordIsWhole) {
    ASSERT_TRUE(auditWrite(sv_.get(), "first", nullptr, nullptr, QZ_AUDIT_DONE, nullptr));
    long size = static_cast<long>(read(QZ_AUDIT_FILE).size());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {};
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(size + 20);
        setrlimit(RLIMIT_FSIZE, &lim);
        std::string big(200, 'b');
        bool wrote = auditWrite(sv_.get(), "second", nullptr, big.c_str(), QZ_AUDIT_DONE, nullptr);
        bool said = std::string(sv_->audit.lastError).find("large") != std::string::npos ||
                    sv_->audit.lastError[0];
        // Room again (the limit lifted is not allowed to an unprivileged process: a new child
        // state continues from the file as it was left).
        _exit(!wrote && said ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The cut record (20 bytes of it) is in the file; the next one, by a state that opens the
    // file afresh, starts on a new line.
    auditClose(sv_.get());
    std::string cut = read(QZ_AUDIT_FILE);
    ASSERT_GT(static_cast<long>(cut.size()), size);
    ASSERT_NE(cut.back(), '\n');
    ASSERT_TRUE(auditWrite(sv_.get(), "third", nullptr, nullptr, QZ_AUDIT_DONE, nullptr));
    auto all = lines();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(audittest::validJson(all[0]));
    EXPECT_FALSE(audittest::validJson(all[1]));
    EXPECT_TRUE(audittest::validJson(all[2]));
    std::vector<std::string> got;
    EXPECT_EQ(auditTail(sv_.get(), "", 10, collect, &got), 2);  // the cut line is skipped
}

// Every byte of a text comes back when its record is read: valid UTF-8, ISO-8859-1 bytes,
// quotes, backslashes, control characters and every byte value (in pieces within a name's bound).
TEST_F(AuditFile, EveryByteOfATextIsReadBackAsItWasRecorded) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    const std::string texts[] = {"caf\xe9 \xff",
                                 "J\xf6rg",
                                 "Zo\xc3\xab \xe2\x82\xac",
                                 "a\\b\"c\x01\x7f",
                                 "\xed\xa0\x80\xf0\x9f\x98\x80",
                                 all.substr(0, 60),
                                 all.substr(60, 60),
                                 all.substr(120, 60),
                                 all.substr(180, 60),
                                 all.substr(240)};
    for (const std::string& text : texts) {
        QzAuditTarget t{3, text.c_str(), "", ""};
        ASSERT_TRUE(auditWrite(sv_.get(), "kick", &t, text.c_str(), QZ_AUDIT_DONE, text.c_str()));
        std::string line = lines().back();
        EXPECT_TRUE(audittest::validJson(line)) << line;
        QzAuditView v;
        ASSERT_TRUE(auditDecode(line.c_str(), &v)) << line;
        EXPECT_EQ(std::string(v.targetName), text);
        EXPECT_EQ(std::string(v.command), text);
        EXPECT_EQ(std::string(v.why), text);
        EXPECT_EQ(v.targetSlot, 3);
        EXPECT_EQ(std::string(v.action), "kick");
        EXPECT_EQ(std::string(v.result), "done");
        EXPECT_EQ(std::string(v.kind), "console");
    }
}

struct FilterCase {
    const char* filter;
    const char* finds;  // the name of the one record it finds
};

class AuditFilter : public AuditFile, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(AuditFilter, FindsWhatWasTypedInTheGamesOrTheBrowsersSpelling) {
    for (const char* name : {"caf\xe9 \xff", "J\xf6rg", "Zo\xc3\xab", "Plain"}) {
        QzAuditTarget t{1, name, "", ""};
        ASSERT_TRUE(auditWrite(sv_.get(), "kick", &t, "qz_sv_Kick 1", QZ_AUDIT_DONE, nullptr));
    }
    std::vector<std::string> got;
    EXPECT_EQ(auditTail(sv_.get(), GetParam().filter, 10, collect, &got), 1);
    ASSERT_EQ(got.size(), 1u);
    QzAuditView v;
    ASSERT_TRUE(auditDecode(got[0].c_str(), &v));
    EXPECT_EQ(std::string(v.targetName), GetParam().finds);
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, AuditFilter,
    ::testing::Values(FilterCase{"caf\xe9", "caf\xe9 \xff"},       // as the game has it
                      FilterCase{"CAF\xc3\xa9", "caf\xe9 \xff"},   // typed as UTF-8
                      FilterCase{"\xff", "caf\xe9 \xff"},          // a lone byte
                      FilterCase{"j\xf6rg", "J\xf6rg"},            // without regard to case
                      FilterCase{"J\xc3\xb6rg", "J\xf6rg"},        // typed as UTF-8
                      FilterCase{"zo\xc3\xab", "Zo\xc3\xab"},      // recorded as UTF-8
                      FilterCase{"Zo\xeb", "Zo\xc3\xab"},          // typed as ISO-8859-1
                      FilterCase{"\"name\":\"Plain\"", "Plain"}),  // the record as written
    [](const ::testing::TestParamInfo<FilterCase>& p) {
        return qztest::caseName(p.index, p.param.finds);
    });

// The refusals of one minute beyond QZ_AUDIT_REFUSALS_PER_MIN become one summary record at the
// minute's end; actions are recorded whatever the rate.
class AuditRate : public AuditFile {
  protected:
    static inline long long now_ = 1781524800;  // 2026-06-15 12:00:00 UTC
    static void clock(long long* seconds, int* microseconds) {
        *seconds = now_;
        *microseconds = 0;
    }
    void SetUp() override {
        clockSetSource(clock);
        AuditFile::SetUp();
    }
    void TearDown() override {
        AuditFile::TearDown();
        clockSetSource(nullptr);
    }
    int count(const std::string& text) {
        int n = 0;
        for (const auto& l : lines()) n += l.find(text) != std::string::npos;
        return n;
    }
};

TEST_F(AuditRate, RefusalsBeyondTheRateBecomeOneSummaryAndActionsAreAllKept) {
    QzOrigin o = qzOrigin(QZ_ORIGIN_WEB, 0, "viewer", "10.1.2.3:5555", nullptr);
    o.level = 1;
    QzOriginScope scope(sv_.get(), &o);
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(
            auditWrite(sv_.get(), "kickslot", nullptr, nullptr, QZ_AUDIT_REFUSED, "level view"));
        if (i % 100 == 0) {
            ASSERT_TRUE(auditWrite(sv_.get(), "plist-kick", nullptr, nullptr, QZ_AUDIT_DONE, ""));
        }
    }
    EXPECT_EQ(count("\"action\":\"kickslot\""), QZ_AUDIT_REFUSALS_PER_MIN);
    EXPECT_EQ(count("\"action\":\"plist-kick\""), 5);
    EXPECT_EQ(count("refusals-summary"), 0);
    // The frame writes the summary once the minute is over.
    auditFrame(sv_.get());
    EXPECT_EQ(count("refusals-summary"), 0);
    now_ += 61;
    auditFrame(sv_.get());
    ASSERT_EQ(count("refusals-summary"), 1);
    std::string summary = lines().back();
    EXPECT_TRUE(audittest::validJson(summary)) << summary;
    EXPECT_NE(summary.find("470 refusals beyond 30 a minute"), std::string::npos) << summary;
    EXPECT_NE(summary.find("470 by web viewer (view) from 10.1.2.3 kickslot"), std::string::npos)
        << summary;
    // A new minute records refusals again, and the summary is not written twice.
    ASSERT_TRUE(auditWrite(sv_.get(), "kickslot", nullptr, nullptr, QZ_AUDIT_REFUSED, "again"));
    EXPECT_NE(lines().back().find("\"why\":\"again\""), std::string::npos);
    now_ += 61;
    auditFrame(sv_.get());
    EXPECT_EQ(count("refusals-summary"), 1);
}

TEST_F(AuditFile, AWebToolRecordNamesTheAdministratorsLevel) {
    QzOrigin o = qzOrigin(QZ_ORIGIN_WEB, 0, "kurt", "10.1.2.3:5555", nullptr);
    o.level = 2;
    QzOriginScope scope(sv_.get(), &o);
    ASSERT_TRUE(auditWrite(sv_.get(), "kickslot", nullptr, nullptr, QZ_AUDIT_DONE, nullptr));
    EXPECT_NE(lines().back().find("\"origin\":{\"kind\":\"web\",\"name\":\"kurt\",\"level\":"
                                  "\"kick\",\"addr\":\"10.1.2.3:5555\"}"),
              std::string::npos)
        << lines().back();
}

}  // namespace
