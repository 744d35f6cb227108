// Tests for the home-directory names, the time-stamped log line and the bfc file object.
#include "util/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "util/clock.h"

namespace {

long long g_seconds;

void fixedClock(long long* seconds, int* micros) {
    *seconds = g_seconds;
    *micros = 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/qz-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        savedHome_ = homeDir();
        // Every file of the module lies in its home directory; the tests' files are there too.
        ASSERT_TRUE(setHomeDir((dir_ + "/").c_str()));
    }
    void TearDown() override {
        clockSetSource(nullptr);
        setHomeDir(savedHome_.c_str());
        std::filesystem::remove_all(dir_);
    }
    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    std::string savedHome_;
};

TEST_F(FilesTest, HomePathPutsTheNameAfterTheHomeDirectory) {
    ASSERT_TRUE(setHomeDir("/srv/game/"));
    EXPECT_STREQ(homePath("bans.txt"), "/srv/game/bans.txt");
    EXPECT_STREQ(homeDir(), "/srv/game/");
}

TEST_F(FilesTest, HomeDirectoryGetsItsFinalSlash) {
    ASSERT_TRUE(setHomeDir("/srv/game"));
    EXPECT_STREQ(homePath("x"), "/srv/game/x");
    ASSERT_TRUE(setHomeDir(""));
    EXPECT_STREQ(homePath("x"), "x");
}

TEST_F(FilesTest, HomeDirectoryTooLongIsRefusedAndTheOldOneKept) {
    ASSERT_TRUE(setHomeDir("/srv/game/"));
    std::string longDir(300, 'd');
    EXPECT_FALSE(setHomeDir(longDir.c_str()));
    EXPECT_FALSE(setHomeDir(nullptr));
    EXPECT_STREQ(homeDir(), "/srv/game/");
}

TEST_F(FilesTest, HomePathCutsAnOverlongNameToTheBuffer) {
    ASSERT_TRUE(setHomeDir("/h/"));
    std::string name(600, 'n');
    const char* path = homePath(name.c_str());
    EXPECT_EQ(strlen(path), size_t{QZ_PATH_MAX - 1});
    EXPECT_EQ(std::string(path, 3), "/h/");
}

TEST_F(FilesTest, HomeNameOkAcceptsOnlySafeRelativeNames) {
    struct Case {
        std::string name;
        bool ok;
    };
    const Case cases[] = {
        {"bans.txt", true},
        {"logs/server.log", true},
        {"a..b/..c/d..", true},
        {"./x", true},
        {"", false},
        {"/etc/passwd", false},
        {"..", false},
        {"../x", false},
        {"logs/../../x", false},
        {"logs/..", false},
        {"logs\\x", false},
        {"a\nb", false},
        {"a\tb", false},
        {"a\x7f", false},
        {std::string(255, 'a'), true},
        {std::string(256, 'a'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(homeNameOk(c.name.c_str()), c.ok) << '"' << c.name << '"';
    }
    EXPECT_FALSE(homeNameOk(nullptr));
}

TEST_F(FilesTest, LogLineIsStampedMonthFirstAndEndsInCrLf) {
    g_seconds = 1167609599;  // 2006-12-31 23:59:59 UTC
    clockSetSource(fixedClock);
    std::string log = at("server.log");
    trLog(log.c_str(), "%s", "abc");
    EXPECT_EQ(readFile(log), "[12.31.2006 23:59:59] abc\r\n");
    g_seconds = 1141740309;  // 2006-03-07 14:05:09 UTC
    trLog(log.c_str(), "n=%d", 7);
    EXPECT_EQ(readFile(log), "[12.31.2006 23:59:59] abc\r\n[03.07.2006 14:05:09] n=7\r\n");
}

TEST_F(FilesTest, LogMessageIsCutTo4149Bytes) {
    clockSetSource(fixedClock);
    g_seconds = 0;
    std::string log = at("long.log");
    std::string message(5000, 'm');
    trLog(log.c_str(), "%s", message.c_str());
    std::string line = readFile(log);
    const std::string prefix = "[01.01.1970 00:00:00] ";
    ASSERT_EQ(line.size(), prefix.size() + 4149 + 2);
    EXPECT_EQ(line.substr(0, prefix.size()), prefix);
    EXPECT_EQ(line.substr(prefix.size() + 4149), "\r\n");
}

// Each case names a file that homeOpen must refuse without waiting and without touching
// anything outside the home directory.
TEST_F(FilesTest, HomeOpenRefusesWhatIsNotARegularFileInsideTheHome) {
    std::string outside = dir_ + "-outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    writeFile(outside + "/secret.txt", "keep");
    ASSERT_EQ(mkfifo(at("fifo.cfg").c_str(), 0644), 0);
    ASSERT_EQ(symlink(outside.c_str(), at("elsewhere").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), at("linked.cfg").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/new.txt").c_str(), at("dangling.cfg").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", at("zero.cfg").c_str()), 0);
    ASSERT_EQ(mkdir(at("adir").c_str(), 0755), 0);
    struct Case {
        std::string name;
        const char* mode;
    };
    const Case cases[] = {
        {"fifo.cfg", "rb"},
        {"fifo.cfg", "wb"},
        {"fifo.cfg", "ab"},
        {"elsewhere/x.cfg", "wb"},
        {"elsewhere/secret.txt", "rb"},
        {"linked.cfg", "wb"},
        {"linked.cfg", "rb"},
        {"dangling.cfg", "wb"},
        {"zero.cfg", "rb"},
        {"adir", "rb"},
        {"../x.cfg", "wb"},
        {outside + "/secret.txt", "rb"},
        {"/etc/hostname", "rb"},
        {"missing.cfg", "rb"},
    };
    for (const Case& c : cases) {
        FILE* fp = homeOpen(c.name.c_str(), c.mode);
        EXPECT_EQ(fp, nullptr) << c.name << " " << c.mode;
        if (fp) fclose(fp);
        EXPECT_EQ(homeOpenFd(c.name.c_str(), O_RDONLY), -1) << c.name;
    }
    EXPECT_EQ(readFile(outside + "/secret.txt"), "keep");
    EXPECT_FALSE(exists(outside + "/new.txt"));
    EXPECT_FALSE(exists(outside + "/x.cfg"));
    std::filesystem::remove_all(outside);
}

TEST_F(FilesTest, HomeOpenTakesNamesAndHomePathsAndLinksThatStayInside) {
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    writeFile(at("sub/real.cfg"), "abc");
    ASSERT_EQ(symlink("sub/real.cfg", at("alias.cfg").c_str()), 0);
    for (const std::string& name : {std::string("sub/real.cfg"), std::string("alias.cfg"),
                                    at("sub/real.cfg"), std::string(homePath("alias.cfg"))}) {
        FILE* fp = homeOpen(name.c_str(), "rb");
        ASSERT_NE(fp, nullptr) << name << ": " << homeOpenError();
        char buf[8] = "";
        EXPECT_EQ(fread(buf, 1, sizeof buf - 1, fp), 3u);
        EXPECT_STREQ(buf, "abc");
        fclose(fp);
    }
    // Writing truncates, appending appends, exclusive creation refuses an existing file.
    FILE* fp = homeOpen("new.cfg", "wb", 0600);
    ASSERT_NE(fp, nullptr);
    fputs("12345", fp);
    fclose(fp);
    struct stat st;
    ASSERT_EQ(stat(at("new.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    fp = homeOpen("new.cfg", "ab");
    ASSERT_NE(fp, nullptr);
    fputs("6", fp);
    fclose(fp);
    EXPECT_EQ(readFile(at("new.cfg")), "123456");
    fp = homeOpen("new.cfg", "wb");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    EXPECT_EQ(readFile(at("new.cfg")), "");
    EXPECT_EQ(homeOpen("new.cfg", "wbx"), nullptr);
}

// A game's home path may be relative: homePath's paths are then relative too and still name
// the file inside the home directory, not a copy of the home below itself.
TEST_F(FilesTest, HomeOpenTakesHomePathsOfARelativeHome) {
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ASSERT_EQ(mkdir("rel", 0755), 0);
    writeFile("rel/x.cfg", "x");
    ASSERT_TRUE(setHomeDir("rel/"));
    for (const std::string& name : {std::string("x.cfg"), std::string(homePath("x.cfg"))}) {
        FILE* fp = homeOpen(name.c_str(), "rb");
        EXPECT_NE(fp, nullptr) << name;
        if (fp) fclose(fp);
    }
    EXPECT_EQ(homeOpen("../x.cfg", "rb"), nullptr);
    ASSERT_EQ(chdir(saved), 0);
}

// The game's own files lie outside the home directory; they are still never FIFOs.
TEST_F(FilesTest, OpenRegularFileRefusesFifosWithoutWaiting) {
    ASSERT_EQ(mkfifo(at("game.log").c_str(), 0644), 0);
    EXPECT_EQ(openRegularFile(at("game.log").c_str()), nullptr);
    EXPECT_STREQ(homeOpenError(), "not a regular file");
    writeFile(at("plain.log"), "x");
    FILE* fp = openRegularFile(at("plain.log").c_str());
    ASSERT_NE(fp, nullptr);
    fclose(fp);
}

TEST_F(FilesTest, LogWithoutAUsableFileDoesNothing) {
    trLog(nullptr, "x");
    trLog("", "x");
    std::string missing = at("no-such-dir/x.log");
    trLog(missing.c_str(), "x");
    EXPECT_FALSE(exists(missing));
}

TEST_F(FilesTest, BfcTurnsBackslashesIntoSlashesAndCutsTheMode) {
    bfc f("wb0123456789012345678901234567890123456789", "%s\\sub\\%s", "C:", "x.txt");
    EXPECT_STREQ(f.path, "C:/sub/x.txt");
    EXPECT_EQ(strlen(f.mode), 31u);
    EXPECT_EQ(f.fp, nullptr);
}

TEST_F(FilesTest, BfcOpensOnFirstWriteAndFlushesWhenDestroyed) {
    std::string path = at("out.txt");
    {
        bfc f("wb", "%s", path.c_str());
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(f.wrtf("id=%d;", 42), 6);
        EXPECT_NE(f.fp, nullptr);
        EXPECT_EQ(f.wrtf("%s", "end"), 3);
    }
    EXPECT_EQ(readFile(path), "id=42;end");
}

TEST_F(FilesTest, BfcWriteToAnUnopenableFileReturnsZero) {
    bfc f("wb", "%s", at("missing/out.txt").c_str());
    EXPECT_EQ(f.wrtf("x"), 0);
    EXPECT_EQ(f.fp, nullptr);
}

TEST_F(FilesTest, BfcCopiesAByteRangeThroughASmallWorkBuffer) {
    std::string src = at("src.bin");
    writeFile(src, std::string("0123456789abcdef\0xyz", 20));
    bfc f("rb", "%s", src.c_str());
    char work[3];
    EXPECT_EQ(f.cpy(4, 13, work, sizeof work, "%s/%s", dir_.c_str(), "part.bin"), 1);
    EXPECT_EQ(readFile(at("part.bin")), std::string("456789abcdef\0", 13));
    EXPECT_NE(f.fp, nullptr);  // the source stays open
    f.close();
    EXPECT_EQ(f.fp, nullptr);
}

TEST_F(FilesTest, BfcCopiesFromAnOffsetToTheEndWhenNoLengthIsGiven) {
    std::string src = at("src.bin");
    writeFile(src, "0123456789");
    bfc f("rb", "%s", src.c_str());
    char work[4];
    EXPECT_EQ(f.cpy(6, 0, work, sizeof work, "%s", at("tail.bin").c_str()), 1);
    EXPECT_EQ(readFile(at("tail.bin")), "6789");
}

TEST_F(FilesTest, BfcCopiesTheWholeFile) {
    std::string src = at("src.bin");
    std::string content(10000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    writeFile(src, content);
    bfc f("rb", "%s", src.c_str());
    EXPECT_EQ(f.cpy("%s/%s", dir_.c_str(), "copy.bin"), 1);
    EXPECT_EQ(readFile(at("copy.bin")), content);
}

TEST_F(FilesTest, BfcCopyOfAnEmptyRangeCreatesNoTarget) {
    std::string src = at("src.bin");
    writeFile(src, "0123456789");
    bfc f("rb", "%s", src.c_str());
    char work[16];
    for (long offset : {10L, 11L, 1000L}) {
        std::string target = at("empty" + std::to_string(offset));
        EXPECT_EQ(f.cpy(offset, 0, work, sizeof work, "%s", target.c_str()), 0) << offset;
        EXPECT_FALSE(exists(target)) << offset;
    }
}

TEST_F(FilesTest, BfcCopyOfAMissingSourceFailsWithoutATarget) {
    bfc f("rb", "%s", at("absent.bin").c_str());
    EXPECT_EQ(f.cpy("%s", at("copy.bin").c_str()), 0);
    EXPECT_FALSE(exists(at("copy.bin")));
}

TEST_F(FilesTest, BfcCopyPastTheEndCopiesWhatThereIsAndReportsFailure) {
    std::string src = at("src.bin");
    writeFile(src, "0123456789");
    bfc f("rb", "%s", src.c_str());
    char work[4];
    EXPECT_EQ(f.cpy(8, 5, work, sizeof work, "%s", at("short.bin").c_str()), 0);
    EXPECT_EQ(readFile(at("short.bin")), "89");
}

TEST_F(FilesTest, BfcTargetFormatLongerThan255IsTakenAsTheNameCutTo255) {
    std::string src = at("src.bin");
    writeFile(src, "0123456789");
    bfc f("rb", "%s", src.c_str());
    // A name of more than 255 characters whose first 255 form a valid path in the directory.
    std::string base = dir_ + "/";
    std::string stem(255 - base.size(), 'p');
    std::string fmt = base + stem + "%d-ignored";
    char work[8];
    EXPECT_EQ(f.cpy(0, 10, work, sizeof work, fmt.c_str(), 5), 1);
    EXPECT_EQ(readFile(base + stem), "0123456789");
}

}  // namespace
