// A module on the simulated game server with the WebTool listening on a free loopback port and
// the web key "secret"; forms are posted through real sockets and answered frame by frame.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/module_fixture.h"
#include "web_client.h"

namespace webtest {

// A 32-hexadecimal-digit GUID made from a number.
inline std::string guidOf(int n) {
    char text[33];
    snprintf(text, sizeof text, "%032X", static_cast<unsigned>(n) * 2654435761u);
    return text;
}

class WebModule : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        port_ = freePort();
        run("qz_sv_HttpKey secret");
        run("qz_sv_HttpPort " + std::to_string(port_));
        auto opened = run("sim_advance 0");
        ASSERT_TRUE(anyLineContains(opened, "Listening for HTTP"))
            << testing::PrintToString(opened);
    }
    // Posts the fields (one "name=value" per line, CR LF after each) with the key first and
    // returns the answer; the host output of the request is in lines().
    std::string post(const std::string& fields, const std::string& key = "secret") {
        before_ = host().output().size();
        int s = connectTo(port_);
        EXPECT_GE(s, 0);
        sendText(s, postPlain("webkey=" + key + "\r\n" + fields));
        std::string answer = awaitAnswer(s, [this] { run("sim_advance 0"); });
        close(s);
        return answer;
    }
    // Host output lines since the last post.
    std::vector<std::string> lines() {
        const auto& all = host().output();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before_),
                                        all.end());
    }
    bool said(const std::string& text) { return anyLineContains(lines(), text); }
    // Connects a player with a GUID made from n; returns his slot.
    int join(const std::string& name, int n, const std::string& address = "10.0.0.1:27960") {
        return host().connect(name, guidOf(n), address);
    }
    int port_ = 0;
    size_t before_ = 0;
};

inline bool has(const std::string& page, const std::string& text) {
    return page.find(text) != std::string::npos;
}

}  // namespace webtest
