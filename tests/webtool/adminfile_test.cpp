// Editing the administrators' file one administrator at a time: comments, blank lines and lines
// that do not parse stay as they are, through the edit routine and through the console commands.
#include "webtool/adminfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/module_fixture.h"
#include "webtool/admins.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// An administrator line as the file holds it, with a fixed salt and hash (never checked here).
std::string adminLine(const std::string& name, const std::string& level) {
    return name + " " + level + " scrypt 16384 8 1 " + std::string(32, 'a') + " " +
           std::string(64, 'b');
}

class AdminFileEdit : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qzadminfileXXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/" + QZ_ADMINS_FILE;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void write(const std::string& text, mode_t mode = 0600) {
        std::ofstream(path_, std::ios::binary) << text;
        chmod(path_.c_str(), mode);
    }
    stWebAdmin admin(const std::string& name, const std::string& level) {
        stWebAdmin a{};
        std::string line = adminLine(name, level);
        EXPECT_TRUE(webAdminParse(line.c_str(), static_cast<int>(line.size()), &a));
        return a;
    }
    std::string dir_, path_;
};

const std::string kKept =
    "# on call: alice weekdays\r\n"
    "\n"
    "future all argon2id 3 65536 1 c2FsdA aGFzaA\n"
    "damaged ban scrypt 16384 8 1 zz\n";

TEST_F(AdminFileEdit, AnAddKeepsCommentsBlankLinesAndLinesItCannotParse) {
    write(kKept + adminLine("bob", "view") + "\n");
    stWebAdmin eve = admin("eve", "all");
    bool found = true;
    char why[256] = "";
    ASSERT_TRUE(webAdminsEdit(path_.c_str(), "eve", &eve, &found, why, sizeof why)) << why;
    EXPECT_FALSE(found);
    EXPECT_EQ(slurp(path_),
              kKept + adminLine("bob", "view") + "\n" + adminLine("eve", "all") + "\n");
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(AdminFileEdit, AReplacementTakesTheOldLinesPlaceAndItsLineEnd) {
    write(adminLine("Bob", "view") + "\r\n" + kKept + adminLine("bob", "kick") + "\n");
    stWebAdmin bob = admin("bob", "ban");
    bool found = false;
    char why[256] = "";
    ASSERT_TRUE(webAdminsEdit(path_.c_str(), "BOB", &bob, &found, why, sizeof why)) << why;
    EXPECT_TRUE(found);
    EXPECT_EQ(slurp(path_), adminLine("bob", "ban") + "\r\n" + kKept);
}

TEST_F(AdminFileEdit, ARemovalTakesOnlyThatAdministratorsLines) {
    write(kKept + adminLine("bob", "view") + "\n" + adminLine("eve", "all"));
    bool found = false;
    char why[256] = "";
    ASSERT_TRUE(webAdminsEdit(path_.c_str(), "bob", nullptr, &found, why, sizeof why)) << why;
    EXPECT_TRUE(found);
    EXPECT_EQ(slurp(path_), kKept + adminLine("eve", "all"));
    // Removing someone who is not there leaves the file alone.
    ASSERT_TRUE(webAdminsEdit(path_.c_str(), "nobody", nullptr, &found, why, sizeof why));
    EXPECT_FALSE(found);
    EXPECT_EQ(slurp(path_), kKept + adminLine("eve", "all"));
}

TEST_F(AdminFileEdit, AFileOthersMayReadIsRefusedAndLeftAsItWas) {
    write(kKept, 0644);
    stWebAdmin eve = admin("eve", "all");
    bool found = false;
    char why[256] = "";
    EXPECT_FALSE(webAdminsEdit(path_.c_str(), "eve", &eve, &found, why, sizeof why));
    EXPECT_NE(std::string(why).find("chmod 600"), std::string::npos) << why;
    EXPECT_EQ(slurp(path_), kKept);
}

TEST_F(AdminFileEdit, AFullListRefusesANewNameButTakesAReplacement) {
    std::string text;
    for (int i = 0; i < WEB_ADMIN_MAX; ++i)
        text += adminLine("a" + std::to_string(i), "view") + "\n";
    write(text);
    stWebAdmin extra = admin("extra", "all");
    bool found = false;
    char why[256] = "";
    EXPECT_FALSE(webAdminsEdit(path_.c_str(), "extra", &extra, &found, why, sizeof why));
    EXPECT_NE(std::string(why).find("full"), std::string::npos) << why;
    stWebAdmin a0 = admin("a0", "all");
    EXPECT_TRUE(webAdminsEdit(path_.c_str(), "a0", &a0, &found, why, sizeof why)) << why;
    EXPECT_TRUE(found);
}

TEST_F(AdminFileEdit, ANewFileBeginsWithItsCommentLine) {
    stWebAdmin eve = admin("eve", "all");
    bool found = true;
    char why[256] = "";
    ASSERT_TRUE(webAdminsEdit(path_.c_str(), "eve", &eve, &found, why, sizeof why)) << why;
    std::string text = slurp(path_);
    EXPECT_EQ(text.rfind("# ", 0), 0u) << text;
    EXPECT_NE(text.find("\n" + adminLine("eve", "all").substr(0, 13)), std::string::npos) << text;
}

class AdminCommandsKeepLines : public ModuleTest {
  protected:
    void configure(sim::SimHost&) override {
        std::filesystem::create_directories(home());
        std::ofstream(home() + QZ_ADMINS_FILE, std::ios::binary) << kKept;
        chmod((home() + QZ_ADMINS_FILE).c_str(), 0600);
    }
};

TEST_F(AdminCommandsKeepLines, AdminAddAndAdminDelKeepWhatTheyDoNotUnderstand) {
    EXPECT_TRUE(anyLineContains(run("qz_sv_AdminAdd eve all Eve-Key-1"),
                                "WebTool administrator eve added (level all)"));
    std::string text = slurp(home() + QZ_ADMINS_FILE);
    EXPECT_EQ(text.rfind(kKept, 0), 0u) << text;
    EXPECT_NE(text.find("\neve all scrypt "), std::string::npos) << text;
    EXPECT_TRUE(anyLineContains(run("qz_sv_AdminDel eve"), "WebTool administrator eve removed"));
    EXPECT_EQ(slurp(home() + QZ_ADMINS_FILE), kKept);
    EXPECT_TRUE(anyLineContains(run("qz_sv_AdminDel eve"), "No WebTool administrator named eve"));
}

}  // namespace
