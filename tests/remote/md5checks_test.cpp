// MD5Tool file checks on the simulated server: the rounds sent to the playing clients, the
// answers of the simulated client module from the files it is given (matching, mismatching,
// unreadable), answers to checks never sent, a client that ignores the checks, deleted and
// emptied entries, and the answer parser on its own.
#include "remote/md5checks.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/state.h"
#include "players/players_fixture.h"
#include "support/case_name.h"
#include "util/md5.h"

namespace {

// The simulated game's file: 1000 bytes of a pattern.
std::string pakBytes() {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>('a' + (i * 7) % 26);
    return bytes;
}

std::string md5Of(const std::string& bytes) {
    return qzmd5(bytes.data(), static_cast<unsigned>(bytes.size()), 0);
}

class Md5Checks : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        folder_ = gameHome() + "/client";
        mkdir(folder_.c_str(), 0755);
        mkdir((folder_ + "/etmain").c_str(), 0755);
        std::ofstream(folder_ + "/etmain/pak0.pk3", std::ios::binary) << pakBytes();
        join("Bob", kGuidA, "1.2.3.4:27960");
        run("sim_md5files 1 " + folder_);
        run("qz_sv_md5toolfreq 10");
    }
    // Adds an entry for the pattern file; the next frame sends the first round.
    void entry(const std::string& digest, const std::string& numbers,
               const std::string& file = "etmain/pak0.pk3") {
        auto lines =
            run("qz_sv_md5tool F \"" + file + "\" M \"" + digest + "\" " + numbers + " \"pak0\"");
        ASSERT_TRUE(anyLineContains(lines, "Added MD5Tool Entry")) << lines.front();
    }
    // The line of lines that sends a check ("[to N] QQZ_MD5 ..."), and its challenge seed.
    static std::string checkLine(const std::vector<std::string>& lines) {
        for (const std::string& l : lines)
            if (l.find("QQZ_MD5") != std::string::npos) return l;
        return "";
    }
    static std::string seedOf(const std::string& line) {
        std::istringstream words(line);
        std::string w;
        for (int i = 0; i < 5; ++i) words >> w;
        return w;
    }
    std::string regularLog() { return file("svlogs/00000001.log"); }
    int count(const std::vector<std::string>& lines, const std::string& text) {
        int n = 0;
        for (const std::string& l : lines) n += l.find(text) != std::string::npos;
        return n;
    }
    std::string folder_;
};

// One entry and what the client's answer to it must bring.
struct VerdictCase {
    const char* name;
    int from, length;     // the bytes whose digest the entry expects (length -1: to the end)
    const char* numbers;  // SZ, AT and LEN of the entry
    const char* file;
    const char* verdict;  // "OK", "MISMATCH" or "READ_FAIL"
    unsigned long len;    // the length the mismatch line reports
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name << " -> " << c.verdict; }

class Verdicts : public Md5Checks, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, TheAnswerIsJudgedAgainstTheEntry) {
    const VerdictCase& c = GetParam();
    const std::string bytes = pakBytes();
    std::string part =
        c.length < 0 ? bytes.substr(static_cast<size_t>(c.from))
                     : bytes.substr(static_cast<size_t>(c.from), static_cast<size_t>(c.length));
    entry(md5Of(part), c.numbers, c.file);
    auto lines = run("sim_advance 0");
    ASSERT_EQ(count(lines, "[to 1] QQZ_MD5 1 "), 1);
    const std::string head =
        std::string("MD5Tool [#1 \"") + c.file + "\" " + c.verdict + "] from (slot# 1) Bob";
    if (std::string(c.verdict) == "OK") {
        EXPECT_NE(regularLog().find(head), std::string::npos) << regularLog();
        EXPECT_FALSE(anyLineContains(lines, "VIOLATION"));
        EXPECT_NE(host().client(1), nullptr);
        return;
    }
    EXPECT_TRUE(hasLine(lines, head));
    if (std::string(c.verdict) == "MISMATCH") {
        EXPECT_TRUE(hasLine(lines, std::string("MD5Tool Mismatch: ") + c.file +
                                       " (len=" + std::to_string(c.len) + ")"));
    }
    EXPECT_TRUE(anyLineContains(lines, "VIOLATION (MD5TOOL) #1: pak0 "));
    EXPECT_TRUE(anyLineContains(lines,
                                "[host] DropClient 1 Kestrine kicked player 'Bob' (for 2 "
                                "minutes) ... (MD5TOOL) pak0 "));
    EXPECT_EQ(host().client(1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Md5Tool, Verdicts,
    ::testing::Values(
        VerdictCase{"whole file matches", 0, -1, "SZ1000 AT0 LEN0", "etmain/pak0.pk3", "OK", 0},
        VerdictCase{"size not checked", 0, -1, "SZ0 AT0 LEN0", "etmain/pak0.pk3", "OK", 0},
        VerdictCase{"part matches", 100, 64, "SZ1000 AT100 LEN64", "etmain/pak0.pk3", "OK", 0},
        VerdictCase{"tail to the end matches", 900, -1, "SZ0 AT900 LEN0", "etmain/pak0.pk3", "OK",
                    0},
        VerdictCase{"other bytes mismatch", 1, 64, "SZ1000 AT0 LEN64", "etmain/pak0.pk3",
                    "MISMATCH", 64},
        VerdictCase{"other size mismatches", 0, -1, "SZ999 AT0 LEN0", "etmain/pak0.pk3", "MISMATCH",
                    1000},
        VerdictCase{"short file mismatches", 900, -1, "SZ0 AT900 LEN200", "etmain/pak0.pk3",
                    "MISMATCH", 100},
        VerdictCase{"missing file fails to read", 0, -1, "SZ0 AT0 LEN0", "etmain/none.pk3",
                    "READ_FAIL", 0},
        VerdictCase{"offset past the end fails to read", 0, 0, "SZ0 AT5000 LEN10",
                    "etmain/pak0.pk3", "READ_FAIL", 0}),
    [](const ::testing::TestParamInfo<VerdictCase>& p) {
        return qztest::caseName(p.index, p.param.name);
    });

TEST_F(Md5Checks, EachRoundAsksAgainWithAFreshSequenceAndChallenge) {
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    auto first = run("sim_advance 0");
    ASSERT_EQ(count(first, "[to 1] QQZ_MD5 1 "), 1);
    EXPECT_EQ(count(run("sim_advance 9000"), "QQZ_MD5"), 0);
    auto second = run("sim_advance 1000");
    ASSERT_EQ(count(second, "[to 1] QQZ_MD5 2 "), 1);
    // The challenge differs, so the earlier answer is no answer to the new check.
    const std::string b = checkLine(second);
    EXPECT_NE(seedOf(checkLine(first)), seedOf(b));
    EXPECT_FALSE(seedOf(b).empty());
    EXPECT_NE(host().client(1), nullptr);
    // The client module is told the file and the bytes, never the expected digest or size.
    EXPECT_EQ(b.find(md5Of(pakBytes())), std::string::npos);
    EXPECT_NE(b.find(" F \"etmain/pak0.pk3\" AT0 LEN0"), std::string::npos) << b;
}

TEST_F(Md5Checks, AnswersToChecksNeverSentOrAlreadyAnsweredAreSequenceErrors) {
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    run("sim_advance 0");  // check 1 sent and answered
    const std::string digest(32, 'A');
    const std::vector<std::string> packets = {
        "QZ_MD5 1 " + digest + " SZ1000 AT0 LEN1000",  // answered already
        "QZ_MD5 77 READ_FAIL",                         // never sent
        "QZ_MD5 x", "QZ_MD5", "QZ_MD5 99999999999 READ_FAIL"};
    for (const std::string& packet : packets) {
        auto lines = run("sim_packet 1 " + packet);
        EXPECT_TRUE(hasLine(lines, "MD5Tool Sequence Error (slot# 1) Bob")) << packet;
        EXPECT_FALSE(anyLineContains(lines, "VIOLATION")) << packet;
    }
    // A client that answers with numbers never asked (sim_answers wrong) is not judged either.
    run("sim_answers 1 wrong");
    auto lines = run("sim_advance 10000");
    EXPECT_TRUE(hasLine(lines, "MD5Tool Sequence Error (slot# 1) Bob"));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(Md5Checks, SequenceErrorLinesAreBoundedPerMinute) {
    std::vector<std::string> all;
    for (int i = 0; i < 100; ++i) {
        auto lines = run("sim_packet 1 QZ_MD5 " + std::to_string(500 + i) + " READ_FAIL");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(count(all, "MD5Tool Sequence Error (slot# 1) Bob"), 10);
    EXPECT_LT(all.size(), 15u);
}

TEST_F(Md5Checks, AMalformedAnswerToAWaitingCheckIsAMismatch) {
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    run("sim_answers 1 none");
    run("sim_advance 0");
    auto lines = run("sim_packet 1 QZ_MD5 1 " + md5Of(pakBytes()) + " SZ1000 AT0");
    EXPECT_TRUE(hasLine(lines, "MD5Tool Mismatch: etmain/pak0.pk3 (len=0)"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Md5Checks, AClientIgnoringTheChecksIsKicked) {
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    run("sim_answers 1 none");
    std::vector<std::string> all;
    for (int round = 0; round < 3; ++round) {
        auto lines = run(round ? "sim_advance 10000" : "sim_advance 0");
        all.insert(all.end(), lines.begin(), lines.end());
        EXPECT_FALSE(anyLineContains(lines, "VIOLATION")) << round;
    }
    auto lines = run("sim_advance 10000");
    EXPECT_TRUE(anyLineContains(
        lines, "VIOLATION (IGNORING QUERIES) #3: Ignoring MD5Tool Queries (slot #1) Bob"));
    EXPECT_TRUE(anyLineContains(lines,
                                "[host] DropClient 1 Kestrine kicked player 'Bob' (for 2 "
                                "minutes) ... (IGNORING QUERIES) Ignoring MD5Tool Queries"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Md5Checks, AnAnswerInTimeResetsTheCountOfIgnoredChecks) {
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    run("sim_answers 1 none");
    run("sim_advance 0");
    run("sim_advance 10000");
    run("sim_answers 1 right");
    run("sim_advance 10000");  // the third check is answered
    run("sim_answers 1 none");
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(anyLineContains(run("sim_advance 10000"), "VIOLATION"));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(Md5Checks, DeletedEntriesAndEntriesThatCannotBeCheckedAreNeverSent) {
    const std::string digest = md5Of(pakBytes());
    entry(digest, "SZ1000 AT0 LEN0", "etmain/deleted.pk3");
    entry(digest, "SZ1000 AT0 LEN0");
    run("qz_sv_md5tool F \"etmain/short.pk3\" M \"0123\" SZ1 AT0 LEN0 \"bad digest\"");
    run("qz_sv_md5tool X \"etmain/other.pk3\" M \"" + digest + "\" SZ1 AT0 LEN0 \"bad kind\"");
    run("qz_sv_md5tooldel 1");
    std::vector<std::string> all;
    for (int round = 0; round < 3; ++round) {
        auto lines = run(round ? "sim_advance 10000" : "sim_advance 0");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(count(all, "QQZ_MD5"), 3);
    EXPECT_EQ(count(all, "\"etmain/pak0.pk3\""), 3);
    EXPECT_FALSE(anyLineContains(all, "VIOLATION"));
    // With nothing left to check no round is sent at all.
    run("qz_sv_md5tooldel 2");
    EXPECT_EQ(count(run("sim_advance 60000"), "QQZ_MD5"), 0);
}

TEST_F(Md5Checks, ARoundAsksAtMostFourEntriesAndTheNextRoundGoesOn) {
    const std::string bytes = pakBytes();
    for (int i = 0; i < 6; ++i)
        entry(md5Of(bytes.substr(static_cast<size_t>(i) * 10, 10)),
              "SZ1000 AT" + std::to_string(i * 10) + " LEN10");
    auto first = run("sim_advance 0");
    EXPECT_EQ(count(first, "QQZ_MD5"), 4);
    auto second = run("sim_advance 10000");
    EXPECT_EQ(count(second, "QQZ_MD5"), 4);
    EXPECT_EQ(count(second, "AT40 LEN10"), 1);
    EXPECT_EQ(count(second, "AT50 LEN10"), 1);
    EXPECT_EQ(count(second, "AT0 LEN10"), 1);
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(Md5Checks, AnswersToAnEmptiedListAreNotJudged) {
    entry(md5Of("other"), "SZ0 AT0 LEN0");
    run("sim_answers 1 none");
    run("sim_advance 0");
    run("qz_sv_md5toolempty");
    entry(md5Of("other"), "SZ0 AT0 LEN0");
    auto lines = run("sim_packet 1 QZ_MD5 1 READ_FAIL");
    EXPECT_FALSE(anyLineContains(lines, "VIOLATION"));
    EXPECT_FALSE(anyLineContains(lines, "Sequence Error"));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(Md5Checks, BotsAndPlayersStillInTheExchangeAreNotAsked) {
    run("sim_connect Botty - bot");
    run("sim_clientmodule off");
    join("Silent", kGuidB, "1.2.3.5:27960");
    entry(md5Of(pakBytes()), "SZ1000 AT0 LEN0");
    auto lines = run("sim_advance 0");
    EXPECT_EQ(count(lines, "QQZ_MD5"), 1);
    EXPECT_EQ(count(lines, "[to 1] QQZ_MD5"), 1);
}

struct ParseCase {
    const char* text;
    int kind;
    unsigned seq;
    unsigned long sz, at, len;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.text << "\" -> " << c.kind; }

class AnswerParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AnswerParse, ReadsOnlyWellFormedAnswers) {
    const ParseCase& c = GetParam();
    stMd5Answer a;
    md5AnswerParse(c.text, static_cast<int>(strlen(c.text)), &a);
    EXPECT_EQ(a.kind, c.kind);
    EXPECT_EQ(a.seq, c.seq);
    if (c.kind == QZ_MD5A_DIGEST) {
        EXPECT_STREQ(a.digest, "0123456789ABCDEF0123456789ABCDEF");
        EXPECT_EQ(a.sz, c.sz);
        EXPECT_EQ(a.at, c.at);
        EXPECT_EQ(a.len, c.len);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Md5Tool, AnswerParse,
    ::testing::Values(
        ParseCase{" 7 0123456789abcdef0123456789ABCDEF SZ10 AT2 LEN8", QZ_MD5A_DIGEST, 7, 10, 2, 8},
        ParseCase{" 4294967295 0123456789abcdef0123456789ABCDEF SZ4294967295 AT0 LEN1 ",
                  QZ_MD5A_DIGEST, 4294967295u, 4294967295ul, 0, 1},
        ParseCase{" 3 READ_FAIL", QZ_MD5A_READ_FAIL, 3, 0, 0, 0},
        ParseCase{" 3 READ_FAIL x", QZ_MD5A_MALFORMED, 3, 0, 0, 0},
        ParseCase{" 3 READ_FAILED", QZ_MD5A_MALFORMED, 3, 0, 0, 0},
        ParseCase{" 5 0123456789abcdef0123456789ABCDE SZ1 AT0 LEN1", QZ_MD5A_MALFORMED, 5, 0, 0, 0},
        ParseCase{" 5 0123456789abcdef0123456789ABCDEF SZ4294967296 AT0 LEN1", QZ_MD5A_MALFORMED, 5,
                  0, 0, 0},
        ParseCase{" 5 0123456789abcdef0123456789ABCDEF SZ1 LEN1 AT0", QZ_MD5A_MALFORMED, 5, 0, 0,
                  0},
        ParseCase{" 5 0123456789abcdef0123456789ABCDEF SZ1 AT0 LEN1 more", QZ_MD5A_MALFORMED, 5, 0,
                  0, 0},
        ParseCase{" 5 0123456789abcdef0123456789ABCDEF SZ-1 AT0 LEN1", QZ_MD5A_MALFORMED, 5, 0, 0,
                  0},
        ParseCase{" 0 READ_FAIL", QZ_MD5A_BAD, 0, 0, 0, 0},
        ParseCase{" 4294967296 READ_FAIL", QZ_MD5A_BAD, 0, 0, 0, 0},
        ParseCase{" 12x READ_FAIL", QZ_MD5A_BAD, 0, 0, 0, 0},
        ParseCase{"", QZ_MD5A_BAD, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<ParseCase>& p) {
        return qztest::caseName(p.index, p.param.text);
    });

TEST(Md5AnswerParse, NeverReadsPastTheLengthItIsGiven) {
    const char text[] = " 9 READ_FAIL";
    stMd5Answer a;
    md5AnswerParse(text, 6, &a);  // " 9 REA"
    EXPECT_EQ(a.kind, QZ_MD5A_MALFORMED);
    EXPECT_EQ(a.seq, 9u);
    std::string longer = " 9 READ_FAIL" + std::string(5000, ' ') + "x";
    md5AnswerParse(longer.data(), static_cast<int>(longer.size()), &a);
    EXPECT_EQ(a.kind, QZ_MD5A_READ_FAIL);  // the text past the bound is not looked at
}

TEST(Md5Expected, IsTheEntrysDigestDigestedAgainWithTheSeed) {
    const std::string lower = "900150983cd24fb0d6963f7d28e17f72";
    const std::string upper = "900150983CD24FB0D6963F7D28E17F72";
    std::string expected = qzmd5(upper.data(), 32, 12345);
    EXPECT_EQ(std::string(md5Expected(lower.c_str(), 12345)), expected);
    EXPECT_NE(std::string(md5Expected(upper.c_str(), 12346)), expected);
}

}  // namespace
