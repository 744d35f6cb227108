// The master list at start-up and the MD5Tool commands, through the console.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "support/module_fixture.h"

namespace {

class CorruptMasterList : public ModuleTest {
    void configure(sim::SimHost&) override {
        mkdir((gameHome() + "/qz").c_str(), 0755);
        std::ofstream(gameHome() + "/qz/qzns.dat") << "<p> S 2 h\r\n";
    }
};

using Md5Tool = ModuleTest;

}  // namespace

TEST_F(CorruptMasterList, IsReportedAndTheDefaultListServes) {
    EXPECT_TRUE(host().contains("ERROR: Corrupted Data Buffer (qzns.dat)"));
}

TEST_F(Md5Tool, EntriesAreAddedListedDeletedAndEmptied) {
    struct Step {
        const char* line;
        std::vector<std::string> out;
    } steps[] = {
        {"qz_sv_md5tool F \"etmain/pak0.pk3\" M \"0123\" SZ100 AT0 LEN64 \"pak0\"",
         {"Added MD5Tool Entry: F \"etmain/pak0.pk3\" M \"0123\" SZ100 AT0 LEN64 \"pak0\""}},
        {"qz_sv_md5tool F \"a.dll\" M \"99\" 5 6 7 \"lib\"",
         {"Added MD5Tool Entry: F \"a.dll\" M \"99\" SZ5 AT6 LEN7 \"lib\""}},
        {"qz_sv_md5tool F a.dll M \"99\" 5 6 7 \"lib\"",
         {"Unable to Add MD5Tool Entry - Invalid Specification: F a.dll M \"99\" 5 6 7 \"lib\""}},
        {"qz_sv_md5tooldel 1", {"Slot #1 deleted"}},
        {"qz_sv_md5tooldel 1", {"Slot #1 is already deleted"}},
        {"qz_sv_md5tooldel 3", {"Invalid Slot# Specified"}},
        {"qz_sv_md5toollist",
         {"1 *DELETED* F \"etmain/pak0.pk3\" M \"0123\" SZ100 AT0 LEN64 \"pak0\"",
          "2 F \"a.dll\" M \"99\" SZ5 AT6 LEN7 \"lib\"", "End of MD5Tool List (2 Entries)"}},
        {"qz_sv_md5toolempty", {"MD5Tool List (in Memory) has been Emptied"}},
        {"qz_sv_md5toollist", {"End of MD5Tool List (0 Entries)"}},
    };
    for (const Step& s : steps) EXPECT_EQ(run(s.line), s.out) << s.line;
}
