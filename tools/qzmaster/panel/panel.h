// The fleet panel: qzmaster's web pages for the fleet's bans (the public list, appeals, the
// administrators' panel, the servers, /metrics, export and import). It runs libmicrohttpd in a
// thread of its own (docs/fleet-panel.md says why) and reaches the ban service only through
// the bridge; handle() is the whole of the panel without HTTP, which the tests drive.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qzmaster/panel/auth.h"
#include "qzmaster/panel/bridge.h"
#include "qzmaster/panel/forms.h"
#include "qzmaster/panel/panel_data.h"

struct MHD_Daemon;

namespace qzpanel {

struct PanelOptions {
    std::string address = "127.0.0.1";
    unsigned port = 0;  // 0: an ephemeral port
    std::string db;     // the fleet's database ("" : the file store in dir)
    std::string dir;
    bool publicList = true;   // the ban list and its search without logging in
    bool trustProxy = false;  // X-Real-IP and X-Forwarded-Proto from a proxy on loopback
};

struct Request {
    std::string method;   // GET, HEAD or POST
    std::string path;     // decoded, without the query
    std::string address;  // the client's (after a trusted proxy)
    bool tls = false;     // reached us over TLS (through the trusted proxy)
    Form query;
    Form form;            // a POST's fields
    std::string cookies;  // the Cookie header
    std::string host;
    std::string origin;     // "" when absent
    std::string fetchSite;  // Sec-Fetch-Site, "" when absent
    bool formType = true;   // a POST body that is application/x-www-form-urlencoded
    bool formOk = true;     // its fields parsed
};

struct Response {
    int status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct PanelContext;

class Panel {
  public:
    Panel(const PanelOptions& options, ServiceBridge& bridge);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Opens the data and starts serving; false with *error set.
    bool start(std::string* error);
    // Opens the data only (tests that call handle() themselves).
    bool open(std::string* error);
    void stop();
    unsigned port() const { return port_; }
    const PanelOptions& options() const { return options_; }

    // Answers one request (the panel's thread, or a test's).
    Response handle(const Request& request);
    PanelData& data();

  private:
    PanelOptions options_;
    std::unique_ptr<PanelContext> context_;
    MHD_Daemon* daemon_ = nullptr;
    unsigned port_ = 0;
};

// Adds or changes an administrator (the command line: qzmaster panel-admin).
int panelAdminCommand(int argc, char** argv);

}  // namespace qzpanel
