// The public pages: the ban list with its search and keyset paging, one ban's page, and the
// appeal a banned player files from it.
#include <cctype>

#include "qzmaster/fleet_records.h"
#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

constexpr size_t kAppealTextMax = 2000;
constexpr size_t kAppealContactMax = 200;
constexpr int kAppealsPerAddressPerHour = 3;
constexpr int kAppealsPerGuidPerDay = 3;

void length(Html& h, const qzm::BanRecord& r) {
    if (r.lengthMin == 0) {
        h.tag("permanent");
        return;
    }
    if (r.lengthMin % 1440 == 0) {
        h.num(r.lengthMin / 1440).tag(" d");
    } else if (r.lengthMin % 60 == 0) {
        h.num(r.lengthMin / 60).tag(" h");
    } else {
        h.num(r.lengthMin).tag(" min");
    }
    h.tag(", until ").time(r.banTime + r.lengthMin * 60);
}

void state(Html& h, const PanelBan& b, int64_t now) {
    h.text(banState(b, now));
    if (b.lifted) h.tag(" by ").text(b.liftedBy).tag(" on ").time(b.liftedAt);
}

// The link to a page of the list with the current search.
void pageLink(Html& h, const std::string& guid, const std::string& name, const char* key,
              int64_t id) {
    h.tag("<a href=\"/bans?");
    std::string q;
    auto add = [&q](const char* k, std::string_view v) {
        if (v.empty()) return;
        if (!q.empty()) q += '&';
        q += k;
        q += '=';
        for (unsigned char c : v) {
            if (isalnum(c) || c == '-' || c == '_' || c == '.') {
                q.push_back(static_cast<char>(c));
            } else {
                char b[4];
                snprintf(b, sizeof b, "%%%02X", c);
                q += b;
            }
        }
    };
    add("guid", guid);
    add("name", name);
    add(key, std::to_string(id));
    h.text(q).tag("\">");
}

bool guidPrefixOk(std::string_view g) {
    if (g.size() > qzm::kGuidMax) return false;
    for (char c : g) {
        if (!isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

Response pageBans(Call& call) {
    std::string guid(call.req.query.get("guid")), name(call.req.query.get("name"));
    Html h;
    h.tag(
         "<form method=\"get\" action=\"/bans\"><label>GUID (or its start) <input name=\"guid\" "
         "maxlength=\"32\" value=\"")
        .text(guid)
        .tag("\"></label> <label>Name contains <input name=\"name\" maxlength=\"63\" value=\"")
        .text(name)
        .tag("\"></label> <button type=\"submit\">Search</button></form>");
    if (!guidPrefixOk(guid) || name.size() > qzm::kNameMax) {
        h.tag(
            "<p class=\"err\">A GUID has up to 32 letters and digits; a name up to 63 "
            "characters.</p>");
        return htmlPage(call, "Fleet bans", h.str(), 400);
    }
    BanPageQuery q;
    q.guid = guid;
    q.name = name;
    q.before = parseId(call.req.query.get("before"));
    q.after = q.before ? 0 : parseId(call.req.query.get("after"));
    std::vector<PanelBan> list;
    std::string error;
    if (!call.ctx.data->bans(q, &list, &error)) {
        return refusal(call, 503, "The ban list cannot be read now: " + error);
    }
    bool more = list.size() > static_cast<size_t>(q.limit);
    if (more) {
        // The extra row tells that there is another page beyond; which end it is on depends on
        // the direction.
        if (q.after) {
            list.erase(list.begin());
        } else {
            list.pop_back();
        }
    }
    if (list.empty()) {
        h.tag("<p>No bans found.</p>");
    } else {
        h.tag(
            "<div class=\"wide\"><table class=\"bans\"><thead><tr><th>#</th><th>Name</th>"
            "<th>GUID</th><th>Server</th><th>Date</th><th>Length</th><th>Reason</th>"
            "<th>State</th></tr></thead><tbody>");
        for (const PanelBan& b : list) {
            h.tag("<tr><td><a href=\"/bans/").num(b.rec.id).tag("\">").num(b.rec.id);
            h.tag("</a></td><td><span class=\"name\">").name(b.rec.name).tag("</span></td><td>");
            h.text(b.rec.guid).tag("</td><td>").text(b.rec.server).tag("</td><td>");
            h.time(b.rec.banTime).tag("</td><td>");
            length(h, b.rec);
            h.tag("</td><td>").text(b.reason).tag("</td><td>");
            state(h, b, call.now);
            h.tag("</td></tr>");
        }
        h.tag("</tbody></table></div><p class=\"pages\">");
        bool newer = q.before || (q.after && more);
        bool older = q.after || more;
        if (newer) {
            pageLink(h, guid, name, "after", list.front().rec.id);
            h.tag("&larr; Newer</a> ");
        }
        if (older) {
            pageLink(h, guid, name, "before", list.back().rec.id);
            h.tag("Older &rarr;</a>");
        }
        h.tag("</p>");
    }
    return htmlPage(call, "Fleet bans", h.str());
}

Response pageBan(Call& call) {
    int64_t id = parseId(call.req.path.substr(6));
    PanelBan b;
    bool found = false;
    std::string error;
    if (!call.ctx.data->ban(id, &b, &found, &error)) {
        return refusal(call, 503, "The ban cannot be read now: " + error);
    }
    if (!found) return refusal(call, 404, "There is no such ban.");
    std::vector<AppealRow> appeals;
    if (!call.ctx.data->appealsOf(id, &appeals, &error)) {
        return refusal(call, 503, "The appeals cannot be read now: " + error);
    }
    Html h;
    h.tag("<dl><dt>Name</dt><dd><span class=\"name\">").name(b.rec.name).tag("</span></dd>");
    h.tag("<dt>GUID</dt><dd>").text(b.rec.guid).tag("</dd>");
    h.tag("<dt>Server</dt><dd>").text(b.rec.server).tag("</dd>");
    h.tag("<dt>Banned by</dt><dd>").text(b.rec.origin).tag("</dd>");
    h.tag("<dt>Date</dt><dd>").time(b.rec.banTime).tag("</dd>");
    h.tag("<dt>Length</dt><dd>");
    length(h, b.rec);
    h.tag("</dd><dt>Reason</dt><dd>").text(b.reason.empty() ? "-" : b.reason).tag("</dd>");
    h.tag("<dt>State</dt><dd>");
    state(h, b, call.now);
    h.tag("</dd></dl>");
    if (call.level() >= Level::Ban && banActive(b, call.now)) {
        h.tag(
             "<form method=\"post\" action=\"/admin/lift\"><input type=\"hidden\" name=\"csrf\" "
             "value=\"")
            .text(call.csrf())
            .tag("\"><input type=\"hidden\" name=\"id\" value=\"")
            .num(b.rec.id)
            .tag("\"><button type=\"submit\">Lift this ban</button></form>");
    }
    h.tag("<h2>Appeals</h2>");
    if (appeals.empty()) h.tag("<p>None.</p>");
    for (const AppealRow& a : appeals) {
        h.tag("<div class=\"appeal\"><p>Appeal ").num(a.id).tag(" filed ").time(a.filedAt);
        h.tag(": <strong>").text(a.state).tag("</strong>");
        if (a.state != "open") {
            h.tag(" by ").text(a.decidedBy).tag(" on ").time(a.decidedAt);
            if (!a.answer.empty()) h.tag(": ").text(a.answer);
        }
        h.tag("</p><blockquote>").text(a.text).tag("</blockquote></div>");
    }
    bool open = false;
    for (const AppealRow& a : appeals) open = open || a.state == "open";
    if (banActive(b, call.now) && !open) {
        std::string purpose = "appeal:" + std::to_string(id);
        h.tag("<h2>Appeal this ban</h2><form method=\"post\" action=\"/bans/")
            .num(id)
            .tag("/appeal\"><input type=\"hidden\" name=\"token\" value=\"")
            .text(formToken(purpose, call.now))
            .tag(
                "\"><p><label>Your GUID <input name=\"guid\" maxlength=\"32\" required>"
                "</label></p><p><label>Why the ban should be lifted<br><textarea name=\"text\" "
                "rows=\"6\" maxlength=\"2000\" required></textarea></label></p><p><label>How to "
                "reach you (optional) <input name=\"contact\" maxlength=\"200\"></label></p>"
                "<p><button type=\"submit\">File the appeal</button></p></form>");
    }
    return htmlPage(call, "Ban " + std::to_string(id), h.str());
}

Response postAppeal(Call& call) {
    std::string_view path = call.req.path;
    int64_t id = parseId(path.substr(6, path.size() - 6 - 7));
    const Form& f = call.req.form;
    if (!checkFormToken("appeal:" + std::to_string(id), f.get("token"), call.now)) {
        return refusal(call, 403, "Refused: the form has expired. Reload the ban's page.");
    }
    std::string guid(f.get("guid")), text(f.get("text")), contact(f.get("contact"));
    if (text.empty() || text.size() > kAppealTextMax || contact.size() > kAppealContactMax ||
        !qzm::validGuid(guid)) {
        return refusal(call, 400,
                       "An appeal needs your GUID, a text of up to 2000 characters and at most "
                       "200 characters of contact.");
    }
    PanelBan b;
    bool found = false;
    std::string error;
    if (!call.ctx.data->ban(id, &b, &found, &error)) return refusal(call, 503, error);
    if (!found || !banActive(b, call.now)) return refusal(call, 404, "That ban is not in force.");
    if (qzm::guidKey(guid.c_str()) != qzm::guidKey(b.rec.guid)) {
        return refusal(call, 403, "That GUID is not the banned one.");
    }
    std::vector<AppealRow> existing;
    if (!call.ctx.data->appealsOf(id, &existing, &error)) return refusal(call, 503, error);
    for (const AppealRow& a : existing) {
        if (a.state == "open") return refusal(call, 409, "An appeal of this ban is open already.");
    }
    int byGuid = 0, byAddress = 0;
    if (!call.ctx.data->appealsSince(guid, call.req.address, call.now - 86400, &byGuid, &byAddress,
                                     &error)) {
        return refusal(call, 503, error);
    }
    int recentByAddress = 0, ignored = 0;
    if (!call.ctx.data->appealsSince("", call.req.address, call.now - 3600, &ignored,
                                     &recentByAddress, &error)) {
        return refusal(call, 503, error);
    }
    if (byGuid >= kAppealsPerGuidPerDay || recentByAddress >= kAppealsPerAddressPerHour) {
        return refusal(call, 429, "Too many appeals; try again later.");
    }
    AppealRow a;
    a.banId = id;
    a.guid = b.rec.guid;
    a.text = text;
    a.contact = contact;
    a.filedAt = call.now;
    a.from = call.req.address;
    int64_t appealId = 0;
    if (!call.ctx.data->addAppeal(a, &appealId, &error)) return refusal(call, 503, error);
    call.audit("appeal-filed", "appeal " + std::to_string(appealId) + " of ban " +
                                   std::to_string(id) + " " + b.rec.guid);
    return seeOther("/bans/" + std::to_string(id));
}

}  // namespace qzpanel
