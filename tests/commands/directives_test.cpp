// The host directives owned by the command language.
#include "commands/directives.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "support/module_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class CmdDirectives : public ModuleTest {};

TEST_F(CmdDirectives, ReserveKeepsABoundedListWithoutDuplicates) {
    EXPECT_EQ(run("QZ_SV_RESERVE PlayerOne"), Lines{"Reservation added for [PlayerOne]"});
    EXPECT_EQ(run("QZ_SV_RESERVE \"Player Two\""), Lines{"Reservation added for [Player Two]"});
    EXPECT_EQ(run("QZ_SV_RESERVE PlayerOne"), Lines{"Reservation added for [PlayerOne]"});
    EXPECT_EQ(run("QZ_SV_RESERVE"), Lines{"QZ_SV_RESERVE ignored: no text to reserve"});
    std::string longText(100, 'r');
    EXPECT_EQ(run("QZ_SV_RESERVE " + longText),
              Lines{"Reservation added for [" + std::string(63, 'r') + "]"});
}

TEST_F(CmdDirectives, DirectivesAreUpperCaseWords) {
    EXPECT_EQ(run("qz_sv_reserve x"), Lines{"Unknown Command/Setting: qz_sv_reserve"});
}

TEST_F(CmdDirectives, ResolveAnswersWithTheAddressOrNotFound) {
    EXPECT_EQ(run("QZ_SV_RESOLVE 127.0.0.1"), Lines{"[127.0.0.1] 127.0.0.1"});
    // A name is answered by a later frame call, once the resolver has answered.
    Lines got = run("QZ_SV_RESOLVE localhost");
    for (int i = 0; i < 500 && got.empty(); ++i) {
        usleep(10000);
        got = run("sim_advance 10");
    }
    EXPECT_EQ(got, Lines{"[localhost] 127.0.0.1"});
    EXPECT_EQ(run("QZ_SV_RESOLVE"), Lines{"[] not found"});
    EXPECT_EQ(run("QZ_SV_RESOLVE bad..name"), Lines{"[bad..name] not found"});
}

}  // namespace
