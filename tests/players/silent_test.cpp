// A game that does not run the client module never answers the exchange and is refused after
// the grace period with the dialog that says how to enable Kestrine.
#include <string>

#include "players/slots.h"
#include "support/module_fixture.h"

namespace {

using SilentClients = ModuleTest;

const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";

TEST_F(SilentClients, AreRefusedAfterTheGraceWithTheEnableDialog) {
    run("sim_clientmodule off");
    run(std::string("sim_connect Quiet ") + kGuid + " 1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " PRE  "));

    auto early = run("sim_advance " + std::to_string(QZ_HELLO_GRACE_MS - 1000));
    EXPECT_FALSE(anyLineContains(early, "DropClient"));

    auto late = run("sim_advance 2000");
    EXPECT_TRUE(anyLineContains(late,
                                "[to 1] print\\n[err_dialog]Kestrine must be Enabled before "
                                "joining this server."));
    EXPECT_TRUE(anyLineContains(late, "[host] DropClient 1 Kestrine Not Enabled"));
    EXPECT_TRUE(anyLineContains(late, "Kestrine Not Enabled (slot #1) 1.2.3.4:27960"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "End of Player List (0 Players)"));
}

TEST_F(SilentClients, PlayersWithTheClientModuleAndBotsStay) {
    run(std::string("sim_connect Normal ") + kGuid + " 1.2.3.4:27960");
    run("sim_clientmodule off");
    run("sim_connect Botty - bot");
    auto later = run("sim_advance " + std::to_string(QZ_HELLO_GRACE_MS * 2));
    EXPECT_FALSE(anyLineContains(later, "DropClient"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "End of Player List (2 Players)"));
}

}  // namespace
