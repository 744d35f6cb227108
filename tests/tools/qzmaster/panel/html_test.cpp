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

TEST(PanelHtml, PlainNamesDropColourCodesAndCase) {
    EXPECT_EQ(qzpanel::plainName("^1Big^7Bad"), "BIGBAD");
    EXPECT_EQ(qzpanel::plainName("^^B"), "^");
    EXPECT_EQ(qzpanel::plainName("x^"), "X^");
}

}  // namespace
