// Following the game log: only what is written after the start, whole lines only, and a log
// that is truncated, replaced or created later.
#include "qzbridge/logtail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class LogTailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzlogtail-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/games.log";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void append(const std::string& text) {
        std::ofstream out(path_, std::ios::app | std::ios::binary);
        out << text;
    }
    // Polls until something comes or half a second passed (the name is checked four times a
    // second).
    std::vector<std::string> poll(qzb::LogTail& tail, bool* rotated) {
        std::vector<std::string> lines;
        bool any = false;
        for (int i = 0; i < 50 && lines.empty(); ++i) {
            bool r = false;
            tail.poll(&lines, &r);
            any = any || r;
            if (lines.empty()) usleep(10000);
        }
        *rotated = any;
        return lines;
    }
    std::string dir_, path_;
};

TEST_F(LogTailTest, ReadsOnlyWhatIsWrittenAfterTheStartAndWholeLinesOnly) {
    append("old line\n");
    qzb::LogTail tail(path_);
    tail.start();
    std::vector<std::string> lines;
    bool rotated = true;
    EXPECT_EQ(tail.poll(&lines, &rotated), 0);
    EXPECT_FALSE(rotated);
    append("  0:06 ClientConnect: 0\r\n  0:07 Client");
    EXPECT_EQ(poll(tail, &rotated), std::vector<std::string>{"  0:06 ClientConnect: 0"});
    EXPECT_GT(tail.lastWriteMicros(), 0);
    append("Disconnect: 0\n");
    EXPECT_EQ(poll(tail, &rotated), std::vector<std::string>{"  0:07 ClientDisconnect: 0"});
}

TEST_F(LogTailTest, ATruncatedLogIsReadFromItsStart) {
    append("one\ntwo\n");
    qzb::LogTail tail(path_);
    tail.start();
    { std::ofstream out(path_, std::ios::trunc); }
    append("new\n");
    bool rotated = false;
    EXPECT_EQ(poll(tail, &rotated), std::vector<std::string>{"new"});
    EXPECT_TRUE(rotated);
}

TEST_F(LogTailTest, AReplacedLogIsFollowedUnderItsName) {
    append("one\n");
    qzb::LogTail tail(path_);
    tail.start();
    std::filesystem::rename(path_, path_ + ".1");
    append("first of the new file\n");
    bool rotated = false;
    EXPECT_EQ(poll(tail, &rotated), std::vector<std::string>{"first of the new file"});
    EXPECT_TRUE(rotated);
}

TEST_F(LogTailTest, ALogThatAppearsLaterIsReadWhole) {
    qzb::LogTail tail(path_);
    tail.start();
    std::vector<std::string> lines;
    bool rotated = false;
    EXPECT_EQ(tail.poll(&lines, &rotated), 0);
    append("InitGame: x\n");
    EXPECT_EQ(poll(tail, &rotated), std::vector<std::string>{"InitGame: x"});
}

// The game writes a record from a 1024-byte buffer: a longer one is cut at 1023 bytes without
// its line end, and the next record follows on the same line. Each stays a line of its own, so
// a rename after a long chat line is not lost, and no text of the chat line becomes a record.
TEST_F(LogTailTest, ARecordCutAtTheGamesLimitEndsALine) {
    qzb::LogTail tail(path_);
    tail.start();
    std::string chat = "  1:23 say: Talker: " + std::string(1100, 'x');
    chat.resize(1023);
    const std::string rename = "  1:24 ClientUserinfoChanged: 3 n\\Hidden\\t\\0\\id\\";
    append(chat + rename + "\n");
    std::vector<std::string> lines;
    bool rotated = false;
    for (int i = 0; i < 10 && lines.size() < 2; ++i) tail.poll(&lines, &rotated);
    EXPECT_EQ(lines, (std::vector<std::string>{chat, rename}));
    // A record of at most 1023 bytes with its line end is one line.
    lines.clear();
    std::string full = "  1:25 say: Talker: " + std::string(1002, 'y');
    ASSERT_EQ(full.size(), 1022u);
    append(full + "\n" + "  1:26 ClientDisconnect: 3\n");
    for (int i = 0; i < 10 && lines.size() < 2; ++i) tail.poll(&lines, &rotated);
    EXPECT_EQ(lines, (std::vector<std::string>{full, "  1:26 ClientDisconnect: 3"}));
}

TEST_F(LogTailTest, AnEndlessLineBecomesRecordsOfTheGamesLimit) {
    qzb::LogTail tail(path_);
    tail.start();
    append(std::string(100000, 'x') + "\n");
    std::vector<std::string> lines;
    bool rotated = false;
    for (int i = 0; i < 10 && lines.size() < 98; ++i) tail.poll(&lines, &rotated);
    ASSERT_EQ(lines.size(), 98u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[97].size(), 100000u - 97 * 1023);
}

}  // namespace
