// Named WebTool administrators on the simulated game server: their keys log in (checked off the
// frame), their level limits what they may do, a refusal is shown and recorded, a removed
// administrator's pages stop working, and a file others may read is refused.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "admins_parse_cases.h"
#include "web_module.h"
#include "webtool/admins.h"

namespace {

using webtest::has;

class WebAdmins : public webtest::WebModule {
  protected:
    void SetUp() override {
        WebModule::SetUp();
        run("qz_sv_AdminAdd viewer view v-key-1");
        run("qz_sv_AdminAdd kicker kick k-key-2");
    }
    // Posts with the key given, giving the key checker time (frames and a little real time).
    std::string postAs(const std::string& key, const std::string& fields) {
        before_ = host().output().size();
        int s = webtest::connectTo(port_);
        EXPECT_GE(s, 0);
        webtest::sendText(s, webtest::postPlain("webkey=" + key + "\r\n" + fields));
        std::string answer = webtest::awaitAnswer(
            s,
            [this] {
                run("sim_advance 0");
                usleep(2000);
            },
            5000);
        close(s);
        return answer;
    }
    static std::string digestIn(const std::string& page) {
        std::smatch m;
        static const std::regex kKey("name=webkey[^>]*value=\"([0-9A-F]{32})\"");
        return std::regex_search(page, m, kKey) ? m[1].str() : "";
    }
    std::string kick(const std::string& key, int slot, const char* button = "kickslot=k") {
        return postAs(key, "slotnum=" + std::to_string(slot) + "\r\nguid=" + webtest::guidOf(1) +
                               "\r\nwebreason=r\r\nwebkicklen=2\r\n" + button + "\r\n");
    }
    std::string audit() const {
        std::ifstream in(home() + "qzaudit.log", std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string record(const std::string& a, const std::string& b) const {
        std::istringstream in(audit());
        std::string found;
        for (std::string l; std::getline(in, l);) {
            if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) found = l;
        }
        return found;
    }
};

TEST_F(WebAdmins, TheFileHoldsOnlyHashesAndOnlyItsOwnerMayReadIt) {
    struct stat st {};
    ASSERT_EQ(stat((home() + QZ_ADMINS_FILE).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(home() + QZ_ADMINS_FILE);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text.find("v-key-1"), std::string::npos);
    EXPECT_NE(text.find("viewer view scrypt 16384 8 1 "), std::string::npos) << text;
    auto list = run("qz_sv_AdminList");
    EXPECT_TRUE(anyLineContains(list, "1 viewer view"));
    EXPECT_TRUE(anyLineContains(list, "2 kicker kick"));
    EXPECT_EQ(list.back(), "End of Administrator List (2 Entries)");
}

TEST_F(WebAdmins, AViewOnlyAdministratorIsRefusedAKickAndTheRefusalIsRecorded) {
    int slot = join("Target", 1);
    ASSERT_GT(slot, 0);
    std::string page = postAs("v-key-1", "plist=Player List\r\n");
    ASSERT_TRUE(has(page, "Target")) << page;
    std::string digest = digestIn(page);
    ASSERT_EQ(digest.size(), 32u) << page;
    EXPECT_NE(record("\"action\":\"web-login\"", "\"name\":\"viewer\""), "") << audit();

    // His own page's digest carries his name and level: no key is hashed again.
    page = kick(digest, slot);
    EXPECT_TRUE(has(page, "* REFUSED: viewer MAY NOT KICK (LEVEL view) *")) << page;
    EXPECT_NE(host().client(slot), nullptr);
    std::string r = record("\"action\":\"kickslot\"", "\"result\":\"refused\"");
    // The record names his level beside his name.
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"web\",\"name\":\"viewer\",\"level\":\"view\","
                     "\"addr\":\"127.0.0.1:"),
              std::string::npos)
        << audit();
    EXPECT_NE(r.find("level view may not KICK"), std::string::npos) << r;
    // Nor the Command Screen.
    EXPECT_TRUE(has(postAs(digest, "cmds=Command Screen\r\n"),
                    "* REFUSED: viewer MAY NOT USE THE COMMAND SCREEN (LEVEL view) *"));
}

TEST_F(WebAdmins, AKickLevelAdministratorKicksButMayNotBan) {
    int slot = join("Target", 1);
    std::string page = kick("k-key-2", slot, "banslot=b");
    EXPECT_TRUE(has(page, "* REFUSED: kicker MAY NOT BAN (LEVEL kick) *")) << page;
    EXPECT_NE(host().client(slot), nullptr);
    page = kick(digestIn(page), slot);
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>")) << page;
    EXPECT_EQ(host().client(slot), nullptr);
    std::string r = record("\"action\":\"kickslot\"", "\"result\":\"done\"");
    EXPECT_NE(r.find("\"name\":\"kicker\""), std::string::npos) << r;
    EXPECT_NE(r.find("\"target\":{\"slot\":" + std::to_string(slot) + ",\"name\":\"Target\""),
              std::string::npos)
        << r;
    EXPECT_EQ(audit().find("k-key-2"), std::string::npos);
}

TEST_F(WebAdmins, TheWebKeyKeepsEveryRightAndAWrongKeyIsRecorded) {
    std::string page = postAs("secret", "cmds=Command Screen\r\n");
    EXPECT_TRUE(has(page, "name=exec_cmd")) << page;
    EXPECT_TRUE(has(page, "name=auditlog"));
    page = postAs(digestIn(page), "auditlog=Audit Log\r\n");
    EXPECT_TRUE(has(page, "<i>Audit Log</i>")) << page;
    EXPECT_TRUE(has(page, "web-login"));
    page = postAs("nobody-key", "plist=Player List\r\n");
    EXPECT_TRUE(has(page, "<b><i>* BAD KEY *</i></b>"));
    EXPECT_NE(record("\"action\":\"web-login\"", "\"why\":\"bad key\""), "") << audit();
    EXPECT_EQ(audit().find("nobody-key"), std::string::npos);
    EXPECT_EQ(audit().find("secret\""), std::string::npos);
}

TEST_F(WebAdmins, SettingsAndConsoleLinesAreRecordedWithTheirValuesButNoSecret) {
    run("sim_cvar rconpassword Rc-Pw-771");
    std::string page = postAs("secret", "qz_sv_KickLen=9\r\nupdqz1=Update\r\n");
    EXPECT_TRUE(has(page, "* UPDATED *")) << page;
    std::string r = record("\"action\":\"updqz1\"", "\"result\":\"done\"");
    EXPECT_NE(r.find("\"command\":\"qz_sv_KickLen=9\""), std::string::npos) << audit();
    postAs("secret", "exec_cmd_text=echo Rc-Pw-771 secret\r\nexec_cmd=To console\r\n");
    r = record("\"action\":\"exec_cmd\"", "echo");
    EXPECT_NE(r.find("\"command\":\"echo ***** *****\""), std::string::npos) << audit();
    EXPECT_EQ(audit().find("Rc-Pw-771"), std::string::npos);
}

TEST_F(WebAdmins, ARemovedAdministratorsPagesOpenNothing) {
    std::string digest = digestIn(postAs("k-key-2", "plist=Player List\r\n"));
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_TRUE(
        anyLineContains(run("qz_sv_AdminDel kicker"), "WebTool administrator kicker removed"));
    EXPECT_TRUE(has(postAs(digest, "plist=Player List\r\n"), "* LOGIN ENDED"));
    EXPECT_TRUE(has(postAs("k-key-2", "plist=Player List\r\n"), "* BAD KEY *"));
}

// Ways the administrators' file changes without the console: each ends the login of an
// administrator it removes or demotes at his next request, and leaves the others logged in.
struct FileChange {
    const char* how;
    void (*change)(const std::string& path);
    bool viewerStays;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Writes the file in place (an editor), keeping its inode.
void writeInPlace(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Writes a new file and renames it over the old one (qzadmin, a restore).
void writeByRename(const std::string& path, const std::string& text) {
    std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(tmp.c_str(), 0600);
    rename(tmp.c_str(), path.c_str());
}

// The text without the line of the administrator name.
std::string without(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string out;
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(name + " ", 0) != 0) out += l + "\n";
    }
    return out;
}

const FileChange kFileChanges[] = {
    {"an editor deletes his line",
     [](const std::string& p) { writeInPlace(p, without(fileText(p), "kicker")); }, true},
    {"an editor demotes him to view (same size, same inode)",
     [](const std::string& p) {
         std::string t = fileText(p);
         size_t at = t.find("kicker kick ");
         if (at != std::string::npos) t.replace(at, 12, "kicker view ");
         writeInPlace(p, t);
     },
     true},
    {"a restore of a file without him",
     [](const std::string& p) { writeByRename(p, without(fileText(p), "kicker")); }, true},
    {"the file is deleted", [](const std::string& p) { unlink(p.c_str()); }, false},
};

TEST_F(WebAdmins, ChangingTheFileByAnyMeansEndsTheLoginOfWhomItRemovesOrDemotes) {
    for (const FileChange& c : kFileChanges) {
        SCOPED_TRACE(c.how);
        const std::string path = home() + QZ_ADMINS_FILE;
        const std::string saved = fileText(path);
        std::string kicker = digestIn(postAs("k-key-2", "plist=Player List\r\n"));
        std::string viewer = digestIn(postAs("v-key-1", "plist=Player List\r\n"));
        ASSERT_EQ(kicker.size(), 32u);
        ASSERT_EQ(viewer.size(), 32u);
        ASSERT_TRUE(has(postAs(kicker, "plist=Player List\r\n"), "<i>Player List Screen</i>"));
        c.change(path);
        EXPECT_TRUE(has(postAs(kicker, "plist=Player List\r\n"), "* LOGIN ENDED")) << c.how;
        EXPECT_EQ(has(postAs(viewer, "plist=Player List\r\n"), "<i>Player List Screen</i>"),
                  c.viewerStays);
        writeByRename(path, saved);
    }
}

TEST(WebAdminFile, AKeyMatchesInUtf8AndInLatin1AlikeWhereverItWasSet) {
    stWebAdmin a{};
    // Set with a Latin-1 terminal or console...
    ASSERT_TRUE(webAdminMake(&a, "zoe", WEBL_VIEW, "Zo\xEB-key-1"));
    unsigned char h[WEB_ADMIN_HASH];
    // ...typed in a browser, which sends UTF-8 from the Login Screen.
    ASSERT_TRUE(webAdminHash(&a, "Zo\xC3\xAB-key-1", h));
    EXPECT_EQ(memcmp(h, a.hash, sizeof h), 0);
    // A euro sign from a Windows-1252 page and from UTF-8.
    ASSERT_TRUE(webAdminMake(&a, "eur", WEBL_VIEW, "5\xE2\x82\xAC-key"));
    ASSERT_TRUE(webAdminHash(&a, "5\x80-key", h));
    EXPECT_EQ(memcmp(h, a.hash, sizeof h), 0);
    ASSERT_TRUE(webAdminHash(&a, "5E-key", h));
    EXPECT_NE(memcmp(h, a.hash, sizeof h), 0);
}

struct NormalCase {
    const char* in;
    const char* normal;
};

TEST(WebAdminFile, TheNormalFormOfAKeyIsUtf8) {
    const NormalCase cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},                    // UTF-8 stays
        {"caf\xE9", "caf\xC3\xA9"},                        // Latin-1
        {"\x80\x97", "\xE2\x82\xAC\xE2\x80\x94"},          // Windows-1252 euro and em dash
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                  // an overlong form is not UTF-8
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},  // nor is a surrogate
    };
    for (const NormalCase& c : cases) {
        char out[WEB_KEY_NORMAL_MAX];
        int n = webKeyNormal(c.in, static_cast<int>(strlen(c.in)), out, sizeof out);
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.normal) << c.in;
    }
}

TEST_F(WebAdmins, AFileOthersMayReadIsRefusedAndSaidSo) {
    ASSERT_EQ(chmod((home() + QZ_ADMINS_FILE).c_str(), 0644), 0);
    std::string page = postAs("k-key-2", "plist=Player List\r\n");
    EXPECT_TRUE(has(page, "* BAD KEY *"));
    EXPECT_TRUE(
        host().contains("named administrators are off: qzadmins.dat may be read by others "
                        "(mode 644): chmod 600 it"));
    ASSERT_EQ(chmod((home() + QZ_ADMINS_FILE).c_str(), 0600), 0);
    EXPECT_FALSE(has(postAs("k-key-2", "plist=Player List\r\n"), "* BAD KEY *"));
}

TEST(WebAdminFile, LinesAreParsedStrictly) {
    for (const auto& c : webtest::kAdminParseCases) {
        stWebAdmin a{};
        EXPECT_EQ(webAdminParse(c.line, static_cast<int>(strlen(c.line)), &a), c.ok) << c.line;
    }
}

TEST(WebAdminFile, AKeyIsCheckedAgainstItsOwnHashOnly) {
    stWebAdmin a{};
    ASSERT_TRUE(webAdminMake(&a, "x", WEBL_VIEW, "right key"));
    unsigned char h[WEB_ADMIN_HASH];
    ASSERT_TRUE(webAdminHash(&a, "right key", h));
    EXPECT_EQ(memcmp(h, a.hash, sizeof h), 0);
    ASSERT_TRUE(webAdminHash(&a, "Right key", h));
    EXPECT_NE(memcmp(h, a.hash, sizeof h), 0);
    // Written and read back the same.
    char line[256];
    webAdminFormat(&a, line, sizeof line);
    stWebAdmin b{};
    ASSERT_TRUE(webAdminParse(line, static_cast<int>(strlen(line)), &b));
    EXPECT_STREQ(a.name, b.name);
    EXPECT_EQ(a.level, b.level);
    EXPECT_EQ(a.n, b.n);
    EXPECT_EQ(a.r, b.r);
    EXPECT_EQ(a.p, b.p);
    EXPECT_EQ(memcmp(a.salt, b.salt, sizeof a.salt), 0);
    EXPECT_EQ(memcmp(a.hash, b.hash, sizeof a.hash), 0);
    const char* why = "";
    EXPECT_FALSE(webAdminKeyOk("0123456789abcdef0123456789ABCDEF", &why));
    EXPECT_FALSE(webAdminKeyOk("", &why));
    EXPECT_FALSE(webAdminKeyOk("a\tb", &why));
    EXPECT_TRUE(webAdminKeyOk("a b", &why));
}

}  // namespace

namespace {

// The key checker thread, polled as the frame polls it: each key finds its administrator (or
// none), a second job waits for the first to be collected, and the thread stops and starts again.
// (Also run under ThreadSanitizer, docs/webtool.md.)
TEST(WebAdminChecker, FindsTheMatchingAdministratorWhileTheFramePolls) {
    stWebAdmin list[3];
    ASSERT_TRUE(webAdminMake(&list[0], "a", WEBL_VIEW, "key-a"));
    ASSERT_TRUE(webAdminMake(&list[1], "b", WEBL_KICK, "key-b"));
    ASSERT_TRUE(webAdminMake(&list[2], "c", WEBL_ALL, "key-c"));
    struct Job {
        const char* key;
        int match;
    };
    const Job jobs[] = {{"key-b", 1}, {"nope", -1}, {"key-c", 2}, {"key-a", 0}};
    unsigned ticket = 100;
    for (int round = 0; round < 2; ++round) {
        for (const Job& j : jobs) {
            webAdminCheckStart(++ticket, j.key, list, 3);
            EXPECT_TRUE(webAdminCheckBusy());
            // Another request polling meanwhile gets nothing and does not take the result.
            stWebAdminMatch other{};
            EXPECT_EQ(webAdminCheckPoll(ticket + 1000, &other), 0);
            stWebAdminMatch match{};
            while (webAdminCheckPoll(ticket, &match) == 0) usleep(1000);
            // The answer names the administrator and the hash that matched, not a place in a
            // list that may have changed meanwhile.
            EXPECT_EQ(match.found, j.match >= 0 ? 1 : 0) << j.key;
            if (j.match >= 0) {
                EXPECT_STREQ(match.name, list[j.match].name);
                EXPECT_EQ(memcmp(match.hash, list[j.match].hash, WEB_ADMIN_HASH), 0);
            }
            EXPECT_FALSE(webAdminCheckBusy());
        }
        webAdminCheckStop();
    }
}

}  // namespace
