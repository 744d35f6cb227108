// /metrics: the ban service's figures in the Prometheus text format, from the copy the
// service's loop leaves in the bridge (so a scrape never touches the service's own state).
#include "qzmaster/panel/context.h"
#include "remote/fleet_wire.h"

namespace qzpanel {

namespace {

void metric(std::string* out, const char* name, const char* type, const char* help) {
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += help;
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

void sample(std::string* out, const char* name, const std::string& labels, long long value) {
    *out += name;
    if (!labels.empty()) *out += "{" + labels + "}";
    *out += ' ';
    *out += std::to_string(value);
    *out += '\n';
}

}  // namespace

Response pageMetrics(Call& call) {
    ServiceSnapshot s = call.ctx.bridge.snapshot();
    const qzm::FleetCounters& c = s.counters;
    std::string o;
    metric(&o, "qzfleet_lookups_total", "counter", "Lookups answered.");
    sample(&o, "qzfleet_lookups_total", "", c.lookups);
    metric(&o, "qzfleet_answers_total", "counter", "Lookup answers by verdict.");
    sample(&o, "qzfleet_answers_total", "verdict=\"banned\"", c.banned);
    sample(&o, "qzfleet_answers_total", "verdict=\"clear\"", c.lookups - c.banned);
    metric(&o, "qzfleet_not_ready_total", "counter",
           "Lookups left unanswered while the store was loading.");
    sample(&o, "qzfleet_not_ready_total", "", c.notReady);
    metric(&o, "qzfleet_refusals_total", "counter", "Packets refused, by reason.");
    for (int i = 0; i < QZF_REFUSALS; ++i) {
        sample(&o, "qzfleet_refusals_total", std::string("reason=\"") + fleetRefusalName(i) + "\"",
               c.refused[i]);
    }
    metric(&o, "qzfleet_reports_stored_total", "counter", "Ban reports stored and acknowledged.");
    sample(&o, "qzfleet_reports_stored_total", "", c.reports);
    metric(&o, "qzfleet_unbans_stored_total", "counter", "Unban reports stored and acknowledged.");
    sample(&o, "qzfleet_unbans_stored_total", "", c.unbans);
    metric(&o, "qzfleet_pushes_total", "counter", "Bans and lifts pushed to servers.");
    sample(&o, "qzfleet_pushes_total", "", c.pushes);
    metric(&o, "qzfleet_store_ready", "gauge", "1 once the store's contents are loaded.");
    sample(&o, "qzfleet_store_ready", "", s.ready ? 1 : 0);
    metric(&o, "qzfleet_store_up", "gauge",
           "0 while the store reports itself unavailable (database lost).");
    sample(&o, "qzfleet_store_up", "",
           s.storeStatus.find("unavailable") == std::string::npos ? 1 : 0);
    metric(&o, "qzfleet_bans", "gauge", "Fleet bans in memory, by state.");
    sample(&o, "qzfleet_bans", "state=\"live\"", static_cast<long long>(s.liveBans));
    sample(&o, "qzfleet_bans", "state=\"all\"", static_cast<long long>(s.bans));
    metric(&o, "qzfleet_panel_jobs_waiting", "gauge",
           "Panel actions waiting for the service's loop.");
    sample(&o, "qzfleet_panel_jobs_waiting", "", static_cast<long long>(s.jobsWaiting));
    metric(&o, "qzfleet_panel_requests_total", "counter", "Requests the panel answered.");
    sample(&o, "qzfleet_panel_requests_total", "", call.ctx.requests.load());
    metric(&o, "qzfleet_panel_refusals_total", "counter",
           "Panel requests refused (origin, token, level, session).");
    sample(&o, "qzfleet_panel_refusals_total", "", call.ctx.refusals.load());
    Response r;
    r.type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = std::move(o);
    return r;
}

}  // namespace qzpanel
