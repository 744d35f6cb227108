// Feeds arbitrary bytes to the WebTool's request handling: framing as if they arrived in two
// reads, the form text built from them, and every field rule on that text. Checks that the form
// stays terminated, holds no NUL before its end and never exceeds its buffer, and that the
// button lookup and field rules stay inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "webtool/request.h"

#define QZ_FUZZ_CHECK(cond)        \
    do {                           \
        if (!(cond)) std::abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto conn = std::make_unique<stWebConn>();
    static char form[WEB_REQ_MAX + 1];
    stWebConn* c = conn.get();
    memset(c, 0, sizeof *c);
    size_t n = size < static_cast<size_t>(WEB_REQ_MAX) ? size : static_cast<size_t>(WEB_REQ_MAX);
    // Two reads: the first half, then the rest, as a request split across frames.
    size_t half = n / 2;
    memcpy(c->req, data, half);
    c->len = static_cast<int>(half);
    c->req[c->len] = 0;
    int scan = webScanRequest(c);
    if (scan == WEBS_MORE) {
        memcpy(c->req + half, data + half, n - half);
        c->len = static_cast<int>(n);
        c->req[c->len] = 0;
        scan = webScanRequest(c);
    }
    if (scan != WEBS_COMPLETE) return 0;
    QZ_FUZZ_CHECK(c->headerEnd > 0 && c->headerEnd <= c->len);
    QZ_FUZZ_CHECK(c->headerEnd + c->bodyLen <= WEB_REQ_MAX);
    // Where the request says it came from: the headers a browser and a proxy set.
    stWebFacts facts;
    webRequestFacts(c, true, &facts);
    QZ_FUZZ_CHECK(facts.get == 0 || facts.get == 1);
    QZ_FUZZ_CHECK(facts.crossSite == 0 || facts.crossSite == 1);
    if (webRequestForm(c, form, sizeof form) != WEBT_TOOL) return 0;
    size_t formLen = strlen(form);
    QZ_FUZZ_CHECK(formLen < sizeof form);

    static const char* const kNames[] = {
        "webkey", "slotnum=", "webkicklen=", "guid=", "webreason=", "slot=", "plist=", "map_names"};
    char value[64];
    char guid[33];
    for (const char* name : kNames) {
        const char* at = web_find(form, name);
        if (at) {
            QZ_FUZZ_CHECK(at >= form && at < form + formLen);
            int full = web_line_value(at, name, value, sizeof value);
            QZ_FUZZ_CHECK(full >= 0 && strlen(value) < sizeof value);
            QZ_FUZZ_CHECK(web_number_after(at, name) >= 0);
            web_fixed32(at, name, guid);
            QZ_FUZZ_CHECK(strlen(guid) <= 32);
            web_number_before(form, at);
        }
        const char* button = web_button(form, name);
        if (button) QZ_FUZZ_CHECK(button >= form && button < form + formLen);
    }
    return 0;
}
