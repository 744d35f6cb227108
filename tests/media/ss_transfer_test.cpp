// The picture transfer from the client module: a complete picture through sim_screenshot, the
// time-outs, corrupt pictures, the size limit, blocks out of order or out of range, and the
// program run after a stored screenshot.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "media/screenshots.h"
#include "players/players_fixture.h"
#include "util/md5.h"

namespace {

// A picture that starts with the PNG signature; the rest is a fixed byte pattern.
std::string pngBytes(size_t size) {
    std::string bytes = "\x89PNG\r\n\x1a\n";
    for (size_t i = bytes.size(); i < size; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
    bytes.resize(size);
    return bytes;
}

std::string md5(const std::string& bytes) {
    return qzmd5(bytes.data(), static_cast<unsigned>(bytes.size()), 0);
}

class SsTransfer : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        ASSERT_TRUE(anyLineContains(join("Alice", kGuidA, "1.2.3.4:27960"), "admitted"));
    }
    // Requests a screenshot from slot 1 and returns the random number of the request.
    unsigned long request() {
        run("qz_sv_GetSs 1");
        return host().client(1)->ssNonce;
    }
    std::vector<std::string> packet(const std::string& bytes) {
        const size_t before = host().output().size();
        host().packet(1, bytes);
        const auto& all = host().output();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
    std::string capture(long serial, unsigned long nonce, size_t size, const std::string& digest) {
        return "QZ_SSCAP " + std::to_string(serial) + " " + std::to_string(nonce) + " " +
               std::to_string(size) + " 320 240 " + digest + " test client";
    }
    std::string block(long serial, int number, const std::string& data) {
        return "QZ_SSB " + std::to_string(serial) + " " + std::to_string(number) + " " + data;
    }
    std::string picturePath() { return home() + "svss/qz000001.png"; }
    std::string log() { return file("svlogs/00000001.log"); }
};

TEST_F(SsTransfer, AScreenshotSentWithSimScreenshotIsStoredWithItsPageAndLogLines) {
    const std::string picture = pngBytes(5000);
    writeFile("shot.png", picture);
    request();
    auto out = run("sim_screenshot 1 " + home() + "shot.png");
    EXPECT_TRUE(hasLine(out, "[to 1] QPNG 0"));
    EXPECT_TRUE(hasLine(out, "[to 1] QPNG -1"));
    EXPECT_EQ(file("svss/qz000001.png"), picture);
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> <img src=qz000001.png>\r\n");
    const std::string digest = md5(picture);
    EXPECT_TRUE(hasLine(out, "Screenshot 000001 successfully received (MD5=" + digest +
                                 ") from 1 Alice [" + kGuidA + "(?) 1.2.3.4:27960]"));
    EXPECT_NE(log().find("Screenshot received from Alice " + std::string(kGuidA) +
                         " : filename=" + picturePath() + ", MD5=" + digest + " (5000 bytes)"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("Screenshot #1 (5000|320|240) captured at client (simclient) for "
                         "slot#1 \"Alice\""),
              std::string::npos);
    EXPECT_NE(file("svss/" QZ_SSINDEX_FILE).find("000001</a> \"Alice\""), std::string::npos);
}

// The picture is digested and written block by block: whatever its size and however its last
// block falls, the stored file and the reported digest are those of the whole picture taken at
// once, and no part file is left behind by any ending.
TEST_F(SsTransfer, APictureWrittenBlockByBlockEqualsThePictureTakenWhole) {
    const long chunk = QZ_SS_WRITE_CHUNK;
    struct Case {
        const char* what;
        long size;
        bool png;            // starts with the PNG signature
        int resend;          // block sent twice (-1: none)
        bool wrongMd5;       // the capture report announces another digest
        const char* ending;  // "stored", "corrupt", "incomplete"
    } cases[] = {
        {"nothing", 0, true, -1, false, "incomplete"},
        {"one byte", 1, false, -1, false, "corrupt"},
        {"the signature alone", 8, true, -1, false, "stored"},
        {"one block less a byte", QZ_SS_BLOCK - 1, true, -1, false, "stored"},
        {"one block", QZ_SS_BLOCK, true, -1, false, "stored"},
        {"one block and a byte", QZ_SS_BLOCK + 1, true, -1, false, "stored"},
        {"one write chunk", chunk, true, -1, false, "stored"},
        {"a chunk and a byte", chunk + 1, true, -1, false, "stored"},
        {"an uneven last block", 3 * chunk + 517, true, -1, false, "stored"},
        {"the largest picture", QZ_SS_PICTURE_MAX, true, -1, false, "stored"},
        {"not a PNG", 5000, false, -1, false, "corrupt"},
        {"a wrong digest", 2 * chunk + 9, true, -1, true, "corrupt"},
        {"a block resent", 5000, true, 2, false, "incomplete"},
        {"a block resent past a chunk", chunk + 3000, true, 64, false, "incomplete"},
    };
    for (const Case& c : cases) {
        std::string picture = pngBytes(static_cast<size_t>(c.size));
        if (!c.png && !picture.empty()) picture[0] = 'X';
        unsigned long nonce = request();
        const long serial = host().client(1)->ssSerial;
        char name[32];
        snprintf(name, sizeof name, "svss/qz%06ld", serial);
        const std::string png = std::string(name) + ".png";
        const std::string part = home() + png + ".part";
        const std::string whole = md5(picture);
        packet(capture(serial, nonce, picture.size(), c.wrongMd5 ? md5(picture + "x") : whole));
        std::vector<std::string> out;
        const int blocks = static_cast<int>((c.size + QZ_SS_BLOCK - 1) / QZ_SS_BLOCK);
        for (int b = 0; b < blocks; ++b) {
            if (b == blocks - 1 && c.size > 2 * chunk) {
                // Everything but the last stretch has reached the part file before the end.
                struct stat st;
                ASSERT_EQ(stat(part.c_str(), &st), 0) << c.what;
                EXPECT_GT(st.st_size, c.size - chunk - QZ_SS_BLOCK) << c.what;
            }
            std::string data = picture.substr(static_cast<size_t>(b) * QZ_SS_BLOCK, QZ_SS_BLOCK);
            auto got = packet(block(serial, b, data));
            out.insert(out.end(), got.begin(), got.end());
            if (b == c.resend) {
                got = packet(block(serial, b, data));
                out.insert(out.end(), got.begin(), got.end());
                break;
            }
        }
        const std::string ending = c.ending;
        EXPECT_FALSE(std::filesystem::exists(part)) << c.what;
        EXPECT_EQ(std::filesystem::exists(home() + png), ending == "stored") << c.what;
        if (ending == "stored") {
            EXPECT_TRUE(file(png) == picture) << c.what;
            EXPECT_EQ(file(std::string(name) + ".htm"),
                      "<p> <img src=qz" + std::string(name + 7) + ".png>\r\n")
                << c.what;
            EXPECT_TRUE(anyLineContains(out, "successfully received (MD5=" + whole + ")"))
                << c.what;
        } else if (ending == "corrupt") {
            EXPECT_TRUE(anyLineContains(out, "CORRUPT Screenshot")) << c.what;
            EXPECT_EQ(file(std::string(name) + ".htm"),
                      "<p> Screenshot transfer was corrupted.\r\n")
                << c.what;
        } else {
            EXPECT_EQ(file(std::string(name) + ".htm"),
                      "<p> Screenshot transfer was incomplete.\r\n")
                << c.what;
        }
        run("sim_advance 201000");
    }
}

// A part file that cannot be written ends the transfer as before a picture that could not be
// written: the page says incomplete and no picture is left.
TEST_F(SsTransfer, APartFileThatCannotBeCreatedLeavesNoPicture) {
    const std::string picture = pngBytes(3000);
    unsigned long nonce = request();
    const long serial = host().client(1)->ssSerial;
    // A folder where the part file would go: it cannot be opened as a file.
    std::filesystem::create_directory(home() + "svss/qz000001.png.part");
    packet(capture(serial, nonce, picture.size(), md5(picture)));
    std::vector<std::string> out;
    for (int b = 0; b < 3; ++b) {
        auto got = packet(
            block(serial, b, picture.substr(static_cast<size_t>(b) * QZ_SS_BLOCK, QZ_SS_BLOCK)));
        out.insert(out.end(), got.begin(), got.end());
    }
    EXPECT_TRUE(anyLineContains(out, "Screenshot 000001 cannot be written to " + picturePath()));
    EXPECT_FALSE(std::filesystem::exists(picturePath()));
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot transfer was incomplete.\r\n");
}

TEST_F(SsTransfer, APictureOfferedBeforeTheRequestAnswersTheNextRequest) {
    const std::string picture = pngBytes(QZ_SS_BLOCK * 3);  // ends on a block boundary
    writeFile("early.png", picture);
    EXPECT_TRUE(anyLineContains(run("sim_screenshot 1 " + home() + "early.png"),
                                "waits for the next request"));
    request();
    EXPECT_EQ(file("svss/qz000001.png"), picture);
}

TEST_F(SsTransfer, TheScreenshotLogReceivesTheLinesWhenChosen) {
    run("qz_sv_ssLogging 2");
    writeFile("shot.png", pngBytes(100));
    request();
    run("sim_screenshot 1 " + home() + "shot.png");
    EXPECT_NE(file("svlogs/qzsvss.log").find("successfully received"), std::string::npos);
    EXPECT_EQ(log().find("Screenshot received from"), std::string::npos);
}

TEST_F(SsTransfer, AnUnansweredRequestTimesOutAndLeavesThePage) {
    run("qz_sv_ssTimeout 30");
    host().client(1)->answers = false;
    request();
    EXPECT_FALSE(anyLineContains(run("sim_advance 30000"), "TIMED OUT"));
    EXPECT_TRUE(hasLine(run("sim_advance 1000"),
                        "Screenshot 000001 TIMED OUT after 30 seconds "
                        "(slot=1)"));
    EXPECT_NE(log().find("Screenshot 000001 TIMED OUT after 30 seconds (slot=1)"),
              std::string::npos);
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot was not returned by Client.\r\n");
}

TEST_F(SsTransfer, ATransferThatStopsHalfwayTimesOutAsIncomplete) {
    const std::string picture = pngBytes(3000);
    unsigned long nonce = request();
    packet(capture(1, nonce, picture.size(), md5(picture)));
    packet(block(1, 0, picture.substr(0, QZ_SS_BLOCK)));
    auto out = run("sim_advance 121000");
    EXPECT_TRUE(hasLine(out, "Screenshot 000001 TIMED OUT after 120 seconds (slot=1)"));
    EXPECT_TRUE(hasLine(out, "[to 1] QPNG -1"));
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot transfer was incomplete.\r\n");
    EXPECT_FALSE(std::filesystem::exists(picturePath()));
}

TEST_F(SsTransfer, APictureFailingItsCheckIsReportedCorrupt) {
    const std::string picture = pngBytes(2000);
    std::string notPng = picture;
    notPng[1] = 'X';
    struct Case {
        const char* what;
        std::string sent;
        std::string announced;
    } cases[] = {{"wrong digest", picture, md5(picture + "x")},
                 {"no PNG signature", notPng, md5(notPng)}};
    for (const Case& c : cases) {
        unsigned long nonce = request();
        const long serial = host().client(1)->ssSerial;
        packet(capture(serial, nonce, c.sent.size(), c.announced));
        packet(block(serial, 0, c.sent.substr(0, QZ_SS_BLOCK)));
        auto out = packet(block(serial, 1, c.sent.substr(QZ_SS_BLOCK)));
        char page[32];
        snprintf(page, sizeof page, "svss/qz%06ld.htm", serial);
        char line[64];
        snprintf(line, sizeof line, "CORRUPT Screenshot %06ld received from 1 Alice", serial);
        EXPECT_TRUE(hasLine(out, line)) << c.what;
        EXPECT_EQ(file(page), "<p> Screenshot transfer was corrupted.\r\n") << c.what;
        run("sim_advance 31000");
    }
    EXPECT_FALSE(std::filesystem::exists(home() + "svss/qz000001.png"));
    EXPECT_FALSE(std::filesystem::exists(home() + "svss/qz000002.png"));
}

TEST_F(SsTransfer, APictureOverTheLimitIsRefusedBeforeAnyBlock) {
    unsigned long nonce = request();
    auto out = packet(capture(1, nonce, QZ_SS_PICTURE_MAX + 1, std::string(32, 'A')));
    EXPECT_TRUE(hasLine(out,
                        "Screenshot 000001 refused: 4194305 bytes is over the limit of "
                        "4194304 bytes (slot=1)"));
    EXPECT_TRUE(hasLine(out, "[to 1] QPNG -1"));
    EXPECT_FALSE(hasLine(out, "[to 1] QPNG 0"));
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot transfer was incomplete.\r\n");
    // The request is over: blocks that still come are dropped without a word.
    EXPECT_TRUE(packet(block(1, 0, std::string(QZ_SS_BLOCK, 'x'))).empty());
}

TEST_F(SsTransfer, ABlockOutOfOrderOrOutOfRangeEndsTheTransfer) {
    const std::string picture = pngBytes(3000);
    struct Case {
        const char* what;
        int number;
        std::string data;
    } cases[] = {{"a gap", 1, picture.substr(QZ_SS_BLOCK, QZ_SS_BLOCK)},
                 {"past the end", 7, std::string(10, 'x')},
                 {"too long", 0, std::string(QZ_SS_BLOCK + 1, 'x')},
                 {"too short", 0, std::string(10, 'x')}};
    for (const Case& c : cases) {
        unsigned long nonce = request();
        const long serial = host().client(1)->ssSerial;
        packet(capture(serial, nonce, picture.size(), md5(picture)));
        auto out = packet(block(serial, c.number, c.data));
        EXPECT_TRUE(anyLineContains(out, "[to 1] QPNG -1")) << c.what;
        char page[32];
        snprintf(page, sizeof page, "svss/qz%06ld.htm", serial);
        EXPECT_EQ(file(page), "<p> Screenshot transfer was incomplete.\r\n") << c.what;
        EXPECT_TRUE(packet(block(serial, 0, picture.substr(0, QZ_SS_BLOCK))).empty()) << c.what;
        run("sim_advance 201000");
    }
    EXPECT_NE(log().find("out of order or out of range"), std::string::npos);
}

TEST_F(SsTransfer, ACaptureReportForAnotherRequestIsIgnored) {
    unsigned long nonce = request();
    const std::string picture = pngBytes(100);
    struct Case {
        const char* what;
        std::string report;
    } cases[] = {{"wrong serial", capture(2, nonce, 100, md5(picture))},
                 {"wrong random number", capture(1, nonce + 1, 100, md5(picture))},
                 {"malformed", "QZ_SSCAP x"}};
    for (const Case& c : cases) {
        auto out = packet(c.report);
        EXPECT_FALSE(anyLineContains(out, "QPNG")) << c.what;
    }
    EXPECT_NE(log().find("Screenshot report ignored from (slot #1) Alice: no such request (2)"),
              std::string::npos);
    // The true report still goes through.
    EXPECT_TRUE(hasLine(packet(capture(1, nonce, 100, md5(picture))), "[to 1] QPNG 0"));
}

TEST_F(SsTransfer, NumbersBeyondThirtyTwoBitsInACaptureReportAreRefusedNotWrapped) {
    const unsigned long nonce = request();
    const std::string picture = pngBytes(1);
    // 4294967297 is 2^32 + 1: read into a 32-bit long it would wrap to 1.
    const std::string wide = "4294967297";
    const std::string wideNonce = std::to_string(4294967296ULL + nonce);
    const std::string tail = " 320 240 " + md5(picture) + " test client";
    struct Case {
        const char* what;
        std::string report;
    } cases[] = {{"serial", "QZ_SSCAP " + wide + " " + std::to_string(nonce) + " 1" + tail},
                 {"random number", "QZ_SSCAP 1 " + wideNonce + " 1" + tail},
                 {"size", "QZ_SSCAP 1 " + std::to_string(nonce) + " " + wide + tail}};
    for (const Case& c : cases) {
        EXPECT_FALSE(anyLineContains(packet(c.report), "[to 1] QPNG 0")) << c.what;
    }
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot was not returned by Client.\r\n");
}

TEST_F(SsTransfer, ARequestTakingTheSerialOfAPendingTransferEndsThatTransferFirst) {
    join("Bob", kGuidB, "1.2.3.5:27960");
    run("qz_sv_SsFloor 5");
    run("qz_sv_SsCeiling 5");
    const std::string picture = pngBytes(3000);
    struct Case {
        const char* what;
        int slot;
        const char* line;
    } cases[] = {{"the same slot", 1, "Screenshot 000005 Requested from 1  Alice"},
                 {"another slot", 2, "Screenshot 000005 Requested from 2  Bob"}};
    for (const Case& c : cases) {
        const unsigned long nonce = request();
        ASSERT_EQ(host().client(1)->ssSerial, 5u) << c.what;
        packet(capture(5, nonce, picture.size(), md5(picture)));
        packet(block(5, 0, picture.substr(0, QZ_SS_BLOCK)));
        run("sim_advance 31000");
        auto out = run("qz_sv_GetSs " + std::to_string(c.slot));
        EXPECT_TRUE(hasLine(out, c.line)) << c.what;
        EXPECT_TRUE(hasLine(out, "[to 1] QPNG -1")) << c.what;
        // The rest of the old picture comes too late and is dropped without a word.
        EXPECT_TRUE(packet(block(5, 1, picture.substr(QZ_SS_BLOCK, QZ_SS_BLOCK))).empty());
        packet(block(5, 2, picture.substr(2 * QZ_SS_BLOCK)));
        EXPECT_EQ(file("svss/qz000005.htm"), "<p> Screenshot was not returned by Client.\r\n")
            << c.what;
        EXPECT_FALSE(std::filesystem::exists(home() + "svss/qz000005.png")) << c.what;
        run("sim_advance 601000");
    }
    EXPECT_NE(log().find("Screenshot 000005 abandoned: its serial was taken by a new request "
                         "(slot=1)"),
              std::string::npos);
}

TEST_F(SsTransfer, APlayerWhoLeavesFreesHisTransfer) {
    const std::string picture = pngBytes(3000);
    unsigned long nonce = request();
    packet(capture(1, nonce, picture.size(), md5(picture)));
    run("sim_drop 1");
    run("sim_advance 0");
    EXPECT_EQ(file("svss/qz000001.htm"), "<p> Screenshot transfer was incomplete.\r\n");
    EXPECT_NE(log().find("Screenshot 000001 abandoned: the player left (slot=1)"),
              std::string::npos);
}

class SsCommand : public SsTransfer {
  protected:
    // Runs frames (the manual clock stands still) until the program was reaped.
    std::vector<std::string> reap() {
        std::vector<std::string> all;
        for (int i = 0; i < 500; ++i) {
            auto out = run("sim_advance 0");
            all.insert(all.end(), out.begin(), out.end());
            if (log().find("Attempted qz_sv_ssCmd") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return all;
    }
    void store() {
        writeFile("shot.png", pngBytes(1500));
        request();
        run("sim_screenshot 1 " + home() + "shot.png");
    }
    void script(const std::string& name, const std::string& body, mode_t mode = 0755) {
        writeFile(name, body);
        chmod((home() + name).c_str(), mode);
    }
};

TEST_F(SsCommand, TheProgramRunsWithThePictureTheSerialAndThePage) {
    script("ss.sh",
           "#!/bin/sh\nprintf '%s|%s|%s|%s' \"$#\" \"$1\" \"$2\" \"$3\" > \"$1.args\"\n"
           "exit 3\n");
    run("qz_sv_SsCmd ss.sh");
    store();
    reap();
    EXPECT_EQ(file("svss/qz000001.png.args"),
              "3|" + picturePath() + "|000001|" + home() + "svss/qz000001.htm");
    EXPECT_NE(
        log().find("Attempted qz_sv_ssCmd (result=3) [" + home() + "ss.sh][" + picturePath() + "]"),
        std::string::npos)
        << log();
}

TEST_F(SsCommand, TheProgramInheritsNoDescriptorOfTheGameServer) {
    // A socket of the game server, open without close-on-exec, on a number the shell leaves
    // alone.
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(dup2(sock, 40), 40);
    close(sock);
    script("fds.sh", "#!/bin/sh\nls /proc/$$/fd > \"$1.fds\"\n");
    run("qz_sv_SsCmd fds.sh");
    store();
    reap();
    close(40);
    const std::string fds = "\n" + file("svss/qz000001.png.fds");
    EXPECT_NE(fds.find("\n0\n1\n"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("\n40\n"), std::string::npos) << fds;
}

TEST_F(SsCommand, ProgramsOutsideTheHomeDirectoryOrNotExecutableAreNotRun) {
    script("plain.sh", "#!/bin/sh\ntouch \"$1.ran\"\n", 0644);
    ASSERT_EQ(symlink("/bin/touch", (home() + "link").c_str()), 0);
    struct Case {
        const char* value;
        const char* why;
    } cases[] = {{"plain.sh", "not an executable file"},
                 {"link", "the program must lie inside the home directory"},
                 {"missing.sh", "no such file"}};
    for (const Case& c : cases) {
        run(std::string("qz_sv_SsCmd ") + c.value);
        store();
        EXPECT_TRUE(host().contains(std::string("qz_sv_ssCmd not run [") + c.value + "]: " + c.why))
            << c.value;
        run("sim_advance 31000");
    }
    EXPECT_FALSE(std::filesystem::exists(picturePath() + ".ran"));
}

TEST_F(SsCommand, AValuePointingOutsideIsCutToAProgramInsideTheHomeDirectory) {
    script("evil.sh", "#!/bin/sh\ntouch \"$1.evil\"\n");
    auto out = run("qz_sv_SsCmd ../../evil.sh");
    EXPECT_TRUE(hasLine(out, "Setting qz_sv_sscmd value override [evil.sh]"));
    store();
    reap();
    EXPECT_TRUE(std::filesystem::exists(picturePath() + ".evil"));
}

}  // namespace
