// The web key: digest, check, bad-key report, lockout and the rcon password rule.
#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"
#include "util/md5.h"
#include "web_state.h"

namespace {

using webtest::BareState;

std::string digestOf(const char* key) {
    char d[33];
    web_key_digest(key, d);
    return d;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Runs the key check on form; true when the key was accepted.
bool accepted(BareState& s, const std::string& form) {
    return !web_key_check(s.get(), form.c_str(), &s.get()->web.page);
}

TEST(KeyDigest, IsTheSeededDigestOfTheKeyAndItsTerminator) {
    std::string d = digestOf("secret");
    EXPECT_EQ(d.size(), 32u);
    EXPECT_EQ(d.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    // The WebTool's own fixed seed over the key and its terminating zero byte.
    EXPECT_EQ(d, std::string(qzmd5("secret", 7, 0x2F6A31C5u)));
    EXPECT_NE(d, std::string(qzmd5("secret", 6, 0x2F6A31C5u)));
    EXPECT_NE(d, std::string(qzmd5("secret", 7, 0)));
    EXPECT_NE(d, digestOf("Secret"));
    EXPECT_EQ(d, digestOf("secret"));
}

struct KeyCase {
    std::string form;
    bool ok;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.form; }

class KeyCheck : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyCheck, AcceptsTheKeyOrItsDigestOnly) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    EXPECT_EQ(accepted(s, GetParam().form), GetParam().ok) << GetParam().form;
    EXPECT_EQ(s.host.printedContains("Bad Web Key sent from"), !GetParam().ok);
    if (!GetParam().ok) {
        EXPECT_NE(s.page().find("<b><i>* BAD KEY *</i></b>"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyCheck,
    ::testing::Values(KeyCase{"webkey=secret\r\nplist=x\r\n", true},
                      KeyCase{"webkey=Secret\r\nplist=x\r\n", false},
                      KeyCase{"webkey=" + digestOf("secret") + "\r\n", true},
                      KeyCase{"webkey=" + lower(digestOf("secret")) + "\r\n", true},
                      KeyCase{"plist=1\r\nwebkey=" + digestOf("secret") + " HTTP/1.1\r\n", true},
                      KeyCase{"webkey=" + digestOf("secret").substr(0, 31) + "\r\n", false},
                      KeyCase{"webkey=\r\n", false}, KeyCase{"plist=x\r\n", false}),
    [](const ::testing::TestParamInfo<KeyCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.form));
    });

TEST(KeyCheck, AnEmptyKeyOpensNothing) {
    BareState s;
    EXPECT_FALSE(accepted(s, "webkey=\r\n"));
    EXPECT_FALSE(accepted(s, "webkey=" + digestOf("") + "\r\n"));
}

TEST(KeyCheck, ReportsTheClientAddressAndPort) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    QZ_COPY(s.get()->web.clientText, "10.1.2.3:5555");
    EXPECT_FALSE(accepted(s, "webkey=nope\r\n"));
    EXPECT_TRUE(s.host.printedContains("Bad Web Key sent from 10.1.2.3:5555"));
}

TEST(Lockout, FiveBadKeysInAMinuteLockTheAddressForAMinute) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    sv->web.client.sin_addr.s_addr = htonl(0x0A000001);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(accepted(s, "webkey=bad\r\n"));
    EXPECT_TRUE(s.host.printedContains("WebTool: 10.0.0.1 locked out for 60 seconds"));
    s.host.printed.clear();
    EXPECT_FALSE(accepted(s, "webkey=secret\r\n"));
    EXPECT_NE(s.page().find("Login Screen"), std::string::npos);
    EXPECT_FALSE(s.host.printedContains("Bad Web Key"));  // no report while locked

    // Another address is not affected.
    sv->web.client.sin_addr.s_addr = htonl(0x0A000002);
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));

    sv->web.client.sin_addr.s_addr = htonl(0x0A000001);
    s.host.advance(59999);
    EXPECT_FALSE(accepted(s, "webkey=secret\r\n"));
    s.host.advance(1);
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
}

TEST(Lockout, BadKeysSpreadOverMoreThanAMinuteDoNotLock) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    for (int i = 0; i < 8; ++i) {
        EXPECT_FALSE(accepted(s, "webkey=bad\r\n"));
        s.host.advance(20000);
    }
    EXPECT_FALSE(s.host.printedContains("locked out"));
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
}

TEST(RconRule, AnEmptyKeyTakesTheRconPasswordAndFollowsIt) {
    BareState s;
    stQzSv* sv = s.get();
    s.host.cvars["rconpassword"] = "rcon1";
    web_key_from_rcon(sv);
    EXPECT_STREQ(sv->set.httpKey, "rcon1");
    s.host.cvars["rconpassword"] = "rcon2";
    web_key_from_rcon(sv);
    EXPECT_STREQ(sv->set.httpKey, "rcon2");
    s.host.cvars["rconpassword"] = "";
    web_key_from_rcon(sv);
    EXPECT_STREQ(sv->set.httpKey, "");
}

TEST(RconRule, AKeyTheAdministratorSetIsNeverOverwritten) {
    BareState s;
    stQzSv* sv = s.get();
    s.host.cvars["rconpassword"] = "rcon1";
    web_key_from_rcon(sv);
    QZ_COPY(sv->set.httpKey, "mine");
    web_key_from_rcon(sv);
    EXPECT_STREQ(sv->set.httpKey, "mine");
    s.host.cvars["rconpassword"] = "mine2";
    web_key_from_rcon(sv);
    EXPECT_STREQ(sv->set.httpKey, "mine");
    s.host.cvars["rconpassword"] = std::string(200, 'r');
    QZ_COPY(sv->set.httpKey, "");
    web_key_from_rcon(sv);
    EXPECT_EQ(std::string(sv->set.httpKey), std::string(127, 'r'));
}

}  // namespace
