// Export of the bans in force (CSV and JSON) and import of a server's ban file: a preview of
// the GUID bans that would be added (those not banned in the fleet already), then, when
// confirmed, each added as a fleet ban through the service like a ban made in the panel.
#include <chrono>
#include <nlohmann/json.hpp>
#include <set>

#include "qzmaster/fleet_records.h"
#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

constexpr size_t kImportPerRequest = 5000;

// A CSV field: always quoted, quotes doubled; a leading = + - @ is prefixed with ' so that a
// spreadsheet never takes it for a formula.
void csvField(std::string* out, std::string_view v) {
    *out += '"';
    if (!v.empty() && (v[0] == '=' || v[0] == '+' || v[0] == '-' || v[0] == '@')) *out += '\'';
    for (char c : v) {
        if (c == '"') *out += '"';
        *out += c;
    }
    *out += '"';
}

Response download(std::string body, const char* type, const char* file) {
    Response r;
    r.type = type;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Disposition",
                           std::string("attachment; filename=\"") + file + "\"");
    return r;
}

}  // namespace

Response exportCsv(Call& call) {
    std::vector<PanelBan> list;
    std::string error;
    if (!call.ctx.data->liveBans(call.now, &list, &error)) return refusal(call, 503, error);
    std::string o = "id,guid,name,server,ban_time,length_min,origin,reason\r\n";
    for (const PanelBan& b : list) {
        o += std::to_string(b.rec.id) + ",";
        csvField(&o, b.rec.guid);
        o += ',';
        csvField(&o, nameUtf8(b.rec.name));
        o += ',';
        csvField(&o, b.rec.server);
        o += "," + std::to_string(b.rec.banTime) + "," + std::to_string(b.rec.lengthMin) + ",";
        csvField(&o, b.rec.origin);
        o += ',';
        csvField(&o, b.reason);
        o += "\r\n";
    }
    call.audit("export", "csv, " + std::to_string(list.size()) + " bans");
    return download(std::move(o), "text/csv; charset=utf-8", "fleet-bans.csv");
}

Response exportJson(Call& call) {
    std::vector<PanelBan> list;
    std::string error;
    if (!call.ctx.data->liveBans(call.now, &list, &error)) return refusal(call, 503, error);
    nlohmann::json a = nlohmann::json::array();
    for (const PanelBan& b : list) {
        a.push_back({{"id", b.rec.id},
                     {"guid", b.rec.guid},
                     {"name", nameUtf8(b.rec.name)},
                     {"server", b.rec.server},
                     {"ban_time", b.rec.banTime},
                     {"length_min", b.rec.lengthMin},
                     {"origin", b.rec.origin},
                     {"reason", b.reason}});
    }
    call.audit("export", "json, " + std::to_string(list.size()) + " bans");
    return download(a.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
                    "application/json", "fleet-bans.json");
}

Response postImport(Call& call) {
    const Form& f = call.req.form;
    std::string_view text = f.get("file");
    ImportResult parsed;
    parseBanFile(text, &parsed);
    // What would be added: GUIDs without a ban in force, each once.
    std::vector<const ImportedBan*> add;
    std::set<std::string> seen;
    std::string error;
    for (const ImportedBan& b : parsed.bans) {
        if (!seen.insert(b.guid).second) continue;
        bool live = false;
        if (!call.ctx.data->hasLiveBan(b.guid, call.now, &live, &error)) {
            return refusal(call, 503, error);
        }
        if (!live) add.push_back(&b);
        if (add.size() >= kImportPerRequest) break;
    }
    Html h;
    h.tag("<p>").num(static_cast<int64_t>(parsed.bans.size())).tag(" GUID bans read, ");
    h.num(static_cast<int64_t>(parsed.skipped)).tag(" other lines skipped, ");
    h.num(static_cast<int64_t>(parsed.damaged)).tag(" damaged lines.</p>");
    if (f.get("step") != "apply") {
        h.tag("<p>").num(static_cast<int64_t>(add.size()));
        h.tag(
            " would be added as permanent fleet bans:</p><div class=\"wide\"><table><thead>"
            "<tr><th>GUID</th><th>Name</th><th>Reason</th></tr></thead><tbody>");
        for (const ImportedBan* b : add) {
            h.tag("<tr><td>").text(b->guid).tag("</td><td><span class=\"name\">").name(b->name);
            h.tag("</span></td><td>").text(b->reason).tag("</td></tr>");
        }
        h.tag("</tbody></table></div>");
        if (!add.empty()) {
            h.tag(
                 "<form method=\"post\" action=\"/admin/import\"><input type=\"hidden\" "
                 "name=\"csrf\" value=\"")
                .text(call.csrf())
                .tag(
                    "\"><input type=\"hidden\" name=\"step\" value=\"apply\"><textarea "
                    "name=\"file\" hidden>")
                .text(text)
                .tag("</textarea><button type=\"submit\">Add these bans</button></form>");
        }
        return htmlPage(call, "Import: what would be added", h.str());
    }
    size_t added = 0;
    for (const ImportedBan* b : add) {
        qzm::BanRecord rec;
        snprintf(rec.server, sizeof rec.server, "-");
        snprintf(rec.guid, sizeof rec.guid, "%s", b->guid.c_str());
        rec.banTime = b->banTime > 0 ? b->banTime : call.now;
        snprintf(rec.origin, sizeof rec.origin, "import:%s", call.admin().c_str());
        rec.received = call.now;
        std::string name;
        qzm::cleanName(b->name, &name);
        snprintf(rec.name, sizeof rec.name, "%s", name.c_str());
        int64_t id = banThroughService(call.ctx.bridge, rec, std::chrono::seconds(15));
        if (id <= 0) break;
        call.ctx.data->setReason(id, b->reason, &error);
        ++added;
    }
    call.audit("import",
               std::to_string(added) + " of " + std::to_string(add.size()) + " GUID bans added");
    h.tag("<p class=\"ok\">").num(static_cast<int64_t>(added)).tag(" of ");
    h.num(static_cast<int64_t>(add.size())).tag(" bans added.</p>");
    return htmlPage(call, "Import", h.str());
}

}  // namespace qzpanel
