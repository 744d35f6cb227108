// The fleet panel on both stores: the public list's search and keyset paging, hostile text
// shown as text, log-in with its lock-out, levels, CSRF and origin checks, bans and lifts that
// reach the servers, appeals, the audit trail, servers, metrics, export and import.
#include "panel_fixture.h"

#ifdef QZ_HAVE_PANEL

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <set>

namespace paneltest {
namespace {

using qzpanel::Response;

// The ban ids a list page links to, in page order.
std::vector<int64_t> idsOn(const std::string& body) {
    std::vector<int64_t> ids;
    std::regex link("<tr><td><a href=\"/bans/([0-9]+)\">");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), link);
         it != std::sregex_iterator(); ++it) {
        ids.push_back(std::stoll((*it)[1]));
    }
    return ids;
}

// The query of the page link labelled LABEL ("Older", "Newer"), unescaped, or "".
std::string linkQuery(const std::string& body, const std::string& label) {
    std::regex link("<a href=\"/bans\\?([^\"]*)\">[^<]*" + label);
    std::smatch m;
    if (!std::regex_search(body, m, link)) return "";
    std::string q = m[1];
    size_t at;
    while ((at = q.find("&amp;")) != std::string::npos) q.replace(at, 5, "&");
    return q;
}

std::string guidOf(int i) {
    char b[40];
    snprintf(b, sizeof b, "%08X%024d", static_cast<unsigned>(i * 2654435761u), i);
    return b;
}

TEST_P(PanelTest, ThePublicListPagesNewestFirstThroughEveryBanWithKeysetLinks) {
    std::vector<std::string> guids, names;
    for (int i = 1; i <= 120; ++i) {
        guids.push_back(guidOf(i));
        names.push_back("player" + std::to_string(i));
    }
    storeBans(guids, names);
    std::vector<int64_t> seen;
    std::string query;
    std::vector<std::string> pages;
    for (int page = 0; page < 5; ++page) {
        Response r = send(get("/bans", query));
        ASSERT_EQ(r.status, 200);
        std::vector<int64_t> ids = idsOn(r.body);
        seen.insert(seen.end(), ids.begin(), ids.end());
        pages.push_back(r.body);
        query = linkQuery(r.body, "Older");
        if (query.empty()) break;
        EXPECT_NE(query.find("before="), std::string::npos);
    }
    ASSERT_EQ(seen.size(), 120u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 120 - static_cast<int64_t>(i));
    // Going back from the second page gives the first again.
    std::string newer = linkQuery(pages[1], "Newer");
    ASSERT_FALSE(newer.empty());
    EXPECT_EQ(idsOn(send(get("/bans", newer)).body), idsOn(pages[0]));
    EXPECT_TRUE(linkQuery(pages[0], "Newer").empty());
}

TEST_P(PanelTest, ASearchFindsABanByGuidPrefixInAnyCaseAndByNameIgnoringColours) {
    std::vector<std::string> guids, names;
    for (int i = 1; i <= 60; ++i) {
        guids.push_back(guidOf(i));
        names.push_back("filler" + std::to_string(i));
    }
    guids.push_back("ABCDEF0123456789ABCDEF0123456789");
    names.push_back("^1Big^7Bad^3Wolf");
    storeBans(guids, names);
    struct Case {
        const char* query;
        bool found;
    } cases[] = {
        {"guid=abcdef01", true}, {"guid=ABCDEF0123456789ABCDEF0123456789", true},
        {"guid=abcdeg", false},  {"name=bigbadwolf", true},
        {"name=BadWolf", true},  {"name=%5E7Bad", true},
        {"name=wolfy", false},   {"guid=ABC&name=bad", true},
    };
    for (const Case& c : cases) {
        Response r = send(get("/bans", c.query));
        ASSERT_EQ(r.status, 200) << c.query;
        std::vector<int64_t> ids = idsOn(r.body);
        if (c.found) {
            EXPECT_EQ(ids, std::vector<int64_t>{61}) << c.query;
        } else {
            EXPECT_TRUE(ids.empty()) << c.query;
        }
    }
    EXPECT_EQ(send(get("/bans", "guid=AB%25")).status, 400);
}

TEST(PanelAdminCommand, RefusesBadUsageWithStatusTwoBeforeTouchingAnyStore) {
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"panel-admin", "--help"}, 0},
        {{"panel-admin", "--db", "dbname=x", "--fleet-dir", "/nonexistent/x", "set", "a", "view"},
         2},
        {{"panel-admin", "--dir", "/nonexistent", "--fleet-dir", "/nonexistent/x", "set", "a",
          "view"},
         2},
        {{"panel-admin", "--frobnicate", "set", "a", "view"}, 2},
        {{"panel-admin", "--fleet-dir", "/nonexistent/x", "set", "a", "god"}, 2},
        {{"panel-admin", "--fleet-dir", "/nonexistent/x", "set", "bad name", "view"}, 2},
        {{"panel-admin", "set", "a", "view"}, 2},
        {{"panel-admin", "--fleet-dir"}, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> copy = c.args;
        std::vector<char*> argv;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(qzpanel::panelAdminCommand(static_cast<int>(copy.size()), argv.data()), c.status)
            << c.args[1];
    }
}

TEST(PanelReportIds, EachStartDrawsItsOwnRandomEpochAndCountsItsBansWithinIt) {
    qzpanel::ServiceBridge first, second;
    uint64_t epoch1 = 0, id1 = 0, epoch2 = 0, id2 = 0, other = 0, otherId = 0;
    first.nextReportId(&epoch1, &id1);
    first.nextReportId(&epoch2, &id2);
    second.nextReportId(&other, &otherId);
    EXPECT_NE(epoch1, 0u);
    EXPECT_EQ(epoch1, epoch2);
    EXPECT_EQ(id2, id1 + 1);
    EXPECT_NE(other, epoch1);  // two starts: 1 in 2^64 to clash
}

TEST_P(PanelTest, NamesThatAreNotUtf8AreShownAndFoundByteForByteAsTheGameShowsThem) {
    // Bytes 0xE9 and 0xF6 are the game's e-acute and o-umlaut; 0x81 has no character.
    storeBans({"BBBB0000BBBB0000BBBB0000BBBB0000", "CCCC0000CCCC0000CCCC0000CCCC0000"},
              {"^2Ren\xE9"
               "e",
               "M\xF6\x81rk"});
    Response one = send(get("/bans/1"));
    ASSERT_EQ(one.status, 200);
    EXPECT_NE(one.body.find("Ren\xC3\xA9"
                            "e"),
              std::string::npos);
    Response two = send(get("/bans/2"));
    ASSERT_EQ(two.status, 200);
    EXPECT_NE(two.body.find("M\xC3\xB6\xEF\xBF\xBDrk"), std::string::npos);
    struct Case {
        const char* query;
        std::vector<int64_t> ids;
    } cases[] = {
        {"name=ren%C3%A9e", {1}},  // typed (UTF-8) as the page shows it
        {"name=REN%C3%A9", {1}},  {"name=%C3%A9e", {1}}, {"name=M%C3%B6", {2}}, {"name=rene", {}},
    };
    for (const Case& c : cases) {
        Response r = send(get("/bans", c.query));
        ASSERT_EQ(r.status, 200) << c.query;
        EXPECT_EQ(idsOn(r.body), c.ids) << c.query;
    }
}

TEST_P(PanelTest, HostileNamesReasonsAndSearchTermsAreShownAsText) {
    storeBans({"AAAA0000AAAA0000AAAA0000AAAA0000"}, {"^1<script>alert(1)</script>'\"x"});
    std::string search = "name=%3Cscript%3E&guid=";
    Response list = send(get("/bans", search));
    Response one = send(get("/bans/1"));
    Response found = send(get("/bans", "name=%22%3E%3Cimg%20src=x%20onerror=alert(1)%3E"));
    for (const Response* r : {&list, &one, &found}) {
        EXPECT_EQ(r->body.find("<script"), std::string::npos);
        EXPECT_EQ(r->body.find("<img"), std::string::npos);
    }
    EXPECT_NE(one.body.find("&lt;script&gt;"), std::string::npos);
    EXPECT_NE(one.body.find("<span class=\"c1\">"), std::string::npos);
    std::string csp = header(one, "Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos);
}

TEST_P(PanelTest, WrongPasswordsLockOutOnlyTheGuessingAddress) {
    for (int i = 0; i < qzpanel::Lockout::kFailures; ++i) {
        EXPECT_EQ(login("alice", "wrong-password", "192.0.2.66"), "");
    }
    // Even the right password is refused from the guessing address now...
    EXPECT_EQ(login("alice", "", "192.0.2.66"), "");
    // ...while the administrator logs in from anywhere else.
    EXPECT_NE(login("alice", "", "198.51.100.7"), "");
    std::vector<qzpanel::AuditRow> rows;
    std::string why;
    qzpanel::AuditQuery q;
    q.action = "login-failed";
    ASSERT_TRUE(panel_->data().audits(q, &rows, &why)) << why;
    ASSERT_GE(rows.size(), static_cast<size_t>(qzpanel::Lockout::kFailures));
    EXPECT_EQ(rows[0].from, "192.0.2.66");
}

TEST_P(PanelTest, AViewLevelAdministratorIsRefusedEveryAction) {
    storeBans({"BBBB0000BBBB0000BBBB0000BBBB0000"}, {"target"});
    std::string session = login("victor");
    ASSERT_NE(session, "");
    std::string csrf = csrfOf(session);
    ASSERT_EQ(csrf.size(), 64u);
    const char* actions[][2] = {
        {"/admin/ban", "guid=CCCC&length=0&reason=x"},
        {"/admin/lift", "id=1"},
        {"/admin/appeal", "id=1&decision=accept"},
        {"/admin/servers/add", "id=newserver"},
        {"/admin/servers/cut", "id=alpha"},
        {"/admin/servers/restore", "id=alpha"},
        {"/admin/import", "file=x&step=apply"},
    };
    for (auto& a : actions) {
        Response r = send(post(a[0], std::string(a[1]) + "&csrf=" + csrf), session);
        EXPECT_EQ(r.status, 403) << a[0];
    }
    // Nothing changed: the ban is in force and no server was added.
    EXPECT_NE(send(get("/bans/1")).body.find("active"), std::string::npos);
    std::vector<qzm::ServerListing> servers;
    std::string why;
    ASSERT_TRUE(panel_->data().fleet().listServers(&servers, &why)) << why;
    for (const auto& s : servers) EXPECT_NE(s.id, "newserver");
}

TEST_P(PanelTest, FormsFromAnotherSiteOrWithoutTheTokenAreRefused) {
    std::string session = login("alice");
    ASSERT_NE(session, "");
    std::string csrf = csrfOf(session);
    std::string form = "guid=DDDD0000&length=0&reason=test&csrf=" + csrf;
    qzpanel::Request cross = post("/admin/ban", form);
    cross.fetchSite = "cross-site";
    EXPECT_EQ(send(cross, session).status, 403);
    qzpanel::Request otherOrigin = post("/admin/ban", form);
    otherOrigin.fetchSite = "";
    otherOrigin.origin = "https://evil.example.invalid";
    EXPECT_EQ(send(otherOrigin, session).status, 403);
    EXPECT_EQ(
        send(post("/admin/ban", "guid=DDDD0000&length=0&reason=test&csrf=00"), session).status,
        403);
    EXPECT_EQ(send(post("/admin/ban", form)).status, 403);  // no session
    // A log-in form from another site, or without its token, logs nobody in.
    qzpanel::Request foreignLogin = post("/admin/login", "name=alice&password=pw-alice-long");
    foreignLogin.origin = "https://evil.example.invalid";
    foreignLogin.fetchSite = "";
    EXPECT_EQ(send(foreignLogin).status, 403);
    EXPECT_EQ(send(post("/admin/login", "name=alice&password=pw-alice-long")).status, 403);
    std::vector<qzpanel::PanelBan> bans;
    std::string why;
    ASSERT_TRUE(panel_->data().bans(qzpanel::BanPageQuery{}, &bans, &why)) << why;
    EXPECT_TRUE(bans.empty());
}

TEST_P(PanelTest, ABanFromThePanelReachesAServerThatAskedAndItsLiftReachesItToo) {
    fleettest::FakeServer server("alpha", secret_, service_->port());
    const char* guid = "EEEE0000EEEE0000EEEE0000EEEE0000";
    server.lookup(1, guid);
    FleetBody got;
    ASSERT_TRUE(server.await(30000, nullptr, fleettest::answerTo(1), &got));
    std::string session = login("alice");
    ASSERT_NE(session, "");
    Response r = send(post("/admin/ban", std::string("guid=") + guid +
                                             "&name=%5E2Cheater&length=60&reason=wallhack&csrf=" +
                                             csrfOf(session)),
                      session);
    ASSERT_EQ(r.status, 303) << r.body;
    std::string where = header(r, "Location");
    ASSERT_EQ(where.rfind("/bans/", 0), 0u);
    ASSERT_TRUE(server.await(30000, nullptr, fleettest::pushOf(QZF_PUSH, guid), &got));
    uint64_t banChange = got.change;
    EXPECT_GT(banChange, 0u);
    int64_t id = std::stoll(where.substr(6));
    // The panel's report id: this start's random epoch and a counter, not a clock.
    EXPECT_TRUE(onService([id](qzm::FleetService& s) {
        auto it = s.state().bans().find(id);
        return it != s.state().bans().end() && it->second.rec.reportEpoch != 0 &&
               it->second.rec.reportId >= 1 && it->second.rec.reportId < 1000;
    }));
    Response page = send(get(where));
    EXPECT_NE(page.body.find("wallhack"), std::string::npos);
    EXPECT_NE(page.body.find("panel:alice"), std::string::npos);
    r = send(post("/admin/lift", "id=" + std::to_string(id) + "&csrf=" + csrfOf(session)), session);
    ASSERT_EQ(r.status, 303) << r.body;
    ASSERT_TRUE(server.await(30000, nullptr, fleettest::pushOf(QZF_LIFT, guid), &got));
    EXPECT_GT(got.change, banChange);  // the lift is a later change of the fleet
    EXPECT_NE(send(get(where)).body.find("lifted by panel:alice"), std::string::npos);
    // Both actions are in the audit trail with who, from where and what.
    std::vector<qzpanel::AuditRow> rows;
    std::string why;
    ASSERT_TRUE(panel_->data().audits(qzpanel::AuditQuery{}, &rows, &why)) << why;
    std::set<std::string> actions;
    for (const auto& a : rows) {
        if (a.action == "ban" || a.action == "lift") {
            EXPECT_EQ(a.who, "alice");
            EXPECT_EQ(a.from, "10.0.0.1");
            EXPECT_NE(a.detail.find(guid), std::string::npos);
            EXPECT_GT(a.at, 0);
        }
        actions.insert(a.action);
    }
    EXPECT_TRUE(actions.count("ban") && actions.count("lift") && actions.count("login"));
    Response audit = send(get("/admin/audit", "action=ban"), session);
    EXPECT_NE(audit.body.find("wallhack"), std::string::npos);
    EXPECT_EQ(audit.body.find("<td>lift</td>"), std::string::npos);
}

TEST_P(PanelTest, AnAcceptedAppealLiftsTheBanAndTheBanPageShowsIt) {
    storeBans({"FFFF0000FFFF0000FFFF0000FFFF0000"}, {"sorry"});
    Response page = send(get("/bans/1"));
    std::string token = hidden(page.body, "token");
    ASSERT_FALSE(token.empty());
    // The wrong GUID is refused; the right one files the appeal.
    EXPECT_EQ(send(post("/bans/1/appeal", "token=" + token + "&guid=ABC&text=please")).status, 403);
    Response filed = send(post("/bans/1/appeal", "token=" + token +
                                                     "&guid=ffff0000ffff0000ffff0000ffff0000"
                                                     "&text=%3Cb%3Eit+was+my+brother&contact=me"));
    ASSERT_EQ(filed.status, 303) << filed.body;
    page = send(get("/bans/1"));
    EXPECT_NE(page.body.find("<strong>open</strong>"), std::string::npos);
    EXPECT_NE(page.body.find("&lt;b&gt;it was my brother"), std::string::npos);
    // A second appeal while one is open is refused.
    EXPECT_EQ(send(post("/bans/1/appeal",
                        "token=" + token + "&guid=FFFF0000FFFF0000FFFF0000FFFF0000&text=x"))
                  .status,
              409);
    std::string session = login("alice");
    Response list = send(get("/appeals", "state=open"), session);
    std::string appealId = hidden(list.body, "id");
    ASSERT_FALSE(appealId.empty());
    Response r = send(post("/admin/appeal",
                           "id=" + appealId + "&decision=accept&answer=ok&csrf=" + csrfOf(session)),
                      session);
    ASSERT_EQ(r.status, 303) << r.body;
    page = send(get("/bans/1"));
    EXPECT_NE(page.body.find("<strong>accepted</strong>"), std::string::npos);
    EXPECT_NE(page.body.find("lifted by panel:alice"), std::string::npos);
    EXPECT_TRUE(eventually([this] {
        return onService([](qzm::FleetService& s) {
            return s.state().liveBan("FFFF0000FFFF0000FFFF0000FFFF0000", time(nullptr)) == nullptr;
        });
    }));
}

TEST_P(PanelTest, AppealsAreLimitedPerAddress) {
    std::vector<std::string> guids, names;
    for (int i = 1; i <= 5; ++i) {
        guids.push_back(guidOf(i));
        names.push_back("p" + std::to_string(i));
    }
    storeBans(guids, names);
    std::vector<int> statuses;
    for (int i = 1; i <= 5; ++i) {
        std::string path = "/bans/" + std::to_string(i);
        std::string token = hidden(send(get(path)).body, "token");
        statuses.push_back(
            send(post(path + "/appeal", "token=" + token + "&guid=" + guidOf(i) + "&text=t"))
                .status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{303, 303, 303, 429, 429}));
}

TEST_P(PanelTest, AServerAddedInThePanelShowsItsSecretOnceAndTheAuditNever) {
    std::string session = login("root");
    ASSERT_NE(session, "");
    Response r = send(post("/admin/servers/add", "id=delta&csrf=" + csrfOf(session)), session);
    ASSERT_EQ(r.status, 200) << r.body;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.body, m, std::regex("<pre>([0-9a-f]{64})</pre>")));
    std::string secret = m[1];
    Response servers = send(get("/servers"), session);
    EXPECT_NE(servers.body.find("delta"), std::string::npos);
    EXPECT_EQ(servers.body.find(secret), std::string::npos);
    EXPECT_EQ(servers.body.find("<td>-</td><td>cut off"), std::string::npos);
    EXPECT_EQ(send(get("/admin/audit"), session).body.find(secret), std::string::npos);
    r = send(post("/admin/servers/cut", "id=delta&csrf=" + csrfOf(session)), session);
    EXPECT_EQ(r.status, 303);
    EXPECT_NE(send(get("/servers"), session).body.find("cut off"), std::string::npos);
}

TEST_P(PanelTest, MetricsExportAndImportWork) {
    storeBans({"1111222233334444555566667777AAAA"}, {"=cmd|calc"});
    Response m = send(get("/metrics"));
    EXPECT_EQ(m.status, 200);
    EXPECT_NE(m.body.find("# TYPE qzfleet_lookups_total counter"), std::string::npos);
    EXPECT_NE(m.body.find("qzfleet_refusals_total{reason=\""), std::string::npos);
    std::string session = login("root");
    Response csv = send(get("/admin/export.csv"), session);
    EXPECT_NE(csv.body.find("\"'=cmd|calc\""), std::string::npos);
    Response json = send(get("/admin/export.json"), session);
    EXPECT_NE(json.body.find("1111222233334444555566667777AAAA"), std::string::npos);
    std::string file =
        "[01.02.2026 10:00:00] 1111222233334444555566667777aaaa \"Old\" \"1.2.3.4:5\" known\r\n"
        "[01.02.2026 10:00:00] 0123456789ABCDEF0123456789ABCDEF \"New^1One\" \"1.2.3.4:5\" "
        "aim\r\n"
        "#01.02.2026 10:00:00] 99999999999999999999999999999999 \"Gone\" \"?\" lifted\r\n";
    std::string encoded;
    for (unsigned char c : file) {
        char b[4];
        snprintf(b, sizeof b, "%%%02X", c);
        encoded += b;
    }
    Response preview =
        send(post("/admin/import", "step=preview&file=" + encoded + "&csrf=" + csrfOf(session)),
             session);
    ASSERT_EQ(preview.status, 200);
    EXPECT_NE(preview.body.find("<p>1 would be added"), std::string::npos);
    std::vector<qzpanel::PanelBan> bans;
    std::string why;
    ASSERT_TRUE(panel_->data().bans(qzpanel::BanPageQuery{}, &bans, &why));
    EXPECT_EQ(bans.size(), 1u);  // the dry run added nothing
    Response applied = send(
        post("/admin/import", "step=apply&file=" + encoded + "&csrf=" + csrfOf(session)), session);
    EXPECT_NE(applied.body.find("1 of 1 bans added"), std::string::npos);
    EXPECT_FALSE(idsOn(send(get("/bans", "guid=0123456789ab")).body).empty());
}

// One request over HTTP to PORT on loopback; the whole answer (headers and body).
std::string httpExchange(unsigned port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return "";
    }
    (void)!write(fd, request.data(), request.size());
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
    close(fd);
    return answer;
}

TEST_P(PanelTest, OverHttpTheSessionCookieIsSecureOnlyBehindTheTrustedTlsProxy) {
    for (bool tls : {false, true}) {
        qzpanel::PanelOptions po;
        po.db = db_;
        po.dir = dir_;
        po.trustProxy = true;
        qzpanel::Panel served(po, bridge_);
        std::string why;
        ASSERT_TRUE(served.start(&why)) << why;
        std::string proxy = std::string("X-Real-IP: 203.0.113.9\r\nX-Forwarded-Proto: ") +
                            (tls ? "https" : "http") + "\r\n";
        std::string page =
            httpExchange(served.port(), "GET /admin/login HTTP/1.1\r\nHost: p.invalid\r\n" + proxy +
                                            "Connection: close\r\n\r\n");
        ASSERT_NE(page.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
        std::string token = hidden(page, "token");
        ASSERT_EQ(token.size(), 64u);
        std::string form = "token=" + token + "&name=alice&password=pw-alice-long";
        std::string answer =
            httpExchange(served.port(),
                         "POST /admin/login HTTP/1.1\r\nHost: p.invalid\r\n" + proxy +
                             "Origin: http://p.invalid\r\nContent-Type: "
                             "application/x-www-form-urlencoded\r\nContent-Length: " +
                             std::to_string(form.size()) + "\r\nConnection: close\r\n\r\n" + form);
        ASSERT_NE(answer.find("HTTP/1.1 303"), std::string::npos) << answer;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(answer, m, std::regex("Set-Cookie: ([^\r]*)")));
        std::string cookie = m[1];
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
        EXPECT_EQ(cookie.find("; Secure") != std::string::npos, tls) << cookie;
    }
    // The audit shows the client's address the proxy passed on.
    std::vector<qzpanel::AuditRow> rows;
    std::string why;
    qzpanel::AuditQuery q;
    q.action = "login";
    ASSERT_TRUE(panel_->data().audits(q, &rows, &why)) << why;
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].from, "203.0.113.9");
}

INSTANTIATE_TEST_SUITE_P(Stores, PanelTest, ::testing::Values(StoreKind::File, StoreKind::Postgres),
                         storeName);

}  // namespace
}  // namespace paneltest

#endif
