// Hostile input to what the fleet panel reads itself: form bodies and query strings, Cookie
// headers and pasted ban files; and the escaping routine over any bytes. A form that parses
// keeps its bounds; escaped text never holds a markup character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qzmaster/panel/forms.h"
#include "qzmaster/panel/html.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    qzpanel::Form form;
    if (form.parse(text)) {
        if (form.fields().size() > qzpanel::kFormFieldsMax) abort();
        for (const auto& f : form.fields()) {
            if (f.value.size() > qzpanel::kFormValueMax) abort();
            if (f.value.find('\0') != std::string::npos) abort();
        }
    }

    std::string value;
    if (qzpanel::cookieValue(text, "qzp_session", &value) && value.size() > 256) abort();

    qzpanel::ImportResult r;
    qzpanel::parseBanFile(text, &r);
    if (r.bans.size() > qzpanel::kImportMax) abort();
    for (const auto& b : r.bans) {
        if (b.guid.size() != 32) abort();
    }

    std::string out;
    qzpanel::htmlEscape(&out, text);
    if (out.find_first_of("<>\"'`") != std::string::npos) abort();
    // A search's bytes are never more than its text.
    if (qzpanel::nameBytes(text).size() > text.size()) abort();
    qzpanel::Html h;
    h.name(text);
    // The only markup a name brings is the colour spans.
    std::string markup = h.str();
    for (size_t at = markup.find('<'); at != std::string::npos; at = markup.find('<', at + 1)) {
        std::string_view rest = std::string_view(markup).substr(at);
        if (rest.rfind("<span class=\"c", 0) != 0 && rest.rfind("</span>", 0) != 0) abort();
    }
    return 0;
}
