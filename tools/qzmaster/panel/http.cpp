// The panel's HTTP side: libmicrohttpd in one thread of its own, with bounded connections,
// bodies and time. It turns each request into a Request for Panel::handle() and its Response
// back into HTTP; no HTTP parsing of our own.
#include <arpa/inet.h>
#include <microhttpd.h>

#include <cstring>

#include "qzmaster/panel/context.h"

namespace qzpanel {

namespace {

constexpr size_t kQueryFieldsMax = 16;
constexpr unsigned kConnectionsMax = 256;
constexpr unsigned kTimeoutSeconds = 20;

struct Pending {
    std::string body;
    bool tooBig = false;
};

const char* header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

// An address a proxy passes on: digits, hex letters, '.' and ':' only.
bool addressText(const char* v) {
    size_t n = strlen(v);
    if (n == 0 || n > 45) return false;
    for (size_t i = 0; i < n; ++i) {
        if (!isxdigit(static_cast<unsigned char>(v[i])) && v[i] != '.' && v[i] != ':') {
            return false;
        }
    }
    return true;
}

MHD_Result queryField(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* fields = static_cast<std::vector<FormField>*>(cls);
    if (fields->size() >= kQueryFieldsMax) return MHD_NO;
    std::string v = value ? value : "";
    if (v.size() > kFormValueMax) v.resize(kFormValueMax);
    fields->push_back(FormField{key ? key : "", v});
    return MHD_YES;
}

MHD_Result onRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** state) {
    auto* panel = static_cast<Panel*>(cls);
    auto* pending = static_cast<Pending*>(*state);
    if (!pending) {
        *state = new Pending;
        return MHD_YES;
    }
    if (*uploadSize) {
        if (pending->body.size() + *uploadSize > kFormBodyMax) {
            pending->tooBig = true;
        } else if (!pending->tooBig) {
            pending->body.append(upload, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    Request req;
    req.method = method;
    req.path = url;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char ip[INET6_ADDRSTRLEN] = "?";
    bool loopback = false;
    if (info && info->client_addr && info->client_addr->sa_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
        loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    } else if (info && info->client_addr && info->client_addr->sa_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
        inet_ntop(AF_INET6, &a->sin6_addr, ip, sizeof ip);
        loopback = IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
    }
    req.address = ip;
    const PanelOptions& o = panel->options();
    if (o.trustProxy && loopback) {
        const char* real = header(c, "X-Real-IP");
        if (addressText(real)) req.address = real;
        req.tls = strcmp(header(c, "X-Forwarded-Proto"), "https") == 0;
    }
    std::vector<FormField> query;
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, queryField, &query);
    std::string queryText;
    for (const FormField& f : query) {
        // Back into one text for the same reader as the forms.
        if (!queryText.empty()) queryText += '&';
        for (const std::string* part : {&f.name, &f.value}) {
            for (unsigned char ch : *part) {
                char b[4];
                snprintf(b, sizeof b, "%%%02X", ch);
                queryText += b;
            }
            if (part == &f.name) queryText += '=';
        }
    }
    req.query.parse(queryText);
    req.cookies = header(c, MHD_HTTP_HEADER_COOKIE);
    req.host = header(c, MHD_HTTP_HEADER_HOST);
    req.origin = header(c, "Origin");
    req.fetchSite = header(c, "Sec-Fetch-Site");
    if (req.method == "POST") {
        std::string_view type = header(c, MHD_HTTP_HEADER_CONTENT_TYPE);
        req.formType = type.rfind("application/x-www-form-urlencoded", 0) == 0;
        req.formOk = !pending->tooBig && req.form.parse(pending->body, kFormBodyMax);
    }
    Response r;
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
        r.status = MHD_HTTP_METHOD_NOT_ALLOWED;
        r.body = "method not allowed\n";
        r.type = "text/plain";
    } else {
        r = panel->handle(req);
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    for (const auto& [name, value] : r.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    MHD_Result result = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return result;
}

void onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Pending*>(*state);
    *state = nullptr;
}

}  // namespace

Panel::Panel(const PanelOptions& options, ServiceBridge& bridge)
    : options_(options), context_(new PanelContext{options, bridge, nullptr, {}, {}, {0}, {0}}) {}

Panel::~Panel() { stop(); }

PanelData& Panel::data() { return *context_->data; }

bool Panel::open(std::string* error) {
    if (!authInit()) {
        *error = "libsodium could not start";
        return false;
    }
    context_->data =
        options_.db.empty() ? makePanelDataFile(options_.dir) : makePanelDataPg(options_.db);
    if (options_.db.empty() && options_.dir.empty()) {
        *error = "the panel needs the fleet's data: --db CONNINFO or --dir DIR";
        return false;
    }
    return context_->data->open(error);
}

bool Panel::start(std::string* error) {
    if (!open(error)) return false;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(options_.port));
    if (inet_pton(AF_INET, options_.address.c_str(), &at.sin_addr) != 1) {
        *error = "the panel's address must be an IPv4 address: " + options_.address;
        return false;
    }
    // One thread of the panel's own: pages may wait for the panel's database connection and
    // password checks take tens of milliseconds, neither of which may ever hold up lookups.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG;
    unsigned perIp = options_.trustProxy ? 0 : 32;
    daemon_ = MHD_start_daemon(
        flags, static_cast<uint16_t>(options_.port), nullptr, nullptr, &onRequest, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&at), MHD_OPTION_CONNECTION_LIMIT,
        kConnectionsMax, MHD_OPTION_PER_IP_CONNECTION_LIMIT, perIp, MHD_OPTION_CONNECTION_TIMEOUT,
        kTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
        MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, nullptr, MHD_OPTION_END);
    if (!daemon_) {
        *error = "cannot serve the panel on " + options_.address + ":" +
                 std::to_string(options_.port) + ": " + strerror(errno);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;
    return true;
}

void Panel::stop() {
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

}  // namespace qzpanel
