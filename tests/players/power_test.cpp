// The power list: the commands and their messages, the power file in both record forms, the
// first-match power rule, the IP guard, and the powerful players count.
#include "players/power.h"

#include "players/players_fixture.h"
#include "players/slots.h"
#include "util/text.h"

namespace {

using Power = PlayersTest;

// The file line without its time stamp.
std::vector<std::string> records(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (line.size() > 22 && line[0] == '[') line = line.substr(22);
        out.push_back(line);
        at = end + 2;
    }
    return out;
}

TEST_F(Power, EntriesAddedBySlotAndByGuidSurviveARestart) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_Power 1 50"), std::string("Power Record Added for ") + kGuidA));
    EXPECT_TRUE(hasLine(run("qz_sv_PowerGuid FEDCBA9876543210FEDCBA9876543210 70 Al Smith"),
                        std::string("Power Record Added for ") + kGuidB));
    EXPECT_EQ(records(file("qzpower.dat")),
              (std::vector<std::string>{std::string("50 ") + kGuidA + " Bob",
                                        std::string("70 ") + kGuidB + " \"Al Smith\""}));
    // The file line's time stamp is the log time stamp.
    EXPECT_EQ(file("qzpower.dat").substr(0, 22), "[01.01.2026 00:00:00] ");

    run("qz_sv_Restart");
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(hasLine(lines, std::string("Power Record Added for ") + kGuidA));
    EXPECT_TRUE(anyLineContains(lines, "2 Power Players loaded from "));
    auto list = run("qz_sv_PowerList");
    EXPECT_TRUE(hasLine(list, "Player Power List: [Slot #] [GUID] [Points] [Name]"));
    EXPECT_TRUE(hasLine(list, std::string("1  ") + kGuidA + " 50 Bob"));
    EXPECT_TRUE(hasLine(list, std::string("2  ") + kGuidB + " 70 Al Smith"));
    EXPECT_TRUE(hasLine(list, "End of Player Power List (2 Players Displayed)"));
    EXPECT_TRUE(
        hasLine(run("qz_sv_PowerList smith"), "End of Player Power List (1 Player Displayed)"));
    // A player who joins later gets his points.
    join("Al", kGuidB, "1.2.3.5:27960");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " 70 "));
}

TEST_F(Power, PowerCommandMessagesForBadInput) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    host().setClientModule(false);
    join("Pre", kGuidB, "1.2.3.5:27960");  // never leaves "PRE "
    join("NoGuid", "", "1.2.3.6:27960");
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"qz_sv_Power 9 50", "Invalid Slot #9 Specified"},
        {"qz_sv_Power 65 50", "Invalid Slot #65 Specified"},
        {"qz_sv_Power x 50", "Invalid Slot #0 Specified"},
        {"qz_sv_Power 1 lots", "Invalid Power Points Specified: 0"},
        {"qz_sv_Power 1 100000", "Invalid Power Points Specified: 100000"},
        {"qz_sv_Power 2 50", "Only players with status of OK can be added to the Power List"},
        {"qz_sv_PowerGuid ABC many", "Invalid Power Points Specified: 0"},
        {"qz_sv_PowerGuid", "Invalid GUID Specified: "},
        {"qz_sv_PowerPoints 1 5", "Invalid Player Power Slot #: 1"},
    };
    for (const Case& c : cases) EXPECT_TRUE(hasLine(run(c.line), c.message)) << c.line;
    EXPECT_EQ(file("qzpower.dat"), "");
}

TEST_F(Power, APlayerWithoutGuidIsNotAddedSinceAnEmptyEntryWouldMatchEveryone) {
    join("NoGuid", "", "1.2.3.6:27960");
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_Power 1 500"),
                        "Player in slot #1 has no valid GUID: not added to the Power List"));
    EXPECT_TRUE(hasLine(run("qz_sv_PowerList"), "End of Player Power List (0 Players Displayed)"));
}

TEST_F(Power, PowerPointsChangesAnEntryAndAppendsIt) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Power 1 50");
    EXPECT_TRUE(hasLine(run("qz_sv_PowerPoints 1 50"), "Player already has 50 Power Points"));
    EXPECT_TRUE(hasLine(run("qz_sv_PowerPoints 1 80"), "Player Bob updated to 80 Power Points"));
    EXPECT_TRUE(hasLine(run("qz_sv_PowerPoints 1 -x"), "Invalid Power Points Specified: 0"));
    EXPECT_EQ(records(file("qzpower.dat")).back(), std::string("80 ") + kGuidA + " Bob");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " 80 "));
    // Adding the same GUID again updates the entry instead of listing it twice.
    EXPECT_TRUE(
        hasLine(run("qz_sv_Power 1 90"), std::string("Power Record Updated for ") + kGuidA));
    EXPECT_TRUE(hasLine(run("qz_sv_PowerList"), "End of Player Power List (1 Player Displayed)"));
}

TEST_F(Power, TheFirstMatchingEntryWinsAndPartsMatchWithoutRegardToCase) {
    run("qz_sv_PowerDef 3");
    run("qz_sv_PowerGuid 0123456789abcdef0123456789abcdef 40 Exact");
    run("qz_sv_PowerGuid abcd 20 Part");
    run("qz_sv_PowerGuid \"\" 7 Everyone");
    join("A", kGuidA, "1.2.3.4:27960");  // exact entry is first
    join("C", kGuidC, "1.2.3.5:27960");  // contains ABCD? no: AAAABBBBCCCC...: not "abcd"
    join("D", "FFFFABCDFFFFFFFFFFFFFFFFFFFFFFFF", "1.2.3.6:27960");
    join("N", "", "1.2.3.7:27960");
    auto list = run("qz_sv_Plist");
    EXPECT_TRUE(anyLineContains(list, std::string(kGuidA) + "(?) 1.2.3.4:27960 OK   40 "));
    EXPECT_TRUE(anyLineContains(list, std::string(kGuidC) + "(?) 1.2.3.5:27960 OK   7 "));
    EXPECT_TRUE(
        anyLineContains(list, "FFFFABCDFFFFFFFFFFFFFFFFFFFFFFFF(?) 1.2.3.6:27960 OK   20 "));
    // A player without a GUID keeps qz_sv_PowerDef.
    EXPECT_TRUE(anyLineContains(list, "NO_GUID                         (?) 1.2.3.7:27960 OK   3 "));
}

TEST_F(Power, AnEmptyFirstEntryGivesEveryPlayerItsPoints) {
    run("qz_sv_PowerGuid \"\" 15 Everyone");
    run("qz_sv_PowerGuid 0123456789ABCDEF0123456789ABCDEF 60 Bob");
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " OK   15 "));
    EXPECT_EQ(records(file("qzpower.dat"))[0], "15  \"Everyone\"");
}

TEST_F(Power, DamagedPowerFileLinesAreSkippedCountedAndLeftInTheFile) {
    const std::string text = std::string("[01.01.2026 00:00:00] 50 ") + kGuidA + " Bob\r\n" +
                             "garbage line\r\n" + "[01.01.2026 00:00:00] 1x " + kGuidB + " X\r\n" +
                             "[01.01.2026 00:00:00] 70 " + kGuidB + " \"Al Smith\"\r\n" +
                             std::string(3000, 'z') + "\r\n" + "[01.01.2026 00:00:00] 60 " +
                             kGuidA + " Bob2\r\n";
    writeFile("qzpower.dat", text);
    run("qz_sv_Restart");
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(hasLine(lines, std::string("Power Record Updated for ") + kGuidA));
    EXPECT_TRUE(anyLineContains(lines, "3 Power Players loaded from "));
    EXPECT_TRUE(anyLineContains(lines, "3 damaged lines skipped in "));
    EXPECT_EQ(file("qzpower.dat"), text);
    auto list = run("qz_sv_PowerList");
    EXPECT_TRUE(hasLine(list, std::string("1  ") + kGuidA + " 60 Bob2"));
    EXPECT_TRUE(hasLine(list, std::string("2  ") + kGuidB + " 70 Al Smith"));
}

TEST(PowerLine, ParsesBothRecordFormsAndRefusesDamage) {
    struct Case {
        const char* line;
        bool ok;
        int points;
        const char* guid;
        const char* name;
    } cases[] = {
        {"[12.04.2026 09:05:07] 50 ABC Bob\r\n", true, 50, "ABC", "Bob"},
        {"[12.04.2026 09:05:07] -5 ABC \"Al \"the\" Man\"\r\n", true, -5, "ABC", "Al 'the' Man"},
        {"[12.04.2026 09:05:07] 7  \"Everyone\"\r\n", true, 7, "", "Everyone"},
        {"9 ABC\n", true, 9, "ABC", ""},
        {"[12.04.2026 09:05:07]50 ABC Bob", false, 0, "", ""},
        {"[12.04.2026 09:05:07] 100000 ABC Bob", false, 0, "", ""},
        {"[12.04.2026 09:05:07] five ABC Bob", false, 0, "", ""},
        {"[12.04.2026 09:05:07] 5 0123456789ABCDEF0123456789ABCDEF0 Bob", false, 0, "", ""},
        {"[never closed 5 ABC Bob", false, 0, "", ""},
    };
    for (const Case& c : cases) {
        int points = 0;
        char guid[33], name[33];
        ASSERT_EQ(pwParseLine(c.line, &points, guid, name), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(points, c.points) << c.line;
        EXPECT_STREQ(guid, c.guid) << c.line;
        EXPECT_STREQ(name, c.name) << c.line;
    }
}

TEST_F(Power, TheIpGuardKeepsAdministratorPowerToGuardedAddresses) {
    run("qz_sv_GuidRelax 4");  // the administrator's GUID is in play twice, from two addresses
    run("qz_sv_PowerGuid 0123456789ABCDEF0123456789ABCDEF 150 Admin");
    run("qz_sv_PowerGuid FEDCBA9876543210FEDCBA9876543210 40 Regular");
    EXPECT_TRUE(hasLine(run("qz_sv_IPGuard 10.0.*"), "Added IP Guard: 10.0.*"));
    EXPECT_TRUE(hasLine(run("qz_sv_IPGuard 10.x"), "Invalid IP Guard Mask: 10.x"));
    EXPECT_TRUE(
        hasLine(join("Thief", kGuidA, "1.2.3.4:27960"),
                "IP Guard: 150 Power Points withheld from (slot #1) Thief at 1.2.3.4:27960"));
    join("Regular", kGuidB, "1.2.3.5:27960");
    join("Admin", kGuidA, "10.0.3.4:27960");
    auto list = run("qz_sv_Plist");
    EXPECT_TRUE(anyLineContains(list, "1.2.3.4:27960 OK   0 "));
    EXPECT_TRUE(anyLineContains(list, "1.2.3.5:27960 OK   40 "));
    EXPECT_TRUE(anyLineContains(list, "10.0.3.4:27960 OK   150 "));
}

TEST(PowerLan, LanMaskTakesBlankSeparatedBanListMasks) {
    BareState st;
    QZ_COPY(st.sv->set.lanMask, "192.168.*  10.1.2.3-9");
    struct Case {
        const char* address;
        bool lan;
    } cases[] = {{"192.168.4.4:27960", true},
                 {"10.1.2.5:1", true},
                 {"10.1.2.10:1", false},
                 {"8.8.8.8:27960", false},
                 {"loopback", false}};
    for (const Case& c : cases) EXPECT_EQ(pwIsLan(st.sv.get(), c.address), c.lan) << c.address;
    st.sv->set.lanMask[0] = 0;
    EXPECT_FALSE(pwIsLan(st.sv.get(), "192.168.4.4:27960"));
}

}  // namespace
