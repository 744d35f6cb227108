// The WebTool administrators file from outside: any bytes parse into at most WEB_ADMIN_MAX
// administrators, each of which writes back to a line that parses to the same administrator;
// cost bounds (N, r, p) are held, so a hostile file cannot make one key check take unbounded time
// or memory. The audit log's JSON string writer gets the same bytes and must keep its bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "media/audit.h"
#include "webtool/admins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    static stWebAdmin list[WEB_ADMIN_MAX];
    int count = webAdminParseText(text, static_cast<int>(size), list, WEB_ADMIN_MAX);
    if (count < 0 || count > WEB_ADMIN_MAX) abort();
    for (int i = 0; i < count; ++i) {
        const stWebAdmin& a = list[i];
        if (!webAdminNameOk(a.name) || a.level < WEBL_VIEW || a.level > WEBL_ALL) abort();
        if (a.n < 2 || a.n > (1u << 20) || (a.n & (a.n - 1)) || a.r * a.p > 64) abort();
        char line[256];
        webAdminFormat(&a, line, sizeof line);
        stWebAdmin b{};
        if (!webAdminParse(line, static_cast<int>(strlen(line)), &b)) abort();
        if (strcmp(a.name, b.name) != 0 || a.level != b.level || a.n != b.n ||
            memcmp(a.hash, b.hash, sizeof a.hash) != 0 || memcmp(a.salt, b.salt, sizeof a.salt))
            abort();
    }
    // The same bytes as a hostile name in an audit record.
    std::string value(text, size);
    char out[QZ_AUDIT_LINE_MAX];
    int len = 0;
    out[0] = 0;
    auditJsonString(out, sizeof out, &len, value.c_str(), 1024);
    if (len >= static_cast<int>(sizeof out) || out[len] != 0 || out[0] != '"' ||
        out[len - 1] != '"')
        abort();
    for (int i = 0; i < len; ++i) {
        if (static_cast<unsigned char>(out[i]) < 0x20) abort();
    }
    return 0;
}
