// The web key: digest, check, bad-key report, lockout and the rcon password rule.
#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"
#include "web_state.h"
#include "webtool/admins.h"
#include "webtool/request.h"

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

// "{D}" in a form stands for the digest the state's pages carry, "{d}" for it in lower case. A
// digest stands for a login: when the state has none yet, the key "secret" logs in first.
std::string withDigest(BareState& s, std::string form) {
    stWeb* w = &s.get()->web;
    if (!w->bind) {
        int get = w->facts.get;
        w->facts.get = 0;
        EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
        w->facts.get = get;
    }
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
    std::string key;    // as the console or the configuration holds it (UTF-8 or Latin-1)
    std::string typed;  // as a browser sends it (UTF-8 from the Login Screen, Windows-1252 from
                        // an older page)
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
    ::testing::Values(TypedCase{"caf\xC3\xA9", "caf\xE9"}, TypedCase{"caf\xC3\xA9", "caf\xC3\xA9"},
                      TypedCase{"Andr\xE9-key-2", "Andr\xC3\xA9-key-2"},
                      TypedCase{"Zo\xC3\xAB-key-1", "Zo\xC3\xAB-key-1"},
                      TypedCase{"5\xE2\x82\xAC", "5\xE2\x82\xAC"},
                      TypedCase{"5\xE2\x82\xAC", "5\x80"},
                      TypedCase{"a\xE2\x80\x94"
                                "b",
                                "a\xE2\x80\x94"
                                "b"},
                      TypedCase{"a\x97"
                                "b",
                                "a\xE2\x80\x94"
                                "b"},
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

// ---- Logins of named administrators, without running scrypt -------------------------------

// An administrator of the list with a made-up hash (fill).
stWebAdmin adminOf(const char* name, int level, unsigned char fill) {
    stWebAdmin a{};
    QZ_COPY(a.name, name);
    a.level = level;
    a.n = 16384;
    a.r = 8;
    a.p = 1;
    memset(a.hash, fill, sizeof a.hash);
    return a;
}

void setList(BareState& s, std::initializer_list<stWebAdmin> list) {
    stWebAdmins* a = &s.get()->web.admins;
    a->count = 0;
    for (const stWebAdmin& one : list) a->list[a->count++] = one;
}

// The key checker's answer for a typed key, as the listener hands it to the key check: the
// administrator it matched, by name and hash. Returns whether the login was taken.
bool checkerSays(BareState& s, const stWebAdmin& who) {
    stWeb* w = &s.get()->web;
    w->matchValid = 1;
    w->match = stWebAdminMatch{};
    w->match.found = 1;
    QZ_COPY(w->match.name, who.name);
    memcpy(w->match.hash, who.hash, sizeof who.hash);
    bool ok = accepted(s, "webkey=typed named key\r\nplist=x\r\n");
    w->matchValid = 0;
    return ok;
}

// The digest of the login just made.
std::string lastDigest(BareState& s) { return "webkey=" + digestOf(s, "") + "\r\n"; }

TEST(NamedLogin, TheCheckersAnswerBindsTheAdministratorOfTheCurrentListByNameAndHash) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    const stWebAdmin viewer = adminOf("viewer", WEBL_VIEW, 0x11);
    const stWebAdmin boss = adminOf("boss", WEBL_ALL, 0x22);
    // The viewer was removed while his key was being checked: the place he had now holds the
    // administrator of level all, who must not be logged in instead.
    setList(s, {boss});
    EXPECT_FALSE(checkerSays(s, viewer));
    EXPECT_NE(s.page().find("* BAD KEY *"), std::string::npos);
    // The list was reordered: he is found by his name, with his own level.
    setList(s, {boss, viewer});
    ASSERT_TRUE(checkerSays(s, viewer));
    EXPECT_EQ(sv->web.level, WEBL_VIEW);
    EXPECT_STREQ(sv->web.who, "viewer");
    // His key was changed meanwhile: the old key's match opens nothing.
    setList(s, {adminOf("viewer", WEBL_VIEW, 0x33), boss});
    EXPECT_FALSE(checkerSays(s, viewer));
}

TEST(NamedLogin, NoNumberOfLoginsByOneAdministratorEndsAnothers) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    const stWebAdmin viewer = adminOf("viewer", WEBL_VIEW, 0x11);
    const stWebAdmin boss = adminOf("boss", WEBL_ALL, 0x22);
    setList(s, {viewer, boss});
    ASSERT_TRUE(checkerSays(s, boss));
    const std::string bossPage = lastDigest(s);
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    const std::string keyPage = lastDigest(s);
    // The viewer logs in and out, and in without logging out, far more often than logins are
    // remembered.
    for (int i = 0; i < 2 * WEB_BIND_MAX; ++i) {
        ASSERT_TRUE(checkerSays(s, viewer));
        web_logout(sv);
    }
    std::vector<std::string> viewerPages;
    for (int i = 0; i < 2 * WEB_BIND_MAX; ++i) {
        ASSERT_TRUE(checkerSays(s, viewer));
        viewerPages.push_back(lastDigest(s));
    }
    EXPECT_TRUE(accepted(s, bossPage));
    EXPECT_EQ(sv->web.level, WEBL_ALL);
    EXPECT_TRUE(accepted(s, keyPage));
    // His own newest logins stay open; his oldest ended.
    EXPECT_TRUE(accepted(s, viewerPages.back()));
    EXPECT_EQ(sv->web.level, WEBL_VIEW);
    EXPECT_FALSE(accepted(s, viewerPages.front()));
    EXPECT_NE(s.page().find("* LOGIN ENDED"), std::string::npos);
    // Logins with the web key do not end a named administrator's either.
    for (int i = 0; i < 2 * WEB_BIND_MAX; ++i) ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    EXPECT_TRUE(accepted(s, bossPage));
    EXPECT_TRUE(accepted(s, viewerPages.back()));
}

// ---- Wrong digests and the random source -----------------------------------------------------

// The form with the digest's last hexadecimal digit replaced by the n-th digit (the form itself
// when that is the digit it had).
std::string wrongBy(const std::string& page, int n) {
    std::string w = page;
    w[w.find("\r\n") - 1] = "0123456789ABCDEF"[n % 16];
    return w;
}

TEST(Lockout, WrongDigestsOfAnOpenLoginCountLikeWrongKeysButAPageSentAgainCountsOnce) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    sv->web.client.sin_addr.s_addr = htonl(0x0A000001);
    std::string page = withDigest(s, "webkey={D}\r\n");
    // The same wrong digest again and again (an old page that refreshes) is one wrong digest.
    std::string wrong = wrongBy(page, 1);
    ASSERT_NE(wrong, page);
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(accepted(s, wrong));
    EXPECT_FALSE(s.host.printedContains("locked out"));
    // Guesses at the digest of an open login are counted.
    int n = 2;
    for (int i = 0; i < WEB_LOCK_BADKEYS; ++n) {
        std::string guess = wrongBy(page, n);
        if (guess == page || guess == wrong) continue;
        EXPECT_FALSE(accepted(s, guess));
        wrong = guess;
        ++i;
    }
    EXPECT_TRUE(s.host.printedContains("WebTool: 10.0.0.1 locked out"));
    EXPECT_FALSE(accepted(s, page));
    EXPECT_NE(s.page().find("TOO MANY BAD KEYS"), std::string::npos);
}

int noRandom(unsigned char*, int) { return 0; }

TEST(RandomSource, WithoutOneNoSecretIsMadeUpAndNothingOpens) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    webRandomSource(noRandom);
    web_key_reset(sv);
    EXPECT_FALSE(web_secrets_ready(sv));
    EXPECT_FALSE(accepted(s, "webkey=secret\r\n"));
    EXPECT_NE(s.page().find("* NO RANDOM SOURCE"), std::string::npos);
    webRandomSource(nullptr);
    EXPECT_TRUE(web_secrets_ready(sv));
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
    // A source that fails when the secret is due for renewal ends the logins rather than keep
    // the old secret or make one up.
    std::string page = withDigest(s, "webkey={D}\r\n");
    webRandomSource(noRandom);
    s.host.advance(WEB_DIGEST_PERIOD_MS);
    EXPECT_FALSE(web_secrets_ready(sv));
    EXPECT_FALSE(accepted(s, page));
    webRandomSource(nullptr);
}

// ---- Behind a trusted proxy -----------------------------------------------------------------

TEST(ProxyBudget, ClientsNamedByOneProxyShareOneBudgetOfBadKeys) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    stWeb* w = &sv->web;
    w->viaProxy = htonl(0x7F000001);
    auto from = [&](unsigned addr) {
        w->client.sin_addr.s_addr = htonl(addr);
        QZ_TRF(w->clientText, "10.%u.%u.%u:0", (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
    };
    // An administrator behind the proxy logged in a while ago.
    from(0x0A090909);
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    // A client at the proxy's own address names a new address with every guess.
    int checked = 0;
    for (unsigned i = 0; i < 300; ++i) {
        from(0x0A010000 + i);
        s.host.printed.clear();
        EXPECT_FALSE(accepted(s, "webkey=guess\r\n"));
        if (s.host.printedContains("Bad Web Key")) checked++;
    }
    EXPECT_LE(checked, WEB_GUESS_MAX);
    // A new address behind that proxy is not checked while its budget is spent...
    from(0x0A020001);
    EXPECT_FALSE(accepted(s, "webkey=secret\r\n"));
    EXPECT_NE(s.page().find("TOO MANY BAD KEYS"), std::string::npos);
    // ...but the administrator who logged in lately is, and a client without the proxy too.
    from(0x0A090909);
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
    w->viaProxy = 0;
    from(0x0A030001);
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
    // A minute later the budget is there again.
    w->viaProxy = htonl(0x7F000001);
    s.host.advance(WEB_LOCK_WINDOW_MS);
    from(0x0A020001);
    EXPECT_TRUE(accepted(s, "webkey=secret\r\n"));
}

// ---- One-time page numbers -----------------------------------------------------------------

TEST(PageNumbers, OnlyALoggedInPageTakesOneAndNoOtherLoginExpiresIt) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "secret");
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    const std::string mine = lastDigest(s);
    const unsigned act = web_act_issue(sv);
    ASSERT_NE(act, 0u);
    // Anyone may ask for the Login Screen: it carries no number and uses none up.
    for (int i = 0; i < WEB_ACT_WINDOW + 8; ++i) {
        web_dispatch(sv, "plist=x\r\n", &sv->web.page);
        ASSERT_EQ(s.page().find("name=webact"), std::string::npos);
    }
    // Another login writes more pages than are remembered.
    ASSERT_TRUE(accepted(s, "webkey=secret\r\n"));
    const std::string other = lastDigest(s);
    for (int i = 0; i < WEB_ACT_WINDOW + 8; ++i) {
        web_dispatch(sv, ("plist=x\r\n" + other).c_str(), &sv->web.page);
        ASSERT_NE(s.page().find("name=webact"), std::string::npos);
    }
    // The first login's page still acts once; another login cannot use its number.
    const std::string form = "webact=" + std::to_string(act) + "\r\n";
    ASSERT_TRUE(accepted(s, other));
    EXPECT_FALSE(web_act_take(sv, form.c_str()));
    ASSERT_TRUE(accepted(s, mine));
    EXPECT_TRUE(web_act_take(sv, form.c_str()));
    EXPECT_FALSE(web_act_take(sv, form.c_str()));
}

}  // namespace
