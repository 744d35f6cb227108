// WebTool requests: HTTP framing across reads, the form text handed to the handlers, field
// lookup and the four field-reading rules. Everything here works on bounded buffers and
// treats the request bytes as hostile.
#include "webtool/request.h"

#include <arpa/inet.h>

#include <climits>
#include <cstring>

#include "host/bridge.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Decimal digits at p as a non-negative int, saturating at INT_MAX.
int readDigits(const char* p, const char* end) {
    long long n = 0;
    for (; p < end && isDigit(*p); ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT_MAX) n = INT_MAX;
    }
    return static_cast<int>(n);
}

// True when the n bytes at p begin with word, letters compared without regard to case.
bool startsNoCase(const char* p, int n, const char* word) {
    int w = slen(word);
    if (n < w) return false;
    for (int i = 0; i < w; ++i) {
        if (lowerCh(p[i]) != lowerCh(word[i])) return false;
    }
    return true;
}

// True when word occurs in the n bytes at p, without regard to case.
bool containsNoCase(const char* p, int n, const char* word) {
    int w = slen(word);
    for (int i = 0; i + w <= n; ++i) {
        if (startsNoCase(p + i, n - i, word)) return true;
    }
    return false;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends the fields of an "&"-separated text, each decoded and ended by CR LF.
void putFields(const char* p, int n, bool plusIsBlank, char* form, int size, int* len) {
    const char* end = p + n;
    while (p < end) {
        const char* amp = p;
        while (amp < end && *amp != '&') amp++;
        if (amp > p) {
            webUrlDecode(p, static_cast<int>(amp - p), plusIsBlank, form, size, len);
            webUrlDecode("\r\n", 2, false, form, size, len);
        }
        p = amp + 1;
    }
}

// Value of the header named name (with its ":"), its length in *n; null when absent. With last,
// the value of the last line of that name (a proxy that adds a line of its own adds it last).
const char* headerValue(const stWebConn* c, const char* name, int* n, bool last = false) {
    const char* p = c->req;
    const char* end = c->req + c->headerEnd;
    const char* found = nullptr;
    // Skip the request line.
    while (p < end && *p != '\n') p++;
    while (p < end) {
        ++p;
        const char* eol = p;
        while (eol < end && *eol != '\n') eol++;
        int lineLen = static_cast<int>(eol - p);
        if (startsNoCase(p, lineLen, name)) {
            const char* v = p + slen(name);
            while (v < eol && isBlank(*v)) v++;
            const char* ve = eol;
            while (ve > v && (ve[-1] == '\r' || isBlank(ve[-1]))) ve--;
            *n = static_cast<int>(ve - v);
            found = v;
            if (!last) return v;
        }
        p = eol;
    }
    return found;
}

// The host part of a Host header value ("name[:port]"), its length without the port.
int hostNameLength(const char* h, int n) {
    int i = n;
    while (i > 0 && isDigit(h[i - 1])) i--;
    if (i > 0 && i < n && h[i - 1] == ':') return i - 1;
    if (i > 0 && i == n && h[i - 1] == ':') return i - 1;
    return n;
}

// True when the n bytes at a are the text b, letters without regard to case.
bool sameNoCase(const char* a, int n, const char* b, int bn) {
    if (n != bn) return false;
    for (int i = 0; i < n; ++i) {
        if (lowerCh(a[i]) != lowerCh(b[i])) return false;
    }
    return true;
}

// The host[:port] part of a URL ("scheme://host[:port]/..."), its length in *n; null when the
// text has no "://".
const char* urlHost(const char* v, int vn, int* n) {
    for (int i = 0; i + 2 < vn; ++i) {
        if (v[i] == ':' && v[i + 1] == '/' && v[i + 2] == '/') {
            const char* h = v + i + 3;
            const char* e = h;
            while (e < v + vn && *e != '/' && *e != '?' && *e != '#') e++;
            *n = static_cast<int>(e - h);
            return h;
        }
    }
    return nullptr;
}

// True when the URL's host part is the request's Host, letters without regard to case.
bool sameHost(const char* url, int un, const char* host, int hn) {
    int n = 0;
    const char* h = urlHost(url, un, &n);
    if (!h || !host || n != hn || n == 0) return false;
    for (int i = 0; i < n; ++i) {
        if (lowerCh(h[i]) != lowerCh(host[i])) return false;
    }
    return true;
}

}  // namespace

void webRequestFacts(const stWebConn* c, bool trustProxy, stWebFacts* facts) {
    facts->get = !startsNoCase(c->req, c->len, "POST ");
    facts->crossSite = 0;
    facts->forwardedFor = 0;
    int n = 0;
    if (const char* v = headerValue(c, "sec-fetch-site:", &n)) {
        bool own = (n == 11 && startsNoCase(v, n, "same-origin")) ||
                   (n == 4 && startsNoCase(v, n, "none"));
        if (!own) facts->crossSite = 1;
    }
    int hn = 0;
    const char* host = headerValue(c, "host:", &hn);
    if (const char* v = headerValue(c, "origin:", &n)) {
        if (!sameHost(v, n, host, hn)) facts->crossSite = 1;
    } else if (const char* r = headerValue(c, "referer:", &n)) {
        if (!sameHost(r, n, host, hn)) facts->crossSite = 1;
    }
    if (!trustProxy) return;
    // The last address of the last X-Forwarded-For line: the one the proxy nearest to the module
    // added. Lines and addresses before it are the client's own words.
    const char* v = headerValue(c, "x-forwarded-for:", &n, true);
    if (!v) return;
    const char* last = v;
    for (int i = 0; i < n; ++i) {
        if (v[i] == ',') last = v + i + 1;
    }
    while (last < v + n && isBlank(*last)) last++;
    int ln = static_cast<int>(v + n - last);
    char text[INET_ADDRSTRLEN];
    if (ln <= 0 || ln >= qz::cap(text)) return;
    trcpyz(text, last, ln);
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) == 1) facts->forwardedFor = a.s_addr;
}

bool webHostServed(const stWebConn* c, const char* hosts, unsigned localAddr) {
    int n = 0;
    const char* h = headerValue(c, "host:", &n);
    // Only browsers are led astray by a host name, and every browser sends one.
    if (!h || n == 0) return true;
    int hn = hostNameLength(h, n);
    if (sameNoCase(h, hn, "localhost", 9)) return true;
    // The address the connection came in on (the one the browser connected to).
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = localAddr;
    if (localAddr && inet_ntop(AF_INET, &a, text, sizeof text) &&
        sameNoCase(h, hn, text, slen(text)))
        return true;
    // The names listed for a proxy, NAT or DNS name: "name" takes any port, "name:port" that one.
    for (const char* p = hosts ? hosts : ""; *p;) {
        while (*p == ' ' || *p == ',' || *p == '\t') p++;
        const char* e = p;
        while (*e && *e != ' ' && *e != ',' && *e != '\t') e++;
        int en = static_cast<int>(e - p);
        if (en > 0) {
            int enHost = hostNameLength(p, en);
            if (enHost == en ? sameNoCase(h, hn, p, en) : sameNoCase(h, n, p, en)) return true;
        }
        p = e;
    }
    return false;
}

bool webAddrListed(const char* list, unsigned addr) {
    for (const char* p = list ? list : ""; *p;) {
        while (*p == ' ' || *p == ',' || *p == '\t') p++;
        const char* e = p;
        while (*e && *e != ' ' && *e != ',' && *e != '\t') e++;
        char text[INET_ADDRSTRLEN];
        int n = static_cast<int>(e - p);
        struct in_addr a;
        if (n > 0 && n < qz::cap(text)) {
            trcpyz(text, p, n);
            if (inet_pton(AF_INET, text, &a) == 1 && a.s_addr == addr) return true;
        }
        p = e;
    }
    return false;
}

const char* web_find(const char* text, const char* name) {
    if (!text || !name) return nullptr;
    return svFindNoCase(text, name);
}

const char* web_button(const char* form, const char* name) {
    if (!form || !name || !*name) return nullptr;
    int w = slen(name);
    for (const char* line = form; *line;) {
        const char* p = line;
        while (isDigit(*p)) p++;
        if (startsNoCase(p, static_cast<int>(strnlen(p, static_cast<size_t>(w))), name)) return p;
        while (*line && *line != '\n') line++;
        if (*line) line++;
    }
    return nullptr;
}

const char* web_line_start(const char* where, const char* name) {
    const char* p = where + slen(name);
    while (isBlank(*p)) p++;
    if (*p == '=') p++;
    while (isBlank(*p)) p++;
    return p;
}

int web_line_value(const char* where, const char* name, char* out, int size) {
    const char* v = web_line_start(where, name);
    int n = 0;
    while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
    if (size > 0) trcpyz(out, v, n < size - 1 ? n : size - 1);
    return n;
}

int web_number_after(const char* where, const char* name) {
    const char* p = where + slen(name);
    while (*p && !isDigit(*p)) p++;
    return readDigits(p, p + strlen(p));
}

void web_fixed32(const char* where, const char* name, char (&out)[33]) {
    // A shorter value ("NO_GUID") ends at its line end; the next field is not part of it.
    const char* v = where + slen(name);
    int n = 0;
    while (n < 32 && v[n] && v[n] != '\r' && v[n] != '\n') n++;
    trcpyz(out, v, n);
}

int web_number_before(const char* text, const char* where) {
    const char* q = where;
    while (q > text && isDigit(q[-1])) q--;
    if (q == where) return -1;
    return readDigits(q, where);
}

void webUrlDecode(const char* src, int n, bool plusIsBlank, char* out, int size, int* len) {
    for (int i = 0; i < n && *len < size - 1; ++i) {
        char c = src[i];
        if (c == '%' && i + 2 < n && hexValue(src[i + 1]) >= 0 && hexValue(src[i + 2]) >= 0) {
            c = static_cast<char>(hexValue(src[i + 1]) * 16 + hexValue(src[i + 2]));
            i += 2;
            // A decoded line end or NUL would end the field early or start a field of its own.
            if (c == '\r' || c == '\n' || c == 0) c = ' ';
        } else if (c == '+' && plusIsBlank) {
            c = ' ';
        } else if (c == 0) {
            c = ' ';
        }
        out[(*len)++] = c;
    }
    if (size > 0) out[*len < size ? *len : size - 1] = 0;
}

int webScanRequest(stWebConn* c) {
    if (c->headerEnd == 0) {
        for (int i = 0; i + 1 < c->len; ++i) {
            if (c->req[i] != '\n') continue;
            if (c->req[i + 1] == '\n') {
                c->headerEnd = i + 2;
                break;
            }
            if (i + 2 < c->len && c->req[i + 1] == '\r' && c->req[i + 2] == '\n') {
                c->headerEnd = i + 3;
                break;
            }
        }
        if (c->headerEnd == 0) return c->len >= WEB_REQ_MAX ? WEBS_TOO_LARGE : WEBS_MORE;
        int n = 0;
        const char* v = headerValue(c, "content-length:", &n);
        c->bodyLen = 0;
        if (v) {
            if (n == 0 || !isDigit(*v)) return WEBS_TOO_LARGE;
            c->bodyLen = readDigits(v, v + n);
        }
        if (c->bodyLen > WEB_REQ_MAX - c->headerEnd) return WEBS_TOO_LARGE;
    }
    return c->len >= c->headerEnd + c->bodyLen ? WEBS_COMPLETE : WEBS_MORE;
}

int webRequestForm(const stWebConn* c, char* form, int size, int* bodyAt) {
    int len = 0;
    form[0] = 0;
    if (bodyAt) *bodyAt = -1;
    const char* p = c->req;
    const char* lineEnd = p;
    while (lineEnd < c->req + c->headerEnd && *lineEnd != '\r' && *lineEnd != '\n') lineEnd++;
    // Request line: method, blank, target.
    while (p < lineEnd && *p != ' ') p++;
    while (p < lineEnd && *p == ' ') p++;
    const char* target = p;
    while (p < lineEnd && *p != ' ') p++;
    int targetLen = static_cast<int>(p - target);
    static const char kPath[] = "/qzsvweb";
    constexpr int kPathLen = sizeof kPath - 1;
    if (!startsNoCase(target, targetLen, kPath)) return WEBT_NOT_FOUND;
    const char* rest = target + kPathLen;
    const char* restEnd = target + targetLen;
    if (rest < restEnd && *rest != '/' && *rest != '?') return WEBT_NOT_FOUND;
    if (rest < restEnd) rest++;
    // The refresh target "plist=1&webkey=<digest>" carries its fields in the path.
    putFields(rest, static_cast<int>(restEnd - rest), true, form, size, &len);

    const char* body = c->req + c->headerEnd;
    int bodyLen = c->len - c->headerEnd;
    if (bodyLen > c->bodyLen) bodyLen = c->bodyLen;
    // Where the body's fields start: only they may carry a typed key.
    if (bodyAt) *bodyAt = len;
    if (bodyLen <= 0) return WEBT_TOOL;
    int typeLen = 0;
    const char* type = headerValue(c, "content-type:", &typeLen);
    if (type && containsNoCase(type, typeLen, "urlencode")) {
        putFields(body, bodyLen, true, form, size, &len);
        return WEBT_TOOL;
    }
    // text/plain: already one field per line; only NUL bytes need taking out.
    for (int i = 0; i < bodyLen && len < size - 1; ++i) form[len++] = body[i] ? body[i] : ' ';
    if (len < size - 2 && form[len - 1] != '\n') {
        form[len++] = '\r';
        form[len++] = '\n';
    }
    form[len] = 0;
    return WEBT_TOOL;
}
