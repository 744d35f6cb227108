// The module fixture itself: a started module whose home lies in the fixture's temporary
// directory, and run() returning only the lines of its own call.
#include "support/module_fixture.h"

#include <sys/stat.h>

namespace {

TEST_F(ModuleTest, ModuleRunsInTheTemporaryHome) {
    struct stat info;
    ASSERT_EQ(stat(home().c_str(), &info), 0) << home();
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(home().rfind(gameHome(), 0), 0u);
}

TEST_F(ModuleTest, RunReturnsOnlyTheLinesOfThatCall) {
    run("sim_bogus");
    auto lines = run("sim_game say hello");
    EXPECT_EQ(lines, std::vector<std::string>{"[game] console: hello"});
}

TEST_F(ModuleTest, TheClockStartsAtNewYear2026LocalTime) {
    time_t expected = 0;
    ASSERT_TRUE(sim::parseLocalTime("2026-01-01T00:00:00", &expected));
    EXPECT_EQ(host().clockSeconds(), static_cast<long long>(expected));
    run("sim_advance 2500");
    EXPECT_EQ(host().clockSeconds(), static_cast<long long>(expected) + 2);
}

}  // namespace
