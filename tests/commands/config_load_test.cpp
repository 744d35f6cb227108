// Configuration loads spread over frame calls: the lines keep their order, nested files come
// before the rest of the file that loads them, the lock follows the last line, and console lines
// typed during a load run after it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/frames.h"
#include "support/module_fixture.h"

namespace {

using Lines = std::vector<std::string>;

int indexOf(const Lines& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == text) return static_cast<int>(i);
    return -1;
}

class CfgLoad : public ModuleTest {
  protected:
    void write(const std::string& name, const std::string& text) {
        std::ofstream(home() + name, std::ios::binary) << text;
    }
    // Lines that take the load past one frame's share on any machine.
    static std::string longText(int lines, const std::string& last) {
        std::string text;
        for (int i = 0; i < lines; ++i) text += "qz_sv_KickLen " + std::to_string(3 + i % 4) + "\r\n";
        return text + last;
    }
    Lines untilTyped(const std::string& line, const std::string& doneText) {
        return afterLoads([this](const std::string& l) { return run(l); }, line, doneText);
    }
};


TEST_F(CfgLoad, ALongFileLoadsOverFramesAndALineTypedMeanwhileRunsAfterIt) {
    write("long.cfg", longText(5000, "qz_sv_KickLen 9\r\n"));
    Lines first = run("qz_sv_Load long.cfg");
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(indexOf(first, "qz_sv_KickLen = 9 (0 to 60)"), -1);
    // Typed now, it waits behind the file's lines.
    Lines typed = run("qz_sv_KickLen 1");
    EXPECT_TRUE(typed.empty());
    Lines rest = framesUntil([this](const std::string& l) { return run(l); },
                             "qz_sv_KickLen = 1 (0 to 60)");
    int last = indexOf(rest, "qz_sv_KickLen = 9 (0 to 60)");
    int mine = indexOf(rest, "qz_sv_KickLen = 1 (0 to 60)");
    ASSERT_GE(last, 0);
    EXPECT_GT(mine, last);
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 1 (0 to 60)"});
}

TEST_F(CfgLoad, ANestedFileComesBeforeTheRestOfTheFileThatLoadsIt) {
    write("inner.cfg", longText(3000, "qz_sv_KickLen 5\r\n"));
    write("outer.cfg", "qz_sv_KickLen 2\r\nqz_sv_Load inner.cfg\r\nqz_sv_KickLen 8\r\n");
    run("qz_sv_Load outer.cfg");
    Lines all = untilTyped("qz_sv_HomePath", "Home Path is ");
    int inner = indexOf(all, "qz_sv_KickLen = 5 (0 to 60)");
    int outer = indexOf(all, "qz_sv_KickLen = 8 (0 to 60)");
    ASSERT_GE(inner, 0);
    EXPECT_GT(outer, inner);
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 8 (0 to 60)"});
}

TEST_F(CfgLoad, ALongLockedFileLocksAfterItsLastLine) {
    write("lock.cfg", longText(5000, "qz_sv_KickLen 6\r\n"));
    Lines first = run("qz_sv_LoadLock lock.cfg");
    EXPECT_FALSE(anyLineContains(first, "Config locked"));
    run("qz_sv_KickLen 1");  // typed during the load: runs after the lock
    Lines rest = framesUntil([this](const std::string& l) { return run(l); },
                             "Setting access ignored due to locked config mode");
    int locked = -1;
    for (size_t i = 0; i < rest.size(); ++i)
        if (rest[i].rfind("Config locked [lock.cfg][", 0) == 0) locked = static_cast<int>(i);
    ASSERT_GE(locked, 0);
    EXPECT_GT(indexOf(rest, "Setting access ignored due to locked config mode [qz_sv_KickLen]"),
              locked);
    EXPECT_EQ(run("qz_sv_KickLen"),
              Lines{"Setting access ignored due to locked config mode [qz_sv_KickLen]"});
}

}  // namespace
