// The panel's own readers: form fields, cookies and ban files for import.
#include "qzmaster/panel/forms.h"

#include <gtest/gtest.h>

namespace {

using qzpanel::Form;

TEST(PanelForms, FieldsAreDecodedAndMalformedFormsRefusedWhole) {
    struct Case {
        const char* text;
        bool ok;
        const char* name;
        const char* value;
    } cases[] = {
        {"a=1&b=x+y%21", true, "b", "x y!"},
        {"a=1&a=2", true, "a", "1"},
        {"", true, "a", ""},
        {"a=%zz", false, "a", ""},
        {"a=%4", false, "a", ""},
        {"a=%00", false, "a", ""},
        {"justname", false, "justname", ""},
        {"&&a=3&&", true, "a", "3"},
        {"k%3D=v%26", true, "k=", "v&"},
    };
    for (const Case& c : cases) {
        Form f;
        EXPECT_EQ(f.parse(c.text), c.ok) << c.text;
        EXPECT_EQ(f.get(c.name), c.value) << c.text;
    }
}

TEST(PanelForms, ValuesAndFieldCountsAreBounded) {
    Form f;
    EXPECT_FALSE(f.parse("a=" + std::string(qzpanel::kFormValueMax + 1, 'x')));
    EXPECT_TRUE(f.parse("a=" + std::string(qzpanel::kFormValueMax, 'x')));
    std::string many;
    for (size_t i = 0; i <= qzpanel::kFormFieldsMax; ++i) many += "f" + std::to_string(i) + "=1&";
    EXPECT_FALSE(f.parse(many));
    EXPECT_TRUE(f.fields().empty());
}

TEST(PanelForms, TheSessionCookieIsFoundAmongOthers) {
    std::string v;
    EXPECT_TRUE(qzpanel::cookieValue("a=1; qzp_session=abc; b=2", "qzp_session", &v));
    EXPECT_EQ(v, "abc");
    EXPECT_TRUE(qzpanel::cookieValue("qzp_session=\"q\"", "qzp_session", &v));
    EXPECT_EQ(v, "q");
    EXPECT_FALSE(qzpanel::cookieValue("xqzp_session=1; qzp_sessionx=2", "qzp_session", &v));
    EXPECT_FALSE(qzpanel::cookieValue("", "qzp_session", &v));
}

TEST(PanelForms, ABanFileGivesItsGuidBansInForceOnly) {
    std::string text =
        "[12.04.2026 21:30:00] 0123456789abcdef0123456789ABCDEF \"^1Bob\" \"1.2.3.4:27960\" "
        "aimbot\r\n"
        "\r\n"
        "#12.04.2026 21:30:00] 11111111111111111111111111111111 \"Gone\" \"?\" lifted\r\n"
        "MASK \"1.2.*.*\" \"-\" range\r\n"
        "22222222222222222222222222222222 \"NoStamp\" \"?\" wh\n"
        "[99.04.2026 21:30:00] 33333333333333333333333333333333 \"Bad\" \"?\" date\r\n"
        "44444444444444444444444444444444 \"cut\n";
    qzpanel::ImportResult r;
    qzpanel::parseBanFile(text, &r);
    ASSERT_EQ(r.bans.size(), 2u);
    EXPECT_EQ(r.bans[0].guid, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(r.bans[0].name, "^1Bob");
    EXPECT_EQ(r.bans[0].reason, "aimbot");
    EXPECT_EQ(r.bans[0].banTime, 1776029400);
    EXPECT_EQ(r.bans[1].banTime, 0);
    EXPECT_EQ(r.skipped, 2u);
    EXPECT_EQ(r.damaged, 2u);
}

}  // namespace
