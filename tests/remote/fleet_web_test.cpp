// The ban scope on the WebTool's Player List: offered once fleet bans are set up, and the choice
// made there decides whether the ban goes into the report queue.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "webtool/web_module.h"

namespace {

class FleetWeb : public webtest::WebModule {
  protected:
    std::string ban(int slot, int n, const std::string& scope) {
        return post("slotnum=" + std::to_string(slot) + "\r\nguid=" + webtest::guidOf(n) +
                    "\r\nwebreason=aimbot\r\nwebkicklen=5\r\n" + scope +
                    "webconfirm=ban\r\nbanslot=Ban for ever\r\n");
    }
    std::string queue() {
        std::ifstream in(home() + "qzfleetq.dat");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST_F(FleetWeb, TheScopeIsOfferedOnlyWithFleetBansSetUp) {
    EXPECT_FALSE(webtest::has(post("plist=Player List\r\n"), "name=webfleet"));
    run("qz_sv_FleetServer alpha");
    std::string page = post("plist=Player List\r\n");
    EXPECT_TRUE(webtest::has(page, "<option value=0 selected>This server only</option>"));
    run("qz_sv_FleetBanDefault 1");
    page = post("plist=Player List\r\n");
    EXPECT_TRUE(webtest::has(page, "<option value=1 selected>Fleet-wide</option>"));
}

TEST_F(FleetWeb, TheChosenScopeDecidesWhetherTheBanIsReported) {
    run("qz_sv_FleetServer alpha");
    struct Case {
        const char* scope;
        int defaultScope;
        bool reported;
    } cases[] = {
        {"webfleet=1\r\n", 0, true},
        {"webfleet=0\r\n", 1, false},
        {"", 1, true},
        {"", 0, false},
    };
    int n = 2;
    for (const Case& c : cases) {
        run("qz_sv_FleetBanDefault " + std::to_string(c.defaultScope));
        int slot = join("Cheater", n);
        ASSERT_GT(slot, 0);
        std::string before = queue();
        std::string page = ban(slot, n, c.scope);
        EXPECT_TRUE(webtest::has(page, "<b><i>* COMMAND ISSUED *</i></b>"));
        std::string added = queue().substr(before.size());
        EXPECT_EQ(added.find(webtest::guidOf(n) + " 10.0.0.1:27960") != std::string::npos,
                  c.reported)
            << c.scope << " default " << c.defaultScope << ": " << added;
        if (c.reported) {
            // The origin token names the login (the page key) and its address.
            EXPECT_NE(added.find(" web:webkey@127.0.0.1:"), std::string::npos) << added;
        }
        n++;
    }
}

}  // namespace
