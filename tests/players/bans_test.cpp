// The kick/ban list: the ban commands, the rejoin check's first-entry rule, mask and name bans
// at connection, and the list commands' messages.
#include "players/bans.h"

#include <algorithm>

#include "players/players_fixture.h"

namespace {

using Bans = PlayersTest;

std::string banGuid(const char* guid, const char* name = "Bob") {
    return std::string("qz_sv_BanGuid ") + guid + " " + name + " 1.2.3.4:27960 cheating";
}

TEST_F(Bans, UnbanTwiceThenRebanTwiceGiveTheFourMessages) {
    run(banGuid(kGuidA));
    EXPECT_TRUE(hasLine(run("qz_sv_UnBan 1"),
                        "Ban Slot #1 has been Unbanned - qz_sv_UpdBanFile can "
                        "be used to update the ban file(s)"));
    EXPECT_TRUE(hasLine(run("qz_sv_UnBan 1"), "Ban Slot #1 was already Unbanned"));
    EXPECT_TRUE(hasLine(run("qz_sv_ReBan 1"),
                        "Ban Slot #1 has been Rebanned - qz_sv_UpdBanFile can "
                        "be used to update the ban file(s)"));
    EXPECT_TRUE(hasLine(run("qz_sv_ReBan 1"), "Ban Slot #1 was not Unbanned"));
    EXPECT_TRUE(hasLine(run("qz_sv_UnBan 2"), "Invalid Ban Slot Specified: 2"));
    EXPECT_TRUE(hasLine(run("qz_sv_ReBan 0"), "Invalid Ban Slot Specified: 0"));
}

TEST_F(Bans, AnUnbannedEntryIsMarkedInTheListAndAdmitsTheGuid) {
    run(banGuid(kGuidA));
    run("qz_sv_UnBan 1");
    auto lines = run("qz_sv_BanList");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("1   (UnBanned) " + std::string(kGuidA) + " \"Bob\"", 0), 0u)
        << lines[0];
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
}

TEST_F(Bans, TheFirstEntryOfAGuidDecidesEvenWhenItIsUnbanned) {
    run(banGuid(kGuidA));
    run(banGuid(kGuidA, "Again"));
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
}

TEST_F(Bans, TheGuidIsComparedWithoutRegardToCase) {
    run(banGuid("0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob refused"));
}

TEST_F(Bans, ABanEnteredWhileAKickRunsDecidesOnlyOnceTheKickIsOver) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 2 x");
    run(banGuid(kGuidA));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "for another 2 minutes"));
    run("sim_advance 120000");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "You have been BANNED"));
    auto lines = run("qz_sv_BanList");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("{2/2} Kick (over)"), std::string::npos) << lines[0];
}

TEST_F(Bans, AKickLiftedEarlyNeverHidesALaterBan) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 2 x");
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
    run("sim_advance 180000");
    run("qz_sv_Ban 1 x");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "You have been BANNED"));
}

TEST_F(Bans, TheListFilterCountsWhatItShows) {
    run(banGuid(kGuidA, "Alpha"));
    run(banGuid(kGuidB, "Beta"));
    run(banGuid(kGuidC, "Gamma"));
    run("qz_sv_BanMask 10.1.*");
    run("qz_sv_banname alphabet");
    auto lines = run("qz_sv_BanList alpha");
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "End of Ban List (2 of 5 displayed)");
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (5 of 5 displayed)"));
}

TEST_F(Bans, UnbanGuidUnbansEveryEntryOfTheGuid) {
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_UnbanGuid ") + kGuidA),
                        "Guid=" + std::string(kGuidA) + " Not Found in the Ban List"));
    run(banGuid(kGuidA));
    run(banGuid(kGuidA));
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_UnbanGuid ") + kGuidA),
                        "Guid " + std::string(kGuidA) +
                            " has been Unbanned - qz_sv_UpdBanFile can "
                            "be used to update the ban file(s)"));
    int unbanned = 0;
    for (const std::string& line : run("qz_sv_BanList")) unbanned += line.find(" (UnBanned) ") == 3;
    EXPECT_EQ(unbanned, 2);
}

TEST_F(Bans, BadArgumentsOfTheAddCommandsAreRefused) {
    EXPECT_TRUE(hasLine(run("qz_sv_BanMask"), "Empty BanMask Not Accepted"));
    EXPECT_TRUE(hasLine(run("qz_sv_banname"), "Empty BanName Not Accepted"));
    EXPECT_TRUE(hasLine(run("qz_sv_banname ^1"), "Empty BanName Not Accepted"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanMask 10.1"), "Ban Failed"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanGuid nothex Bob 1.2.3.4 x"), "Ban Failed"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (0 of 0 displayed)"));
}

TEST_F(Bans, AnAddressInsideAMaskIsRefusedWithTheSubnetTexts) {
    EXPECT_TRUE(hasLine(run("qz_sv_BanMask 10.1.2.0-99 proxy farm"), "Ban Added to Ban List"));
    auto lines = join("Bob", kGuidA, "10.1.2.50:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 1] print\\n[err_dialog]Your IP Address or Subnet has been banned "
                        "from this server by Kestrine Admin\\n"));
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 1 Your IP Address or Subnet has been banned from "
                        "this server by Kestrine Admin"));
    EXPECT_TRUE(hasLine(lines, "Ban Mask Kicked 1 (#1:10.1.2.0-99) Bob " + std::string(kGuidA)));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "10.1.2.100:27960"), "Bob admitted"));
}

TEST_F(Bans, AnUnbannedMaskRefusesNobodyAndALaterMaskIsReported) {
    run("qz_sv_BanMask 10.*");
    run("qz_sv_BanMask 10.1.2.3");
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(
        anyLineContains(join("Bob", kGuidA, "10.1.2.3:1"), "Ban Mask Kicked 1 (#2:10.1.2.3)"));
}

TEST_F(Bans, ABannedNameIsRefusedWhateverItsColoursAndCase) {
    EXPECT_TRUE(hasLine(run("qz_sv_banname \"Big Bad\""), "Ban Added to Ban List"));
    auto lines = join("^1BIG ^7bad", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 1] print\\n[err_dialog]Your Player Name has been banned from this "
                        "server by Kestrine Admin\\n"));
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 1 Your Player Name has been banned from this server "
                        "by Kestrine Admin"));
    EXPECT_TRUE(
        hasLine(lines, "Ban Name Kicked 1 (#1:Big Bad) ^1BIG ^7bad " + std::string(kGuidA)));
    // Only the whole name is banned, not names that contain it.
    EXPECT_TRUE(anyLineContains(join("Big Badger", kGuidA, "1.2.3.4:27960"), "admitted"));
}

TEST_F(Bans, EmptyingTheListLiftsEveryBanButLeavesTheFile) {
    run(banGuid(kGuidA));
    const std::string before = file("qzbans.dat");
    EXPECT_TRUE(hasLine(run("qz_sv_BanEmpty"), "Ban List (in Memory) has been Emptied"));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
    EXPECT_EQ(file("qzbans.dat"), before);
}

TEST(BanList, AKickGivesTwoThenOneThenZeroMinutes) {
    BareState s;
    int slot = banAdd(s.sv.get(), QZ_BAN_KICK, kGuidA, "\"Bob\" \"?\" ?", 2);
    stBanEntry* e = banEntry(s.sv.get(), slot);
    const unsigned t0 = e->issueTick;
    int found = 0;
    EXPECT_EQ(banRejoin(s.sv.get(), kGuidA, t0, &found), 2);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(banRejoin(s.sv.get(), kGuidA, t0 + 60000, &found), 1);
    EXPECT_EQ(banRejoin(s.sv.get(), kGuidA, t0 + 120000, &found), 0);
    EXPECT_EQ(banRejoin(s.sv.get(), kGuidB, t0, &found), 0);
    EXPECT_EQ(found, 0);
}

// Where the GUID index files a GUID depends on a secret each list draws for itself: the same
// GUIDs land in other slots after the list is emptied, and are still found in any case.
TEST(BanList, TheGuidIndexFilesKeysUnderASecretOfItsOwn) {
    BareState s;
    stBans* b = &s.sv->bans;
    std::vector<std::string> guids;
    for (int i = 0; i < 8; ++i) {
        char g[33];
        snprintf(g, sizeof g, "%032X", i * 7919 + 1);
        guids.emplace_back(g);
    }
    auto layout = [&] {
        std::vector<unsigned> slots;
        for (const std::string& g : guids) {
            EXPECT_GT(banAdd(s.sv.get(), QZ_BAN_GUID, g.c_str(), "\"Bob\" \"?\" ?", 0), 0);
        }
        for (unsigned i = 0; i <= b->guids.mask; ++i) {
            if (b->guids.slots[i].tail) slots.push_back(i);
        }
        for (const std::string& lower : guids) {
            std::string g = lower;
            for (char& c : g) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            int found = 0;
            EXPECT_EQ(banRejoin(s.sv.get(), g.c_str(), 0, &found), -1) << g;
        }
        return slots;
    };
    std::vector<unsigned> first = layout();
    EXPECT_EQ(first.size(), guids.size());
    banFree(s.sv.get());
    EXPECT_NE(layout(), first);  // eight keys in the same 8 of 1,024 slots twice: about 1 in 10^19
}

TEST(BanList, ATickThatWentBackALittleCountsAsNoTimePassed) {
    BareState s;
    int slot = banAdd(s.sv.get(), QZ_BAN_KICK, kGuidA, "\"Bob\" \"?\" ?", 2);
    const unsigned t0 = banEntry(s.sv.get(), slot)->issueTick;
    int found = 0;
    EXPECT_EQ(banRejoin(s.sv.get(), kGuidA, t0 - 3000, &found), 2);
}

TEST(BanList, FinishedKicksArePassedOverAndTheNextEntryDecides) {
    BareState s;
    stQzSv* sv = s.sv.get();
    const char* body = "\"Bob\" \"?\" ?";
    const unsigned t0 = 5000000;
    banAddAt(sv, QZ_BAN_KICK, kGuidA, body, 1, t0);
    banAddAt(sv, QZ_BAN_KICK, kGuidA, body, 2, t0);
    int found = 0;
    // While the first kick runs it decides, though a longer one follows.
    EXPECT_EQ(banRejoin(sv, kGuidA, t0 + 30000, &found), 1);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(banRejoin(sv, kGuidA, t0 + 60000, &found), 1);
    EXPECT_EQ(found, 2);
    EXPECT_EQ(banRejoin(sv, kGuidA, t0 + 120000, &found), 0);
    EXPECT_EQ(found, 0);
    // Entries added after every kick has finished are still reached.
    banAddAt(sv, QZ_BAN_GUID, kGuidA, body, 0, t0 + 130000);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(banRejoin(sv, kGuidA, t0 + 140000, &found), -1);
        EXPECT_EQ(found, 3);
    }
    EXPECT_GT(banUnbanGuid(sv, kGuidA), 0);
    EXPECT_EQ(banRejoin(sv, kGuidA, t0 + 140000, &found), 0);
}

// A ban or kick that reports success holds, also when an earlier entry of the GUID was unbanned
// before it: the unbanned entry no longer speaks for the GUID once something came after it.
TEST_F(Bans, ABanOrKickIssuedAfterAnUnbanOfTheFirstEntryHolds) {
    struct Case {
        const char* name;
        const char* action;  // issued after the first entry was unbanned; slot 1 is Bob
        const char* refusal;
    };
    const Case cases[] = {
        {"ban", "qz_sv_Ban 1 again", "You have been BANNED"},
        {"guid ban", "qz_sv_BanGuid 0123456789ABCDEF0123456789ABCDEF Bob ? again",
         "You have been BANNED"},
        {"kick", "qz_sv_Kick 1 30 again", "for another 30 minutes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run("qz_sv_BanEmpty");
        run(banGuid(kGuidB, "Other"));  // ban slot 1: another player
        run(banGuid(kGuidA));           // ban slot 2: the GUID's first entry
        EXPECT_TRUE(anyLineContains(run("qz_sv_UnBan 2"), "Ban Slot #2 has been Unbanned"));
        ASSERT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
        auto issued = run(c.action);
        EXPECT_TRUE(anyLineContains(issued, "Command Issued") ||
                    anyLineContains(issued, "Ban Added to Ban List"));
        run("sim_drop 1");
        EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), c.refusal));
        run("sim_drop 1");
    }
}

TEST_F(Bans, UnbanningTheLaterEntryAdmitsAgainAndARebanOfTheFirstHolds) {
    run(banGuid(kGuidA));
    run("qz_sv_UnBan 1");
    run(banGuid(kGuidA, "Again"));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "You have been BANNED"));
    run("qz_sv_UnBan 2");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
    run("sim_drop 1");
    run("qz_sv_ReBan 1");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "You have been BANNED"));
    run(std::string("qz_sv_UnbanGuid ") + kGuidA);
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
}

// A banned name is stored as a record value (quotes become apostrophes); the player's name is
// cleaned the same way before the comparison.
TEST_F(Bans, ABannedNameHoldingADoubleQuoteIsRefused) {
    struct Case {
        const char* banned;  // as typed after qz_sv_banname
        const char* player;
    };
    const Case cases[] = {
        {"Bad\"Guy", "Bad\"Guy"},
        {"\"Bad'Guy\"", "^1Bad\"Guy"},
        {"Bad\"Guy", "Bad'Guy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.banned);
        run("qz_sv_BanEmpty");
        EXPECT_TRUE(
            hasLine(run(std::string("qz_sv_banname ") + c.banned), "Ban Added to Ban List"));
        host().clearOutput();
        EXPECT_EQ(host().connect(c.player, kGuidA, "1.2.3.4:27960"), 0);
        EXPECT_TRUE(
            host().contains("[host] DropClient 1 Your Player Name has been banned from "
                            "this server by Kestrine Admin"));
    }
}

TEST(BanList, NamesAreFoldedAsRecordValuesAre) {
    struct Case {
        const char* name;
        const char* folded;
    };
    const Case cases[] = {
        {"Bad\"Guy", "bad'guy"},
        {"  ^1Big ^7Bad  ", "big bad"},
        {"Tab\tName", "tab name"},
        {"^^Caret", "^aret"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char out[32];
        banFoldName(c.name, out);
        EXPECT_STREQ(out, c.folded) << c.name;
    }
}

}  // namespace

// The GUID index doubles by copying its former slots a few at each new key: no key is lost or
// found twice while both arrays are in use, and no single insertion copies the whole array.
TEST(BanList, TheGuidIndexGrowsAStepAtATimeAndFindsEveryKeyMeanwhile) {
    BareState s;
    stBans* b = &s.sv->bans;
    const int n = 5000;  // three doublings: 1,024 slots to 8,192 (70% of it is 5,734)
    auto guid = [](int i) {
        char g[33];
        snprintf(g, sizeof g, "%032X", i * 2654435761u);
        return std::string(g);
    };
    int growths = 0, maxCopied = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned movedBefore = b->guids.old ? b->guids.moved : 0;
        const bool wasGrowing = b->guids.old != nullptr;
        ASSERT_GT(banAdd(s.sv.get(), QZ_BAN_GUID, guid(i).c_str(), "\"Bob\" \"?\" ?", 0), 0);
        if (!wasGrowing && b->guids.old) growths++;
        if (wasGrowing && b->guids.old) {
            maxCopied = std::max(maxCopied, static_cast<int>(b->guids.moved - movedBefore));
        }
        int found = 0;
        // The newest key, one filed before the growth, and one in the middle.
        for (int k : {i, 0, i / 2}) {
            ASSERT_EQ(banRejoin(s.sv.get(), guid(k).c_str(), 0, &found), -1) << i << " " << k;
            ASSERT_EQ(found, k + 1);
        }
    }
    EXPECT_EQ(growths, 3);
    EXPECT_GT(maxCopied, 0);
    EXPECT_LE(maxCopied, 16);
    EXPECT_EQ(b->guids.used, static_cast<unsigned>(n));
    for (int i = 0; i < n; ++i) {
        int found = 0;
        EXPECT_EQ(banRejoin(s.sv.get(), guid(i).c_str(), 0, &found), -1);
        EXPECT_EQ(found, i + 1);
    }
    // A second entry of a key still waiting in the former array is filed behind the first.
    int found = 0;
    ASSERT_GT(banAdd(s.sv.get(), QZ_BAN_KICK, guid(7).c_str(), "\"Bob\" \"?\" ?", 5), 0);
    EXPECT_EQ(banRejoin(s.sv.get(), guid(7).c_str(), 0, &found), -1);
    EXPECT_EQ(found, 8);
    EXPECT_EQ(b->guids.used, static_cast<unsigned>(n));
}

// Masks added after the index was built are checked after the indexed ones, in list order, and
// the check itself never builds the index.
TEST(BanList, MasksAddedAfterTheIndexAreFoundInListOrderWithoutARebuild) {
    BareState s;
    stQzSv* sv = s.sv.get();
    const char* body[] = {"\"10.1.*\" \"?\" ?", "\"10.*\" \"?\" ?", "\"10.1.2.*\" \"?\" ?",
                          "\"10.1.2.3\" \"?\" ?"};
    ASSERT_EQ(banAdd(sv, QZ_BAN_MASK, "MASK", body[0], 0), 1);
    ASSERT_EQ(banAdd(sv, QZ_BAN_MASK, "MASK", body[1], 0), 2);
    EXPECT_EQ(banMaskFind(sv, "10.1.2.3:27960"), 1);  // no index: scanned
    EXPECT_EQ(sv->bans.maskIndexed, 0u);
    banIndexMasks(sv);
    EXPECT_EQ(sv->bans.maskIndexed, 2u);
    ASSERT_EQ(banAdd(sv, QZ_BAN_MASK, "MASK", body[2], 0), 3);
    ASSERT_EQ(banAdd(sv, QZ_BAN_MASK, "MASK", body[3], 0), 4);
    EXPECT_EQ(sv->bans.maskIndexed, 2u);
    struct Case {
        int unban;  // ban slot unbanned before the check, 0 none
        const char* address;
        int found;
    } cases[] = {
        {0, "10.1.2.3", 1}, {0, "10.9.9.9", 2}, {0, "11.1.2.3", 0}, {1, "10.1.2.3", 2},
        {2, "10.1.2.3", 3}, {3, "10.1.2.3", 4}, {4, "10.1.2.3", 0},
    };
    for (const Case& c : cases) {
        if (c.unban) banSetUnbanned(sv, banEntry(sv, c.unban), true);
        EXPECT_EQ(banMaskFind(sv, c.address), c.found) << c.address << " after unban " << c.unban;
    }
    EXPECT_EQ(sv->bans.maskIndexed, 2u);
}

// The entry array and the text pool grow past tens of megabytes by moving their pages: every
// add succeeds and every text stays readable.
TEST(BanList, TheListGrowsPastTensOfMegabytesWithoutLosingAnEntry) {
    BareState s;
    const int n = 400000;
    const std::string body = "\"" + std::string(40, 'x') + "\" \"1.2.3.4\" reason";
    char guid[33];
    for (int i = 0; i < n; ++i) {
        snprintf(guid, sizeof guid, "%032X", i + 1);
        ASSERT_EQ(banAdd(s.sv.get(), QZ_BAN_GUID, guid, body.c_str(), 0), i + 1);
    }
    for (int i = 0; i < n; i += 997) {
        snprintf(guid, sizeof guid, "%032X", i + 1);
        int found = 0;
        EXPECT_EQ(banRejoin(s.sv.get(), guid, 0, &found), -1);
        EXPECT_EQ(found, i + 1);
        EXPECT_EQ(banBody(s.sv.get(), banEntry(s.sv.get(), i + 1)), body);
    }
}
