// The WebTool's audit records say what happened (a console line refused, what a run line
// printed, which game variables were set, the administrator's level), and the Audit Log screen
// shows each record's texts as the bytes that were recorded, filtered by what was typed.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "web_module.h"

namespace {

using webtest::has;

class WebAudit : public webtest::WebModule {
  protected:
    std::vector<std::string> records() {
        std::ifstream in(home() + "qzaudit.log", std::ios::binary);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // The last record holding text ("" when none).
    std::string record(const std::string& text) {
        auto all = records();
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            if (it->find(text) != std::string::npos) return *it;
        return "";
    }
    std::string exec(const std::string& line) {
        return post("exec_cmd_text=" + line + "\r\nexec_cmd=To console->\r\n");
    }
};

TEST_F(WebAudit, AConsoleLineTheWebToolDoesNotRunIsRecordedAsRefused) {
    std::string page = exec("qz_sv_HttpKey other");
    EXPECT_TRUE(has(page, "Command Ignored by WebTool"));
    std::string r = record("\"action\":\"exec_cmd\"");
    EXPECT_NE(r.find("\"command\":\"qz_sv_HttpKey *****\""), std::string::npos) << r;
    EXPECT_NE(r.find("\"result\":\"refused\",\"why\":\"not run: the web key setting"),
              std::string::npos)
        << r;
}

TEST_F(WebAudit, AConsoleLineThatRanSaysWhatItPrinted) {
    exec("say hello there");
    std::string r = record("\"command\":\"say hello there\"");
    EXPECT_NE(r.find("\"result\":\"done\",\"why\":\"run; output: console: hello there\""),
              std::string::npos)
        << r;
    exec("set rconpassword Rc-Pw-3");
    r = record("\"action\":\"exec_cmd\"");
    EXPECT_NE(r.find("\"command\":\"set rconpassword *****\""), std::string::npos) << r;
    EXPECT_NE(r.find("run; output not shown"), std::string::npos) << r;
    EXPECT_EQ(r.find("Rc-Pw-3"), std::string::npos) << r;
}

TEST_F(WebAudit, TheGameSettingsUpdateNamesEachVariableItSet) {
    host().setCvar("timelimit", "20");
    host().setCvar("g_gametype", "4");
    post("timelimit=30\r\ng_gametype=4\r\nupdgset=Update\r\n");
    std::string r = record("\"action\":\"updgset\"");
    EXPECT_NE(r.find("\"command\":\"timelimit=30\""), std::string::npos) << r;
    EXPECT_NE(r.find("\"result\":\"done\""), std::string::npos) << r;
    post("timelimit=30\r\nupdgset=Update\r\n");
    r = record("\"action\":\"updgset\"");
    EXPECT_NE(r.find("\"why\":\"no value changed\""), std::string::npos) << r;
}

TEST_F(WebAudit, RecordsNameTheAdministratorsLevel) {
    exec("say level");
    std::string r = record("\"command\":\"say level\"");
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"web\",\"name\":\"webkey\",\"level\":\"all\""),
              std::string::npos)
        << r;
}

TEST_F(WebAudit, TheScreenShowsTheRecordedBytesAndNamesInTheirColours) {
    join("^1Red^7Guy", 7);
    run("qz_sv_Kick 1 5 cheating");
    run("qz_sv_BanGuid " + webtest::guidOf(9) + " J\xf6rg 1.2.3.4 caf\xe9");
    std::string page = post("auditlog=Audit Log\r\n");
    EXPECT_TRUE(has(page, "<th>Who</th>")) << page;
    // The byte as the game has it, not its escape in the file.
    EXPECT_TRUE(has(page, "J\xf6rg 1.2.3.4 caf\xe9")) << page;
    EXPECT_FALSE(has(page, "udcf6"));
    // The kicked player's name in his colours, as on the Player List.
    EXPECT_FALSE(has(page, "^1Red"));
    EXPECT_TRUE(has(page, ">Red</font>")) << page;
}

struct TypedFilter {
    const char* typed;
    int records;
};

class WebAuditFilter : public WebAudit, public ::testing::WithParamInterface<TypedFilter> {};

TEST_P(WebAuditFilter, FindsWhatTheAdministratorTyped) {
    run("qz_sv_BanGuid " + webtest::guidOf(9) + " J\xf6rg 1.2.3.4 caf\xe9");
    run("qz_sv_BanGuid " + webtest::guidOf(10) + " Plain 1.2.3.5 other");
    std::string page = post(std::string("auditfilter=") + GetParam().typed + "\r\nauditlog=x\r\n");
    std::string count = "* " + std::to_string(GetParam().records) + " RECORD";
    EXPECT_TRUE(has(page, count)) << page;
}

INSTANTIATE_TEST_SUITE_P(Typed, WebAuditFilter,
                         ::testing::Values(TypedFilter{"caf\xe9", 1}, TypedFilter{"j\xf6rg", 1},
                                           TypedFilter{"J\xc3\xb6rg", 1}, TypedFilter{"plain", 1},
                                           TypedFilter{"nobody", 0}));

}  // namespace
