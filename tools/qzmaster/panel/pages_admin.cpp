// The administrators' pages: logging in and out, the panel's front page with the ban form,
// banning and lifting, the appeals and their decisions, and the audit trail. Each action is
// parsed here and performed by the store's or the service's own routine, then audited.
#include <cctype>
#include <chrono>

#include "qzmaster/fleet_records.h"
#include "qzmaster/fleet_state.h"
#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

constexpr size_t kReasonMax = 200;
constexpr int64_t kLengthMaxMin = 10LL * 365 * 1440;

void hiddenCsrf(Html& h, const Call& call) {
    h.tag("<input type=\"hidden\" name=\"csrf\" value=\"").text(call.csrf()).tag("\">");
}

std::string cookie(const Call& call, const std::string& value, int64_t maxAge) {
    std::string c = "qzp_session=" + value +
                    "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge);
    if (call.req.tls) c += "; Secure";
    return c;
}

// A name an administrator typed: kept short and printable for the audit trail.
std::string typedName(std::string_view name) {
    std::string out;
    for (char c : name.substr(0, 32)) {
        out.push_back(static_cast<unsigned char>(c) < 32 || c == 127 ? '?' : c);
    }
    return out;
}

// Lifts ban ID through the store's own lifting routine (the one the command line uses); the
// service learns of it from the store and pushes the lift to the servers.
bool liftBan(Call& call, int64_t id, std::vector<qzm::BanListing>* lifted, std::string* error) {
    qzm::BanQuery q;
    q.id = id;
    return call.ctx.data->fleet().unban(q, "panel:" + call.admin(), lifted, error);
}

}  // namespace

Response pageLogin(Call& call) {
    Html h;
    if (call.session) {
        h.tag("<p>You are logged in as ").text(call.admin()).tag(".</p>");
        return htmlPage(call, "Log in", h.str());
    }
    h.tag(
         "<form method=\"post\" action=\"/admin/login\"><input type=\"hidden\" name=\"token\" "
         "value=\"")
        .text(formToken("login:" + call.req.address, call.now))
        .tag(
            "\"><p><label>Name <input name=\"name\" maxlength=\"32\" autocomplete=\"username\" "
            "required></label></p><p><label>Password <input name=\"password\" "
            "type=\"password\" maxlength=\"200\" autocomplete=\"current-password\" required>"
            "</label></p><p><button type=\"submit\">Log in</button></p></form>");
    return htmlPage(call, "Log in", h.str());
}

Response postLogin(Call& call) {
    PanelContext& ctx = call.ctx;
    const std::string& address = call.req.address;
    if (ctx.lockout.locked(address, call.now)) {
        return refusal(call, 429,
                       "Too many failed log-ins from your address; try again in 15 minutes.");
    }
    const Form& f = call.req.form;
    if (!checkFormToken("login:" + address, f.get("token"), call.now)) {
        return refusal(call, 403, "Refused: the form has expired. Reload the log-in page.");
    }
    std::string name = typedName(f.get("name"));
    std::string_view password = f.get("password");
    AdminRow admin;
    bool found = false;
    std::string error;
    if (!ctx.data->admin(name, &admin, &found, &error)) {
        return refusal(call, 503, "Log-in is not possible now: " + error);
    }
    bool ok = checkPassword(password, found ? admin.hash : "") && found &&
              admin.level != Level::None && password.size() <= 200;
    if (!ok) {
        ctx.lockout.failed(address, call.now);
        call.audit("login-failed", "name " + name);
        return refusal(call, 403, "Wrong name or password.");
    }
    ctx.lockout.succeeded(address);
    if (call.session) ctx.sessions.close(call.token);
    std::string token = ctx.sessions.open(admin.name, admin.level, call.now);
    call.session = ctx.sessions.find(token, call.now);
    call.audit("login", std::string("level ") + levelName(admin.level));
    Response r = seeOther("/admin");
    r.headers.emplace_back("Set-Cookie", cookie(call, token, Sessions::kLifeSeconds));
    return r;
}

Response postLogout(Call& call) {
    call.audit("logout", "");
    call.ctx.sessions.close(call.token);
    Response r = seeOther("/bans");
    r.headers.emplace_back("Set-Cookie", cookie(call, "", 0));
    return r;
}

Response pageAdmin(Call& call) {
    Html h;
    h.tag("<p>Logged in as ").text(call.admin()).tag(", level ").text(levelName(call.level()));
    h.tag(".</p>");
    if (call.level() >= Level::Ban) {
        h.tag("<h2>Ban a GUID on every server</h2><form method=\"post\" action=\"/admin/ban\">");
        hiddenCsrf(h, call);
        h.tag(
            "<p><label>GUID <input name=\"guid\" maxlength=\"32\" required></label></p>"
            "<p><label>Name (optional) <input name=\"name\" maxlength=\"63\"></label></p>"
            "<p><label>Length in minutes (0: permanent) <input name=\"length\" "
            "inputmode=\"numeric\" value=\"0\" required></label></p>"
            "<p><label>Reason <input name=\"reason\" maxlength=\"200\" required></label></p>"
            "<p><button type=\"submit\">Ban</button></p></form>");
    }
    h.tag(
        "<h2>Export</h2><p><a href=\"/admin/export.csv\">Bans in force as CSV</a> "
        "<a href=\"/admin/export.json\">as JSON</a></p>");
    if (call.level() >= Level::All) {
        h.tag(
            "<h2>Import a server's ban file</h2><form method=\"post\" "
            "action=\"/admin/import\">");
        hiddenCsrf(h, call);
        h.tag(
            "<p><label>Contents of qzbans.dat<br><textarea name=\"file\" rows=\"8\" required>"
            "</textarea></label></p><input type=\"hidden\" name=\"step\" value=\"preview\">"
            "<p><button type=\"submit\">Show what would be added</button></p></form>");
    }
    return htmlPage(call, "Panel", h.str());
}

Response postBan(Call& call) {
    const Form& f = call.req.form;
    std::string guid(f.get("guid")), reason(f.get("reason"));
    std::string_view lengthText = f.get("length");
    int64_t length = lengthText == "0" ? 0 : parseId(lengthText);
    if (!qzm::validGuid(guid) || reason.empty() || reason.size() > kReasonMax ||
        (length == 0 && lengthText != "0") || length > kLengthMaxMin ||
        f.get("name").size() > qzm::kNameMax) {
        return refusal(call, 400,
                       "A ban needs a GUID (1 to 32 letters and digits), a length in minutes "
                       "(0 for permanent, at most ten years) and a reason of up to 200 "
                       "characters.");
    }
    for (char& c : guid) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    qzm::BanRecord rec;
    snprintf(rec.server, sizeof rec.server, "-");
    snprintf(rec.guid, sizeof rec.guid, "%s", guid.c_str());
    rec.banTime = call.now;
    rec.lengthMin = length;
    snprintf(rec.origin, sizeof rec.origin, "panel:%s", call.admin().c_str());
    rec.received = call.now;
    std::string name;
    qzm::cleanName(std::string(f.get("name")), &name);
    snprintf(rec.name, sizeof rec.name, "%s", name.c_str());
    int64_t id = banThroughService(call.ctx.bridge, rec, std::chrono::seconds(15));
    if (id <= 0) return refusal(call, 503, "The ban could not be stored; nothing was changed.");
    std::string error;
    call.ctx.data->setReason(id, reason, &error);
    call.audit("ban", "ban " + std::to_string(id) + " " + guid + " length " +
                          std::to_string(length) + "min reason " + reason);
    return seeOther("/bans/" + std::to_string(id));
}

Response postLift(Call& call) {
    int64_t id = parseId(call.req.form.get("id"));
    if (id <= 0) return refusal(call, 400, "Which ban?");
    std::vector<qzm::BanListing> lifted;
    std::string error;
    if (!liftBan(call, id, &lifted, &error)) return refusal(call, 503, "Not lifted: " + error);
    if (lifted.empty()) return refusal(call, 409, "That ban is not in force.");
    call.audit("lift", "ban " + std::to_string(id) + " " + lifted[0].rec.guid);
    return seeOther("/bans/" + std::to_string(id));
}

Response pageAppeals(Call& call) {
    std::string state(call.req.query.get("state"));
    if (state != "" && state != "open" && state != "accepted" && state != "rejected") state = "";
    int64_t before = parseId(call.req.query.get("before"));
    std::vector<AppealRow> list;
    std::string error;
    if (!call.ctx.data->appeals(state, before, 50, &list, &error)) {
        return refusal(call, 503, error);
    }
    bool more = list.size() > 50;
    if (more) list.pop_back();
    Html h;
    h.tag(
        "<p><a href=\"/appeals?state=open\">Open</a> <a href=\"/appeals?state=accepted\">"
        "Accepted</a> <a href=\"/appeals?state=rejected\">Rejected</a> <a href=\"/appeals\">"
        "All</a></p>");
    if (list.empty()) h.tag("<p>No appeals.</p>");
    for (const AppealRow& a : list) {
        h.tag("<div class=\"appeal\"><h2>Appeal ").num(a.id).tag(" of <a href=\"/bans/");
        h.num(a.banId).tag("\">ban ").num(a.banId).tag("</a></h2><p>GUID ").text(a.guid);
        h.tag(", filed ").time(a.filedAt).tag(" from ").text(a.from).tag(", contact: ");
        h.text(a.contact.empty() ? "-" : a.contact).tag(". State: <strong>").text(a.state);
        h.tag("</strong>");
        if (a.state != "open") h.tag(" by ").text(a.decidedBy).tag(": ").text(a.answer);
        h.tag("</p><blockquote>").text(a.text).tag("</blockquote>");
        if (a.state == "open" && call.level() >= Level::Ban) {
            h.tag("<form method=\"post\" action=\"/admin/appeal\">");
            hiddenCsrf(h, call);
            h.tag("<input type=\"hidden\" name=\"id\" value=\"").num(a.id);
            h.tag(
                "\"><label>Answer <input name=\"answer\" maxlength=\"200\"></label> "
                "<button type=\"submit\" name=\"decision\" value=\"accept\">Accept and lift"
                "</button> <button type=\"submit\" name=\"decision\" value=\"reject\">Reject"
                "</button></form>");
        }
        h.tag("</div>");
    }
    if (more) {
        h.tag("<p><a href=\"/appeals?state=").text(state).tag("&amp;before=");
        h.num(list.back().id).tag("\">Older &rarr;</a></p>");
    }
    return htmlPage(call, "Appeals", h.str());
}

Response postAppealDecision(Call& call) {
    const Form& f = call.req.form;
    int64_t id = parseId(f.get("id"));
    std::string_view decision = f.get("decision");
    std::string answer(f.get("answer"));
    if (id <= 0 || (decision != "accept" && decision != "reject") || answer.size() > kReasonMax ||
        (decision == "reject" && answer.empty())) {
        return refusal(call, 400, "An appeal is accepted, or rejected with a reason.");
    }
    AppealRow a;
    bool found = false;
    std::string error;
    if (!call.ctx.data->appeal(id, &a, &found, &error)) return refusal(call, 503, error);
    if (!found || a.state != "open") return refusal(call, 409, "That appeal is not open.");
    std::string state = decision == "accept" ? "accepted" : "rejected";
    if (!call.ctx.data->decideAppeal(id, state, answer, call.admin(), call.now, &error)) {
        return refusal(call, 409, error);
    }
    std::string detail = "appeal " + std::to_string(id) + " of ban " + std::to_string(a.banId);
    if (state == "accepted") {
        std::vector<qzm::BanListing> lifted;
        if (!liftBan(call, a.banId, &lifted, &error)) {
            call.audit("appeal-accept", detail + " (the lift failed: " + error + ")");
            return refusal(call, 503,
                           "The appeal is accepted but the ban was not lifted: " + error);
        }
        detail += lifted.empty() ? " (the ban was no longer in force)" : ", ban lifted";
    }
    call.audit(state == "accepted" ? "appeal-accept" : "appeal-reject", detail + " " + answer);
    return seeOther("/appeals?state=open");
}

Response pageAudit(Call& call) {
    AuditQuery q;
    q.who = std::string(call.req.query.get("who").substr(0, 64));
    q.action = std::string(call.req.query.get("action").substr(0, 32));
    q.before = parseId(call.req.query.get("before"));
    std::vector<AuditRow> rows;
    std::string error;
    if (!call.ctx.data->audits(q, &rows, &error)) return refusal(call, 503, error);
    bool more = rows.size() > static_cast<size_t>(q.limit);
    if (more) rows.pop_back();
    Html h;
    h.tag("<form method=\"get\" action=\"/admin/audit\"><label>Who <input name=\"who\" value=\"")
        .text(q.who)
        .tag("\"></label> <label>Action <input name=\"action\" value=\"")
        .text(q.action)
        .tag("\"></label> <button type=\"submit\">Filter</button></form>");
    h.tag(
        "<div class=\"wide\"><table class=\"bans\"><thead><tr><th>#</th><th>When</th>"
        "<th>Who</th><th>From</th><th>Action</th><th>What</th></tr></thead><tbody>");
    for (const AuditRow& a : rows) {
        h.tag("<tr><td>").num(a.id).tag("</td><td>").time(a.at).tag("</td><td>").text(a.who);
        h.tag("</td><td>").text(a.from).tag("</td><td>").text(a.action).tag("</td><td>");
        h.text(a.detail).tag("</td></tr>");
    }
    h.tag("</tbody></table></div>");
    if (more) {
        h.tag("<p><a href=\"/admin/audit?who=").text(q.who).tag("&amp;action=").text(q.action);
        h.tag("&amp;before=").num(rows.back().id).tag("\">Older &rarr;</a></p>");
    }
    return htmlPage(call, "Audit", h.str());
}

}  // namespace qzpanel
