// The panel's one table of routes, and the checks the dispatcher makes once for all of them
// before a handler runs: the method, where a POST comes from (Fetch Metadata and Origin), its
// body, the session and its level, and the CSRF token of every form of a session. Every answer
// gets the same security headers.
#include <cstring>

#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

enum class Match { Exact, IdThen };  // IdThen: PREFIX<id> then SUFFIX

struct Route {
    const char* method;
    const char* path;    // exact path, or the prefix before an id
    const char* suffix;  // after the id (IdThen)
    Match match;
    Level level;       // None: anyone
    bool sessionForm;  // a POST that carries the session's CSRF token
    Response (*handler)(Call&);
};

// Public POSTs (log-in, appeals) carry a form token of their own, checked by their handler.
const Route kRoutes[] = {
    {"GET", "/bans", "", Match::Exact, Level::None, false, pageBans},
    {"GET", "/bans/", "", Match::IdThen, Level::None, false, pageBan},
    {"POST", "/bans/", "/appeal", Match::IdThen, Level::None, false, postAppeal},
    {"GET", "/metrics", "", Match::Exact, Level::None, false, pageMetrics},
    {"GET", "/admin/login", "", Match::Exact, Level::None, false, pageLogin},
    {"POST", "/admin/login", "", Match::Exact, Level::None, false, postLogin},
    {"POST", "/admin/logout", "", Match::Exact, Level::View, true, postLogout},
    {"GET", "/admin", "", Match::Exact, Level::View, false, pageAdmin},
    {"GET", "/appeals", "", Match::Exact, Level::View, false, pageAppeals},
    {"GET", "/servers", "", Match::Exact, Level::View, false, pageServers},
    {"GET", "/admin/audit", "", Match::Exact, Level::View, false, pageAudit},
    {"GET", "/admin/export.csv", "", Match::Exact, Level::View, false, exportCsv},
    {"GET", "/admin/export.json", "", Match::Exact, Level::View, false, exportJson},
    {"POST", "/admin/ban", "", Match::Exact, Level::Ban, true, postBan},
    {"POST", "/admin/lift", "", Match::Exact, Level::Ban, true, postLift},
    {"POST", "/admin/appeal", "", Match::Exact, Level::Ban, true, postAppealDecision},
    {"POST", "/admin/servers/add", "", Match::Exact, Level::All, true, postServerAdd},
    {"POST", "/admin/servers/cut", "", Match::Exact, Level::All, true, postServerCut},
    {"POST", "/admin/servers/restore", "", Match::Exact, Level::All, true, postServerRestore},
    {"POST", "/admin/import", "", Match::Exact, Level::All, true, postImport},
};

bool matches(const Route& r, std::string_view path) {
    if (r.match == Match::Exact) return path == r.path;
    std::string_view prefix = r.path, suffix = r.suffix;
    if (path.size() <= prefix.size() + suffix.size() || path.substr(0, prefix.size()) != prefix ||
        path.substr(path.size() - suffix.size()) != suffix) {
        return false;
    }
    std::string_view id = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    return parseId(id) > 0;
}

void secure(Response* r, bool admin) {
    r->headers.emplace_back("Content-Security-Policy",
                            "default-src 'none'; style-src 'self'; img-src 'self'; "
                            "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    r->headers.emplace_back("X-Content-Type-Options", "nosniff");
    r->headers.emplace_back("X-Frame-Options", "DENY");
    // "same-origin": with "no-referrer" a browser sends "Origin: null" with our own forms.
    r->headers.emplace_back("Referrer-Policy", "same-origin");
    r->headers.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
    r->headers.emplace_back("Cross-Origin-Resource-Policy", "same-origin");
    if (admin) r->headers.emplace_back("Cache-Control", "no-store");
}

// True when a POST comes from one of our own pages (or from a program that is no browser:
// neither header, and then the form token alone decides).
bool sameOrigin(const Request& req) {
    if (!req.fetchSite.empty() && req.fetchSite != "same-origin") return false;
    if (req.origin.empty()) return true;
    if (req.origin == "null") return false;
    std::string_view o = req.origin;
    size_t scheme = o.find("://");
    if (scheme == std::string_view::npos) return false;
    return o.substr(scheme + 3) == req.host;
}

}  // namespace

const std::string& Call::admin() const {
    static const std::string nobody = "-";
    return session ? session->admin : nobody;
}

bool Call::audit(std::string_view action, std::string_view detail) {
    AuditRow row;
    row.at = now;
    row.who = admin();
    row.from = req.address;
    row.action.assign(action);
    row.detail.assign(detail.substr(0, 1000));
    std::string error;
    return ctx.data->addAudit(row, &error);
}

Response htmlPage(const Call& call, std::string_view title, const std::string& body, int status) {
    Response r;
    r.status = status;
    r.body = page(title, body, call.session ? call.session->admin : "", call.csrf());
    return r;
}

Response refusal(const Call& call, int status, std::string_view why) {
    Html h;
    h.tag("<p class=\"err\">").text(why).tag("</p>");
    return htmlPage(call, status == 403 ? "Not allowed" : "Not done", h.str(), status);
}

Response seeOther(std::string_view path) {
    Response r;
    r.status = 303;
    r.headers.emplace_back("Location", std::string(path));
    r.body = "";
    return r;
}

const char* banState(const qzm::BanListing& ban, int64_t now) {
    if (ban.lifted) return "lifted";
    return banActive(ban, now) ? "active" : "expired";
}

int64_t parseId(std::string_view text) {
    if (text.empty() || text.size() > 18) return 0;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (c - '0');
    }
    return v;
}

Response Panel::handle(const Request& req) {
    PanelContext& ctx = *context_;
    ++ctx.requests;
    ctx.data->poll();
    Call call{ctx, req, nullptr, "", 0};
    call.now = time(nullptr);
    std::string token;
    if (cookieValue(req.cookies, "qzp_session", &token)) {
        call.session = ctx.sessions.find(token, call.now);
        if (call.session) call.token = token;
    }
    Response r;
    if (req.method == "GET" && req.path == "/panel.css") {
        r.type = "text/css; charset=utf-8";
        r.body = kPanelCss;
        r.headers.emplace_back("Cache-Control", "max-age=3600");
        secure(&r, false);
        return r;
    }
    if (req.method == "GET" && req.path == "/") {
        r = seeOther("/bans");
        secure(&r, false);
        return r;
    }
    const Route* route = nullptr;
    bool pathKnown = false;
    std::string method = req.method == "HEAD" ? "GET" : req.method;
    for (const Route& candidate : kRoutes) {
        if (!matches(candidate, req.path)) continue;
        pathKnown = true;
        if (method == candidate.method) {
            route = &candidate;
            break;
        }
    }
    bool adminPage = req.path.rfind("/admin", 0) == 0 || call.session;
    if (!route) {
        r = refusal(call, pathKnown ? 405 : 404,
                    pathKnown ? "That method is not served here." : "There is no such page.");
    } else if (method == "POST" && !sameOrigin(req)) {
        ++ctx.refusals;
        r = refusal(call, 403, "Refused: the form was sent from another site.");
    } else if (method == "POST" && (!req.formType || !req.formOk)) {
        ++ctx.refusals;
        r = refusal(call, 400, "Refused: the form could not be read.");
    } else if (route->level != Level::None && !call.session) {
        if (method == "GET") {
            r = seeOther("/admin/login");
        } else {
            ++ctx.refusals;
            r = refusal(call, 403, "Refused: log in first.");
        }
    } else if (route->level > call.level()) {
        ++ctx.refusals;
        r = refusal(call, 403,
                    std::string("Refused: your level (") + levelName(call.level()) +
                        ") may not do this; it needs " + levelName(route->level) + ".");
    } else if (route->sessionForm && !sameText(req.form.get("csrf"), call.session->csrf)) {
        ++ctx.refusals;
        r = refusal(call, 403,
                    "Refused: the form has expired or was not sent from this panel. "
                    "Reload the page and try again.");
    } else if (route->handler == pageBans && !ctx.options.publicList &&
               call.level() < Level::View) {
        r = seeOther("/admin/login");
    } else {
        r = route->handler(call);
    }
    secure(&r, adminPage);
    return r;
}

}  // namespace qzpanel
