// Version-keyed defaults: file whitelists and the built-in map list.
#include "util/defaults.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "host/state.h"
#include "util/text.h"

namespace {

std::unique_ptr<stQzSv> withVersion(const char* version, const char* whitelist = "") {
    auto sv = std::make_unique<stQzSv>();
    QZ_COPY(sv->gameVersion, version);
    QZ_COPY(sv->set.fileWhitelist, whitelist);
    defaultsInstall(sv.get());
    return sv;
}

TEST(DefaultWhitelist, VersionsTwoFiveAndTwoSixGetListA) {
    EXPECT_STREQ(withVersion("2.5.0")->set.fileWhitelist, kWhitelistA);
    EXPECT_STREQ(withVersion("2.6.0")->set.fileWhitelist, kWhitelistA);
    EXPECT_EQ(strlen(kWhitelistA), 268u);
}

TEST(DefaultWhitelist, OnlyTheExactVersionTextMatches) {
    EXPECT_STREQ(withVersion("2.5.")->set.fileWhitelist, "");
    EXPECT_STREQ(withVersion("2.5.0 ")->set.fileWhitelist, "");
    EXPECT_STREQ(withVersion("")->set.fileWhitelist, "");
}

TEST(DefaultWhitelist, VersionsHoldingOneSixtyGetListBWhole) {
    // The three pieces byte for byte: 241 + 61 + 107 characters.
    auto sv = withVersion("Game 1.60.2 linux");
    EXPECT_EQ(strlen(sv->set.fileWhitelist), 409u);
    EXPECT_EQ(std::string(sv->set.fileWhitelist),
              std::string(kWhitelistB[0]) + kWhitelistB[1] + kWhitelistB[2]);
    EXPECT_EQ(strlen(kWhitelistB[0]), 241u);
    EXPECT_EQ(strlen(kWhitelistB[1]), 61u);
    EXPECT_EQ(strlen(kWhitelistB[2]), 107u);
}

TEST(DefaultWhitelist, AValueAlreadySetIsKept) {
    EXPECT_STREQ(withVersion("2.5.0", "* mine.u")->set.fileWhitelist, "* mine.u");
    EXPECT_STREQ(withVersion("1.60", "* mine.u")->set.fileWhitelist, "* mine.u");
}

TEST(DefaultMapList, FollowsTheVersionKey) {
    EXPECT_EQ(withVersion("1.5 linux")->web.defmaplist, kMapListLong);
    EXPECT_EQ(withVersion("1.3 linux")->web.defmaplist, kMapListShort);
    EXPECT_EQ(withVersion("ET 2.60b linux-i386")->web.defmaplist, kMapListInitial);
    EXPECT_STREQ(kMapListInitial,
                 "mp_forest mp_goldrush mp_railgun mp_seawall mp_siwa mp_wurzburg");
}

}  // namespace
