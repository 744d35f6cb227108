// The simulated client module's side of the queries: answers from its cvar and binding tables,
// lists split into packets, and the wrong and silent answering modes.
#include "simhost/simclient.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SimClientQueries, AValueQueryIsAnsweredFromTheTable) {
    sim::SimClient c;
    c.onServerText("QQZ_CVAR 5 CG_FOV");
    c.onServerText("QQZ_CVAR 6 nothing_here");
    ASSERT_EQ(c.outbox.size(), 2u);
    EXPECT_EQ(c.outbox[0], "QZ_ANS 5 0\nCG_FOV 90");
    EXPECT_EQ(c.outbox[1], "QZ_ANS 6 0\nnothing_here");
}

TEST(SimClientQueries, UserChangedSearchAndBindAnswers) {
    sim::SimClient c;
    c.setCvar("cg_fov", "110");
    c.setCvar("my_alias", "vstr x");
    c.bind("mouse2", "+attack2");
    const struct {
        const char* query;
        const char* answer;
    } cases[] = {
        {"QQZ_CVARUSER 1", "QZ_ANS 1 0\nmy_alias vstr x"},
        {"QQZ_CVARCHANGED 2", "QZ_ANS 2 0\ncg_fov 110"},
        {"QQZ_CVARSRCH 3 MAXP", "QZ_ANS 3 0\ncl_maxpackets 30"},
        {"QQZ_BINDSRCH 4 attack", "QZ_ANS 4 0\nmouse1 +attack\nmouse2 +attack2"},
        {"QQZ_CVARS 5 cg_fov r_picmip", "QZ_ANS 5 0\ncg_fov 110\nr_picmip 1"},
    };
    for (const auto& q : cases) {
        c.outbox.clear();
        c.onServerText(q.query);
        ASSERT_EQ(c.outbox.size(), 1u) << q.query;
        EXPECT_EQ(c.outbox[0], q.answer) << q.query;
    }
}

TEST(SimClientQueries, ALongListComesInPacketsOfThirty) {
    sim::SimClient c;
    for (int i = 0; i < 65; ++i) c.setCvar("u" + std::to_string(i), "1");
    c.onServerText("QQZ_CVARUSER 9");
    ASSERT_EQ(c.outbox.size(), 3u);
    EXPECT_EQ(c.outbox[0].rfind("QZ_ANS 9 1\n", 0), 0u);
    EXPECT_EQ(c.outbox[1].rfind("QZ_ANS 9 1\n", 0), 0u);
    EXPECT_EQ(c.outbox[2].rfind("QZ_ANS 9 0\n", 0), 0u);
}

TEST(SimClientQueries, WrongAndSilentModes) {
    sim::SimClient c;
    c.queryAnswers = sim::SimClient::Answers::Wrong;
    c.onServerText("QQZ_CVAR 5 cg_fov");
    c.onServerText("QQZ_CVARUSER 6");
    ASSERT_EQ(c.outbox.size(), 2u);
    EXPECT_EQ(c.outbox[0], "QZ_ANS 5 0\nqz_bogus");
    EXPECT_EQ(c.outbox[1], "QZ_ANS 100006 0");
    c.outbox.clear();
    c.queryAnswers = sim::SimClient::Answers::None;
    c.onServerText("QQZ_CVAR 7 cg_fov");
    EXPECT_TRUE(c.outbox.empty());
}

}  // namespace
