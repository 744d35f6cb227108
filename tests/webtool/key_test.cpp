// The web key: digest, check, bad-key report, lockout and the rcon password rule.
#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"
#include "web_state.h"

namespace {

using webtest::BareState;

std::string digestOf(BareState& s, const char* key) {
    char d[33];
    web_key_digest(s.get(), key, d);
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

// "{D}" in a form stands for the digest the state's pages carry, "{d}" for it in lower case.
std::string withDigest(BareState& s, std::string form) {
    for (const auto& [mark, text] :
         {std::pair<std::string, std::string>{"{D}", digestOf(s, "secret")},
          std::pair<std::string, std::string>{"{d}", lower(digestOf(s, "secret"))}}) {
        for (size_t at; (at = form.find(mark)) != std::string::npos;) form.replace(at, 3, text);
    }
    return form;
}

TEST(KeyDigest, IsALoginNumberAndAKeyedHashThatDependOnKeyLoginAndSecret) {
    BareState s;
    std::string d = digestOf(s, "secret");
    EXPECT_EQ(d.size(), 32u);
    EXPECT_EQ(d.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(d, digestOf(s, "secret"));
    EXPECT_NE(d, digestOf(s, "Secret"));
    s.get()->web.login = 0x12345678u;
    std::string other = digestOf(s, "secret");
    EXPECT_EQ(other.substr(0, 8), "12345678");
    EXPECT_NE(other.substr(8), d.substr(8));
    // Another start of the module: another secret, another digest for the same key and login.
    s.get()->web.login = 0;
    web_key_reset(s.get());
    EXPECT_NE(digestOf(s, "secret"), d);
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
    std::string form = withDigest(s, GetParam().form);
    EXPECT_EQ(accepted(s, form), GetParam().ok) << form;
    EXPECT_EQ(s.host.printedContains("Bad Web Key sent from"), !GetParam().ok);
    if (!GetParam().ok) {
        EXPECT_NE(s.page().find("<b><i>* BAD KEY *</i></b>"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyCheck,
                         ::testing::Values(KeyCase{"webkey=secret\r\nplist=x\r\n", true},
                                           KeyCase{"webkey=Secret\r\nplist=x\r\n", false},
                                           KeyCase{"webkey={D}\r\n", true},
                                           KeyCase{"webkey={d}\r\n", true},
                                           KeyCase{"plist=1\r\nwebkey={D} HTTP/1.1\r\n", true},
                                           KeyCase{"webkey=Z{D}\r\n", false},
                                           KeyCase{"webkey=\r\n", false},
                                           KeyCase{"plist=x\r\n", false}),
                         [](const ::testing::TestParamInfo<KeyCase>& p) {
                             return qztest::caseName(p.index, std::string(p.param.form));
                         });

TEST(KeyCheck, AnEmptyKeyOpensNothing) {
    BareState s;
    EXPECT_FALSE(accepted(s, "webkey=\r\n"));
    EXPECT_FALSE(accepted(s, "webkey=" + digestOf(s, "") + "\r\n"));
}

TEST(KeyCheck, ReportsTheClientAddressAndPort) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    QZ_COPY(s.get()->web.clientText, "10.1.2.3:5555");
    EXPECT_FALSE(accepted(s, "webkey=nope\r\n"));
    EXPECT_TRUE(s.host.printedContains("Bad Web Key sent from 10.1.2.3:5555"));
}

TEST(KeyCheck, ALinkCarriesOnlyADigestNeverTheKey) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    s.get()->web.facts.get = 1;
    EXPECT_FALSE(accepted(s, "plist=1\r\nwebkey=secret\r\n"));
    EXPECT_TRUE(accepted(s, withDigest(s, "plist=1\r\nwebkey={D}\r\n")));
}

TEST(Digest, LivesOnePeriodAfterItsSecretWasReplacedThenOpensNothing) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    std::string old = withDigest(s, "webkey={D}\r\n");
    s.host.advance(WEB_DIGEST_PERIOD_MS);
    EXPECT_TRUE(accepted(s, old));  // the previous secret's digest still opens
    std::string renewed = withDigest(s, "webkey={D}\r\n");
    EXPECT_NE(renewed, old);  // pages now carry the current secret's digest
    s.host.advance(WEB_DIGEST_PERIOD_MS);
    EXPECT_FALSE(accepted(s, old));
    EXPECT_NE(s.page().find("* LOGIN ENDED: TYPE THE KEY AGAIN *"), std::string::npos);
    EXPECT_TRUE(accepted(s, renewed));
}

TEST(Digest, ChangingTheKeyEndsEveryDigest) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "secret");
    std::string form = withDigest(s, "webkey={D}\r\n");
    QZ_COPY(s.get()->set.httpKey, "newsecret");
    EXPECT_FALSE(accepted(s, form));
}

TEST(Digest, LogOutEndsThatLoginOnly) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    std::string mine = withDigest(s, "webkey={D}\r\n");
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));  // another browser logs in
    std::string theirs = withDigest(s, "webkey={D}\r\n");
    ASSERT_NE(mine, theirs);
    ASSERT_TRUE(accepted(s, mine));
    web_logout(sv);
    EXPECT_FALSE(accepted(s, mine));
    EXPECT_TRUE(accepted(s, theirs));
}

TEST(Digest, StaleDigestsAndLinksNeverLockAnAddressOut) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    sv->web.client.sin_addr.s_addr = htonl(0x0A000001);
    std::string stale = "webkey=" + std::string(32, 'A') + "\r\n";
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(accepted(s, stale));
    sv->web.facts.get = 1;
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(accepted(s, "plist=1\r\nwebkey=guess\r\n"));
    sv->web.facts.get = 0;
    EXPECT_FALSE(s.host.printedContains("locked out"));
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
}

struct TypedCase {
    std::string key;    // as the configuration holds it (UTF-8)
    std::string typed;  // as an ISO-8859-1 page's form sends it
};
void PrintTo(const TypedCase& c, std::ostream* os) { *os << c.key; }
class TypedKey : public ::testing::TestWithParam<TypedCase> {};

TEST_P(TypedKey, AnyPrintableKeyCanBeTyped) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, GetParam().key.c_str());
    EXPECT_TRUE(accepted(s, "webkey=" + GetParam().typed + "\r\nplist=1\r\n"));
    EXPECT_FALSE(accepted(s, "webkey=x" + GetParam().typed + "\r\nplist=1\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TypedKey,
    ::testing::Values(TypedCase{"caf\xC3\xA9", "caf\xE9"}, TypedCase{"5\xE2\x82\xAC", "5&#8364;"},
                      TypedCase{"  lead", "  lead"}, TypedCase{"trail ", "trail "}),
    [](const ::testing::TestParamInfo<TypedCase>& p) { return qztest::caseName(p.index, "key"); });

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
