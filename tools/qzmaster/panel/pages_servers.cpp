// The servers page and its actions: adding a server (its secret shown once), cutting one off
// and restoring it, through the store's own routines (those of `qzmaster servers`).
#include "qzmaster/fleet_records.h"
#include "qzmaster/fleet_state.h"
#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

void serverForm(Html& h, const Call& call, const char* action, const std::string& id,
                const char* label) {
    h.tag("<form method=\"post\" class=\"inline\" action=\"");
    h.text(action).tag("\"><input type=\"hidden\" name=\"csrf\" value=\"").text(call.csrf());
    h.tag("\"><input type=\"hidden\" name=\"id\" value=\"").text(id).tag("\"><button ");
    h.tag("type=\"submit\">").text(label).tag("</button></form>");
}

Response setCut(Call& call, bool cut) {
    std::string id(call.req.form.get("id"));
    if (!qzm::validServerId(id) || id == "-") return refusal(call, 400, "Which server?");
    std::string error;
    if (!call.ctx.data->fleet().setCutOff(id, cut, &error)) return refusal(call, 409, error);
    call.audit(cut ? "server-cut" : "server-restore", "server " + id);
    return seeOther("/servers");
}

}  // namespace

Response pageServers(Call& call) {
    std::vector<qzm::ServerListing> list;
    std::string error;
    if (!call.ctx.data->fleet().listServers(&list, &error)) return refusal(call, 503, error);
    ServiceSnapshot snap = call.ctx.bridge.snapshot();
    Html h;
    h.tag(
        "<div class=\"wide\"><table class=\"bans\"><thead><tr><th>Server</th><th>State</th>"
        "<th>Last address</th><th>Added</th><th>Bans reported</th><th></th></tr></thead>"
        "<tbody>");
    for (const qzm::ServerListing& s : list) {
        if (s.id == "-") continue;  // the fleet's own id for the panel's bans
        auto at = snap.addresses.find(s.id);
        h.tag("<tr><td>").text(s.id).tag("</td><td>").text(s.cutOff ? "cut off" : "active");
        h.tag("</td><td>").text(at == snap.addresses.end() ? "-" : at->second).tag("</td><td>");
        h.time(s.added).tag("</td><td>").num(s.bans).tag("</td><td>");
        if (call.level() >= Level::All) {
            if (s.cutOff) {
                serverForm(h, call, "/admin/servers/restore", s.id, "Restore");
            } else {
                serverForm(h, call, "/admin/servers/cut", s.id, "Cut off");
            }
        }
        h.tag("</td></tr>");
    }
    h.tag("</tbody></table></div>");
    if (call.level() >= Level::All) {
        h.tag(
             "<h2>Add a server</h2><form method=\"post\" action=\"/admin/servers/add\">"
             "<input type=\"hidden\" name=\"csrf\" value=\"")
            .text(call.csrf())
            .tag(
                "\"><label>Id (1 to 32 of A-Z a-z 0-9 _ . -) <input name=\"id\" "
                "maxlength=\"32\" required></label> <button type=\"submit\">Add</button>"
                "</form>");
    }
    return htmlPage(call, "Servers", h.str());
}

Response postServerAdd(Call& call) {
    std::string id(call.req.form.get("id"));
    if (!qzm::validServerId(id) || id == "-") {
        return refusal(call, 400, "A server id is 1 to 32 of A-Z a-z 0-9 _ . -");
    }
    std::string secret = qzm::newSecretHex();
    std::string error;
    if (secret.empty() || !call.ctx.data->fleet().addServer(id, secret, &error)) {
        return refusal(call, 409, "Not added: " + error);
    }
    call.audit("server-add", "server " + id);  // never the secret
    Html h;
    h.tag("<p class=\"ok\">Server ")
        .text(id)
        .tag(
            " added. Its secret is shown this once: put "
            "this line in the server's qzfleet.key.</p>"
            "<pre>")
        .text(secret)
        .tag("</pre><p><a href=\"/servers\">Back to the servers</a></p>");
    return htmlPage(call, "Server added", h.str());
}

Response postServerCut(Call& call) { return setCut(call, true); }
Response postServerRestore(Call& call) { return setCut(call, false); }

}  // namespace qzpanel
