// The panel's one escaping routine and names in colour.
#include "qzmaster/panel/html.h"

#include <gtest/gtest.h>

namespace {

TEST(PanelHtml, EveryMarkupCharacterIsEscapedAndBadBytesReplaced) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"<script>", "&lt;script&gt;"},
        {"a&b", "a&amp;b"},
        {"\"'`", "&quot;&#39;&#96;"},
        {std::string("x\x01y", 3), "x\xEF\xBF\xBDy"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {"\xC0\xBC", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        std::string out;
        qzpanel::htmlEscape(&out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

TEST(PanelHtml, NamesAreShownInTheirColoursWithTheTextEscaped) {
    struct Case {
        const char* name;
        const char* html;
    } cases[] = {
        {"plain", "plain"},
        {"^1Red^7White", "<span class=\"c1\">Red</span><span class=\"c7\">White</span>"},
        {"a^^b", "a^<span class=\"c2\"></span>"},
        {"^1<b>", "<span class=\"c1\">&lt;b&gt;</span>"},
        {"end^", "end^"},
    };
    for (const Case& c : cases) {
        qzpanel::Html h;
        h.name(c.name);
        EXPECT_EQ(h.str(), c.html) << c.name;
    }
}

TEST(PanelHtml, NameBytesAreShownAsLatin1AndSearchesTurnedBackIntoThoseBytes) {
    struct Case {
        std::string bytes;  // as a name holds them
        std::string shown;  // on the page
    } cases[] = {
        {"Ren\xE9", "Ren\xC3\xA9"},
        {"\xFF\xA0", "\xC3\xBF\xC2\xA0"},
        {"a\x81z", "a\xEF\xBF\xBDz"},
        {"\xE9<", "\xC3\xA9&lt;"},
    };
    for (const Case& c : cases) {
        qzpanel::Html h;
        h.name(c.bytes);
        EXPECT_EQ(h.str(), c.shown) << c.bytes;
        if (c.bytes.find('<') == std::string::npos) {
            EXPECT_EQ(qzpanel::nameUtf8(c.bytes), c.shown);
        }
        if (c.shown.find("\xEF\xBF\xBD") == std::string::npos &&
            c.bytes.find('<') == std::string::npos) {
            EXPECT_EQ(qzpanel::nameBytes(c.shown), c.bytes) << c.bytes;
        }
    }
    // Characters beyond Latin-1 and bytes that are no UTF-8 stay as they are.
    EXPECT_EQ(qzpanel::nameBytes("\xE2\x82\xAC"), "\xE2\x82\xAC");
    EXPECT_EQ(qzpanel::nameBytes("\xC3"), "\xC3");
}

TEST(PanelHtml, PlainNamesDropColourCodesAndCase) {
    EXPECT_EQ(qzpanel::plainName("^1Big^7Bad"), "BIGBAD");
    EXPECT_EQ(qzpanel::plainName("^^B"), "^");
    EXPECT_EQ(qzpanel::plainName("x^"), "X^");
}

}  // namespace
