// Scheduled tasks on the manual clock: first delay, period, once-only tasks, the list commands,
// and the guards that keep a task from holding the frame.
#include "players/players_fixture.h"

namespace {

using Tasks = PlayersTest;

int runs(const std::vector<std::string>& lines, const std::string& cmd) {
    int n = 0;
    for (const auto& l : lines)
        if (l.find("Running QZ Scheduled Task") == 0 && l.find(cmd) != std::string::npos) n++;
    return n;
}

TEST_F(Tasks, ATaskRunsAfterItsFirstDelayAndThenEveryPeriod) {
    EXPECT_TRUE(hasLine(run("qz_sv_Task 10 5 qz_sv_KickLen 7"),
                        "QZ Scheduled Task Added: 10 5 qz_sv_KickLen 7"));
    EXPECT_EQ(runs(run("sim_advance 9999"), "KickLen"), 0);
    auto due = run("sim_advance 1");
    EXPECT_TRUE(hasLine(due, "Running QZ Scheduled Task (slot #1) qz_sv_KickLen 7"));
    EXPECT_TRUE(anyLineContains(due, "qz_sv_KickLen = 7"));
    EXPECT_EQ(runs(run("sim_advance 4999"), "KickLen"), 0);
    EXPECT_EQ(runs(run("sim_advance 1"), "KickLen"), 1);
    EXPECT_EQ(runs(run("sim_advance 5000"), "KickLen"), 1);
}

TEST_F(Tasks, PeriodZeroRunsOnceAndFirstZeroRunsAtTheNextFrame) {
    run("qz_sv_Task 0 0 qz_sv_HomePath");
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 1);
    EXPECT_EQ(runs(run("sim_advance 100000"), "HomePath"), 0);
    auto list = run("qz_sv_TList");
    EXPECT_TRUE(hasLine(list, "End of QZ Task List (0 Tasks)"));
    EXPECT_TRUE(hasLine(run("qz_sv_TaskDel 1"), "Slot #1 has already been deleted"));
}

TEST_F(Tasks, TheListDeleteAndEmptyCommands) {
    run("qz_sv_Task 60 0 qz_sv_HomePath");
    auto list = run("qz_sv_TList");
    EXPECT_EQ(list, (std::vector<std::string>{
                        "QZ Scheduled Task List: [slot #] [first] [every] [command]",
                        "1 [60] [0] qz_sv_HomePath", "End of QZ Task List (1 Task)"}));
    run("qz_sv_Task 30 30 \"qz_sv_Say 1 hello there\"");
    EXPECT_TRUE(hasLine(run("qz_sv_TList"), "2 [30] [30] qz_sv_Say 1 hello there"));
    EXPECT_TRUE(hasLine(run("qz_sv_TaskDel 1"), "QZ Scheduled Task Deleted"));
    EXPECT_TRUE(hasLine(run("qz_sv_TaskDel 1"), "Slot #1 has already been deleted"));
    EXPECT_TRUE(hasLine(run("qz_sv_TaskDel 3"), "Invalid slot # specified: 3"));
    EXPECT_TRUE(hasLine(run("qz_sv_TaskDel x"), "Invalid slot # specified: 0"));
    // The deleted task keeps its slot: the other one is still slot 2.
    EXPECT_TRUE(hasLine(run("qz_sv_TList"), "End of QZ Task List (1 Task)"));
    EXPECT_EQ(runs(run("sim_advance 60000"), "HomePath"), 0);
    EXPECT_TRUE(hasLine(run("qz_sv_TaskEmpty"), "QZ Task List has been Emptied"));
    EXPECT_TRUE(hasLine(run("qz_sv_TList"), "End of QZ Task List (0 Tasks)"));
    EXPECT_EQ(runs(run("sim_advance 60000"), "Say"), 0);
}

TEST_F(Tasks, BadParametersAreRefused) {
    const char* lines[] = {"qz_sv_Task x 5 qz_sv_Ver", "qz_sv_Task 5 y qz_sv_Ver", "qz_sv_Task 5 5",
                           "qz_sv_Task -1 5 qz_sv_Ver", "qz_sv_Task 5 99999999 qz_sv_Ver"};
    for (const char* l : lines) EXPECT_TRUE(anyLineContains(run(l), "Invalid parameters: ")) << l;
    EXPECT_TRUE(hasLine(run("qz_sv_Task 5 y qz_sv_Ver"), "Invalid parameters: 5 0 qz_sv_Ver"));
    EXPECT_TRUE(hasLine(run("qz_sv_TList"), "End of QZ Task List (0 Tasks)"));
}

TEST_F(Tasks, ATaskThatAddsTasksRunsOncePerPeriodAndNeverRecursesInOneFrame) {
    run("qz_sv_Task 0 1 qz_sv_Task 0 0 qz_sv_HomePath");
    auto first = run("sim_advance 0");
    EXPECT_EQ(runs(first, "qz_sv_Task 0 0"), 1);
    EXPECT_EQ(runs(first, "(slot #2) qz_sv_HomePath"), 0);  // added during the frame: waits
    auto next = run("sim_advance 0");
    EXPECT_EQ(runs(next, "(slot #2) qz_sv_HomePath"), 1);
}

TEST_F(Tasks, AFrameRunsAtMostSixteenTasksAndTheRestFollow) {
    for (int i = 0; i < 40; ++i) run("qz_sv_Task 0 0 qz_sv_HomePath");
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 16);
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 16);
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 8);
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 0);
}

TEST_F(Tasks, ATaskThatEmptiesTheListStopsTheFrameSafely) {
    run("qz_sv_Task 0 0 qz_sv_TaskEmpty");
    run("qz_sv_Task 0 0 qz_sv_HomePath");
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(hasLine(lines, "QZ Task List has been Emptied"));
    EXPECT_EQ(runs(lines, "HomePath"), 0);
    EXPECT_EQ(runs(run("sim_advance 0"), "HomePath"), 0);
}

TEST_F(Tasks, ARestartTaskWaitsAMinuteAfterTheModuleStarted) {
    run("qz_sv_Task 0 0 qz_sv_Restart");
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(hasLine(
        lines, "QZ Scheduled Task (slot #1) skipped: the module started less than a minute ago"));
    EXPECT_FALSE(anyLineContains(lines, "Preparing to Restart"));
    run("qz_sv_Task 60 0 qz_sv_Restart");
    EXPECT_TRUE(anyLineContains(run("sim_advance 60000"), "Preparing to Restart QZ Server"));
}

}  // namespace
