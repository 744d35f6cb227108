// The remote-console texts and the parsers of the server's answers and game log.
#include "qzbridge/rcontext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qzb::LogKind;

struct SafeCase {
    const char* text;
    const char* expected;
};

void PrintTo(const SafeCase& c, std::ostream* os) { *os << "\"" << c.text << "\""; }

class SafeText : public ::testing::TestWithParam<SafeCase> {};

TEST_P(SafeText, OutsideTextCannotEndOrAddACommand) {
    EXPECT_EQ(qzb::quoted(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(HostileNames, SafeText,
                         ::testing::Values(SafeCase{"Sarge", "\"Sarge\""},
                                           SafeCase{"x\";quit", "\"x':quit\""},
                                           SafeCase{"a;rcon_password x", "\"a:rcon_password x\""},
                                           SafeCase{"line\nquit", "\"line quit\""},
                                           SafeCase{"cr\rquit", "\"cr quit\""},
                                           SafeCase{"cut//quit", "\"cut/ /quit\""},
                                           SafeCase{"open/*quit", "\"open/ *quit\""},
                                           SafeCase{"^1Red^7Fox", "\"^1Red^7Fox\""},
                                           SafeCase{"tab\there", "\"tab here\""}));

TEST(SafeTextBounds, LongTextIsCutToTheArgumentLimit) {
    std::string text(5000, 'a');
    EXPECT_EQ(qzb::safeText(text).size(), qzb::kArgMax);
    // Inserted blanks never push the result past the limit either.
    std::string slashes(1000, '/');
    EXPECT_LE(qzb::safeText(slashes).size(), qzb::kArgMax);
}

TEST(SafeTextBounds, EveryByteValueGivesOneCommandArgument) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    std::string q = qzb::quoted(all);
    ASSERT_GE(q.size(), 2u);
    EXPECT_EQ(q.find('"', 1), q.size() - 1);
    EXPECT_EQ(q.find(';'), std::string::npos);
    EXPECT_EQ(q.find('\n'), std::string::npos);
    EXPECT_EQ(q.find('\r'), std::string::npos);
    EXPECT_EQ(q.find("//"), std::string::npos);
}

TEST(CvarName, OnlyPlainNamesAreSent) {
    EXPECT_TRUE(qzb::validCvarName("g_gametype"));
    EXPECT_TRUE(qzb::validCvarName("sv_maxclients"));
    EXPECT_FALSE(qzb::validCvarName(""));
    EXPECT_FALSE(qzb::validCvarName("a;quit"));
    EXPECT_FALSE(qzb::validCvarName("a b"));
    EXPECT_FALSE(qzb::validCvarName(std::string(64, 'a')));
}

TEST(SplitCommands, SplitsAtSemicolonsAndLineEndsOutsideQuotes) {
    EXPECT_EQ(qzb::splitCommands("map oasago2"), std::vector<std::string>{"map oasago2"});
    EXPECT_EQ(qzb::splitCommands("g_gametype 1; map_restart\nsay hi"),
              (std::vector<std::string>{"g_gametype 1", "map_restart", "say hi"}));
    EXPECT_EQ(qzb::splitCommands("say \"a;b\" ;  ; "), std::vector<std::string>{"say \"a;b\""});
    // A quote left open does not carry past the line end.
    EXPECT_EQ(qzb::splitCommands("say \"open\nquit"),
              (std::vector<std::string>{"say \"open", "quit"}));
}

TEST(BuildRcon, PacketCarriesPasswordAndCommand) {
    std::string packet;
    ASSERT_TRUE(qzb::buildRcon("s3cret", "status", &packet));
    EXPECT_EQ(packet, std::string("\xff\xff\xff\xffrcon s3cret status"));
}

TEST(BuildRcon, RefusesWhatTheServerWouldReadDifferently) {
    std::string packet;
    EXPECT_FALSE(qzb::buildRcon("", "status", &packet));
    EXPECT_FALSE(qzb::buildRcon("two words", "status", &packet));
    EXPECT_FALSE(qzb::buildRcon("q\"uote", "status", &packet));
    EXPECT_FALSE(qzb::buildRcon("pw", "status\nquit", &packet));
    EXPECT_FALSE(qzb::buildRcon("pw", std::string("status\0quit", 11), &packet));
}

TEST(ReplyText, OnlyPrintPacketsAreAnswers) {
    std::string text;
    const char print[] = "\xff\xff\xff\xffprint\nhello\n";
    EXPECT_TRUE(qzb::replyText(print, sizeof print - 1, &text));
    EXPECT_EQ(text, "hello\n");
    const char other[] = "\xff\xff\xff\xffstatusResponse\n";
    EXPECT_FALSE(qzb::replyText(other, sizeof other - 1, &text));
    EXPECT_FALSE(qzb::replyText("", 0, &text));
    EXPECT_TRUE(qzb::isBadPassword("Bad rconpassword.\n"));
    EXPECT_FALSE(qzb::isBadPassword("map: oasago2\n"));
}

// As the server prints it: the name padded to its column, the address after "^7".
const char kStatus[] =
    "map: oasago2\n"
    "cl score ping name            address                                 rate \n"
    "-- ----- ---- --------------- --------------------------------------- -----\n"
    " 0     0    0                 ^7bot                                     16384\n"
    " 1    -3   12 Evil;quit       ^7bot                                     16384\n"
    " 2     0 CNCT Two Words ^1Red ^7127.0.0.2:27960                         25000\n"
    "12     5   48 LongNameFilling^7127.0.0.2:27961                          25000\n"
    "\n";

TEST(ParseStatus, ReadsNumbersNamesAndAddresses) {
    std::string map;
    std::vector<qzb::StatusEntry> e;
    ASSERT_TRUE(qzb::parseStatus(kStatus, &map, &e));
    EXPECT_EQ(map, "oasago2");
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].client, 0);
    EXPECT_EQ(e[0].name, "");
    EXPECT_EQ(e[0].address, "bot");
    EXPECT_EQ(e[1].client, 1);
    EXPECT_EQ(e[1].name, "Evil;quit");
    EXPECT_EQ(e[2].name, "Two Words ^1Red");
    EXPECT_EQ(e[2].address, "127.0.0.2:27960");
    EXPECT_TRUE(e[2].connecting);
    EXPECT_EQ(e[3].client, 12);
    EXPECT_EQ(e[3].name, "LongNameFilling");
    EXPECT_EQ(e[3].address, "127.0.0.2:27961");
}

TEST(ParseStatus, OtherTextIsNoListing) {
    std::string map;
    std::vector<qzb::StatusEntry> e;
    EXPECT_FALSE(qzb::parseStatus("Bad rconpassword.\n", &map, &e));
    EXPECT_TRUE(e.empty());
    EXPECT_TRUE(qzb::parseStatus("map: q3dm1\nnothing else", &map, &e));
    EXPECT_TRUE(e.empty());
}

TEST(ParseDumpUser, FindsAddressAndGuid) {
    std::string ip, guid, name;
    ASSERT_TRUE(qzb::parseDumpUser(
        "userinfo\n--------\nname                 Some Player\nip                   "
        "127.0.0.2:27960\ncl_guid              0123456789ABCDEF0123456789ABCDEF\n",
        &ip, &guid, &name));
    EXPECT_EQ(ip, "127.0.0.2:27960");
    EXPECT_EQ(guid, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(name, "Some Player");
    EXPECT_FALSE(qzb::parseDumpUser("Bad slot number: 9\n", &ip, &guid, &name));
    EXPECT_EQ(ip, "");
}

TEST(ParseServerInfo, ReadsNameValueLines) {
    std::vector<std::pair<std::string, std::string>> v;
    ASSERT_TRUE(qzb::parseServerInfo(
        "Server info settings:\nversion              ioq3 1.36 linux\nsv_maxclients        8\n",
        &v));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], (std::pair<std::string, std::string>{"version", "ioq3 1.36 linux"}));
    EXPECT_EQ(v[1].second, "8");
}

TEST(ParseCvarReply, TakesTheValueWithoutItsColourReset) {
    std::string value;
    ASSERT_TRUE(
        qzb::parseCvarReply("\"g_log\" is:\"games.log^7\", the default\n", "g_log", &value));
    EXPECT_EQ(value, "games.log");
    EXPECT_FALSE(qzb::parseCvarReply("\"other\" is:\"x^7\"\n", "g_log", &value));
    EXPECT_FALSE(qzb::parseCvarReply("Unknown command \"g_lo\"\n", "g_log", &value));
}

struct LogCase {
    const char* line;
    LogKind kind;
    int client;
    const char* name;
    const char* guid;
    bool bot;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << "\"" << c.line << "\""; }

class LogLine : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLine, ParsesWhatTheGameWrites) {
    qzb::LogEvent e = qzb::parseLogLine(GetParam().line);
    EXPECT_EQ(e.kind, GetParam().kind);
    EXPECT_EQ(e.client, GetParam().client);
    EXPECT_EQ(e.name, GetParam().name);
    EXPECT_EQ(e.guid, GetParam().guid);
    EXPECT_EQ(e.bot, GetParam().bot);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LogLine,
    ::testing::Values(
        LogCase{"  0:06 ClientUserinfoChanged: 0 n\\Nameless0\\t\\0\\model\\sarge\\skill\\ "
                "1.00\\tt\\0\\tl\\0\\id\\",
                LogKind::kUserinfo, 0, "Nameless0", "", true},
        LogCase{" 12:34 ClientUserinfoChanged: 5 n\\Evil;quit\\t\\0\\id\\"
                "0123456789ABCDEF0123456789ABCDEF",
                LogKind::kUserinfo, 5, "Evil;quit", "0123456789ABCDEF0123456789ABCDEF", false},
        LogCase{"  0:06 ClientConnect: 0", LogKind::kConnect, 0, "", "", false},
        LogCase{"  1:00 ClientDisconnect: 63", LogKind::kDisconnect, 63, "", "", false},
        LogCase{"  1:00 ClientDisconnect: 64", LogKind::kOther, -1, "", "", false},
        LogCase{"  1:00 ClientConnect: -1", LogKind::kOther, -1, "", "", false},
        LogCase{"  0:00 InitGame: \\sv_hostname\\x", LogKind::kInitGame, -1, "", "", false},
        LogCase{"  9:59 ShutdownGame:", LogKind::kShutdown, -1, "", "", false},
        LogCase{"  0:07 Item: 0 ammo_rockets", LogKind::kOther, -1, "", "", false},
        LogCase{"  0:07 say: x: ClientConnect: 3", LogKind::kOther, -1, "", "", false},
        LogCase{"ClientConnect: 4", LogKind::kConnect, 4, "", "", false},
        LogCase{"  0:06 ClientUserinfoChanged: 2", LogKind::kOther, -1, "", "", false},
        LogCase{"", LogKind::kOther, -1, "", "", false}));

}  // namespace
