// What every page handler of the panel shares: the data, sessions, lock-out, the bridge to the
// service, and the helpers for answers. Handlers run on the panel's thread only.
#pragma once

#include <atomic>
#include <ctime>
#include <string>
#include <string_view>

#include "qzmaster/panel/html.h"
#include "qzmaster/panel/panel.h"

namespace qzpanel {

struct PanelContext {
    PanelOptions options;
    ServiceBridge& bridge;
    std::unique_ptr<PanelData> data;
    Sessions sessions;
    Lockout lockout;
    std::atomic<long> requests{0};
    std::atomic<long> refusals{0};
};

// The request as a handler sees it: the request, the session when one is logged in.
struct Call {
    PanelContext& ctx;
    const Request& req;
    Session* session = nullptr;
    std::string token;  // the session's cookie value
    int64_t now = 0;

    const std::string& admin() const;
    std::string csrf() const { return session ? session->csrf : ""; }
    Level level() const { return session ? session->level : Level::None; }
    // Writes an audit record of ACTION with DETAIL; false (and the page says so) when it could
    // not be stored.
    bool audit(std::string_view action, std::string_view detail);
};

// A whole page.
Response htmlPage(const Call& call, std::string_view title, const std::string& body,
                  int status = 200);
// A page that says WHY an action was refused (or failed), at the place it was asked.
Response refusal(const Call& call, int status, std::string_view why);
// 303 to PATH (after a POST).
Response seeOther(std::string_view path);

// Handlers, one per route (router.cpp has the table).
Response pageBans(Call& call);
Response pageBan(Call& call);
Response postAppeal(Call& call);
Response pageLogin(Call& call);
Response postLogin(Call& call);
Response postLogout(Call& call);
Response pageAdmin(Call& call);
Response postBan(Call& call);
Response postLift(Call& call);
Response pageAppeals(Call& call);
Response postAppealDecision(Call& call);
Response pageServers(Call& call);
Response postServerAdd(Call& call);
Response postServerCut(Call& call);
Response postServerRestore(Call& call);
Response pageAudit(Call& call);
Response pageMetrics(Call& call);
Response exportCsv(Call& call);
Response exportJson(Call& call);
Response postImport(Call& call);

// "active", "expired" or "lifted" for BAN at NOW.
const char* banState(const qzm::BanListing& ban, int64_t now);
// Parses a positive decimal id; 0 when TEXT is not one.
int64_t parseId(std::string_view text);

}  // namespace qzpanel
