// The console player list names the locked configuration that governs the server.
#include <cstdio>
#include <string>

#include "support/module_fixture.h"

namespace {

using PlayerListLock = ModuleTest;

TEST_F(PlayerListLock, EndsWithTheLockedConfigurationLineOnlyWhileLocked) {
    auto plain = run("qz_sv_Plist");
    EXPECT_FALSE(anyLineContains(plain, "CONFIG LOCKED"));

    FILE* f = fopen((home() + "locked.cfg").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("qz_sv_KickLen 9\r\n", f);
    fclose(f);
    run("qz_sv_LoadLock locked.cfg");
    auto list = run("qz_sv_Plist");
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back().rfind("^5QZ SERVER CONFIG LOCKED [locked.cfg][17 bytes][", 0), 0u)
        << list.back();
    EXPECT_TRUE(anyLineContains(list, "End of Player List (0 Players)"));
}

}  // namespace
