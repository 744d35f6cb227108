// The whole alias file loaded and written over frames: bounded work per frame call, the closing
// line once at the end, the same file as a write in one go, requests that come while one runs,
// players tracked meanwhile, failures and the shut-down.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/atomic_file.h"
#include "players/file_jobs_fixture.h"
#include "util/clock.h"

namespace {

using Lines = std::vector<std::string>;

constexpr int kMany = 20000;

std::string aliasLine(int i, const std::string& name) {
    char guid[33];
    snprintf(guid, sizeof guid, "%032X", static_cast<unsigned>(i / 2) * 2654435761u + 5u);
    return std::string(guid) + " " + std::to_string(i % 50 + 1) + " " + std::to_string(1000 + i) +
           " " + std::to_string(2000 + i) + " " + name + "\r\n";
}

// Two aliases per GUID, as the module writes them.
std::string manyAliases(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += aliasLine(i, "Name " + std::to_string(i));
    return text;
}

class AliasJobs : public FileJobsTest {
  protected:
    void SetUp() override {
        FileJobsTest::SetUp();
        run("qz_sv_AliasMax 10");
    }
};

struct LoadCase {
    const char* what;
    std::string before;
    std::string after;  // the file after the load (and its write-back)
    int loaded;
    int written;  // -1: not written back
};

TEST_F(AliasJobs, ALoadOfManyRecordsRunsOverFramesAndWritesBackOnlyWhatNeedsIt) {
    const std::string many = manyAliases(kMany);
    const std::string path = home() + "qzalias.dat";
    const LoadCase cases[] = {
        {"a clean file is left alone", many, many, kMany, -1},
        {"a repeated record is merged and the file written back",
         many + aliasLine(4, "Name 4").replace(33, 1, "9"), many, kMany + 1, kMany},
        {"a cut last line is dropped", many + aliasLine(kMany, "X").substr(0, 40), many, kMany,
         kMany},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.what);
        // Each case loads into a fresh table.
        host().shutdown();
        ASSERT_EQ(host().start(), 0);
        run("qz_sv_AliasMax 10");
        writeFile("qzalias.dat", c.before);
        host().clearOutput();
        Lines first = run("qz_sv_AliasLoad");
        EXPECT_FALSE(anyLineContains(first, "Loaded from"));
        longest = 0;
        int frames = framesUntil("Loaded from");
        EXPECT_GE(frames, kMany / 4096);
        EXPECT_LT(longest, 50000) << "a frame call took " << longest << " us of CPU time";
        if (c.written >= 0) framesUntil("Written to");
        for (int i = 0; i < 5; ++i) host().frame();
        EXPECT_EQ(outputCount(std::to_string(c.loaded) + " Aliases Loaded from " + path), 1u);
        EXPECT_EQ(outputCount("Loaded from"), 1u);
        EXPECT_EQ(outputCount("Written to"), c.written >= 0 ? 1u : 0u);
        if (c.written >= 0) {
            EXPECT_EQ(outputCount(std::to_string(c.written) + " Aliases Written to " + path), 1u);
        }
        std::string expected = c.after;
        if (c.written >= 0 && std::string(c.what).find("repeated") != std::string::npos) {
            // The merged record keeps the larger count.
            const std::string four = aliasLine(4, "Name 4");
            expected.replace(expected.find(four), four.size(),
                             std::string(four).replace(33, 1, "9"));
        }
        EXPECT_EQ(file("qzalias.dat"), expected);
    }
}

TEST_F(AliasJobs, AWriteOfManyRecordsRunsOverFramesAndGivesTheFileItWasLoadedFrom) {
    const std::string many = manyAliases(kMany);
    writeFile("qzalias.dat", many);
    run("qz_sv_AliasLoad");
    ASSERT_GT(framesUntil("Loaded from"), 0);
    Lines first = run("qz_sv_AliasWrite other.dat");
    EXPECT_FALSE(anyLineContains(first, "Written to"));
    longest = 0;
    EXPECT_GE(framesUntil("Written to"), kMany / 4096);
    EXPECT_LT(longest, 50000);
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Aliases Written to " + home() + "other.dat"),
              1u);
    EXPECT_EQ(file("other.dat"), many);
    EXPECT_EQ(file("other.dat.tmp"), "");
}

// A write asked for while the load runs waits for it: it never writes a half-loaded table.
TEST_F(AliasJobs, AWriteAskedForDuringALoadWaitsAndWritesEveryRecord) {
    const std::string many = manyAliases(kMany);
    writeFile("qzalias.dat", many);
    run("qz_sv_AliasLoad");
    EXPECT_TRUE(anyLineContains(run("qz_sv_AliasWrite copy.dat"), "busy: write queued"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_AliasWrite copy2.dat"), "busy: write already queued"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_AliasLoad"), "busy: load queued"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_AliasLoad"), "busy: load already queued"));
    ASSERT_GT(framesUntil("Written to"), 0);
    EXPECT_EQ(file("copy.dat"), many);
    EXPECT_EQ(file("copy2.dat"), "");
    // The queued load comes after the write; it merges every record into itself.
    ASSERT_GT(framesUntil(std::to_string(kMany) + " Aliases Loaded from", 2), 0);
    EXPECT_EQ(outputCount("Loaded from"), 2u);
}

// A player who joins while the file is written gets his alias into the new file, and an alias
// after the write reaches the new file through the append stream.
TEST_F(AliasJobs, AliasesTrackedWhileTheFileIsWrittenAreNotLost) {
    const std::string many = manyAliases(kMany);
    writeFile("qzalias.dat", many);
    run("qz_sv_AliasLoad");
    ASSERT_GT(framesUntil("Loaded from"), 0);
    run("qz_sv_AliasWrite");
    join("Bob", kGuidA, "1.2.3.4:27960");
    ASSERT_GT(framesUntil("Written to"), 0);
    EXPECT_EQ(outputCount(std::to_string(kMany + 1) + " Aliases Written to"), 1u);
    run("sim_rename 1 Robert");
    host().frame();
    const std::string text = file("qzalias.dat");
    EXPECT_EQ(text.substr(0, many.size()), many);
    EXPECT_NE(text.find(std::string(kGuidA) + " 1 "), std::string::npos);
    EXPECT_NE(text.find(" Bob\r\n"), std::string::npos);
    EXPECT_NE(text.find(" Robert\r\n"), std::string::npos);
}

TEST_F(AliasJobs, AWriteThatCannotBeDoneReportsTheUsualError) {
    writeFile("qzalias.dat", manyAliases(10));
    run("qz_sv_AliasLoad");
    ASSERT_EQ(mkdir((home() + "other.dat.tmp").c_str(), 0755), 0);
    EXPECT_TRUE(hasLine(run("qz_sv_AliasWrite other.dat"),
                        "ERROR Writing Aliases to " + home() + "other.dat"));
    ASSERT_EQ(mkdir((home() + "blocked.dat").c_str(), 0755), 0);
    EXPECT_TRUE(hasLine(run("qz_sv_AliasWrite blocked.dat"),
                        "ERROR Writing Aliases to " + home() + "blocked.dat"));
    EXPECT_EQ(file("blocked.dat.tmp"), "");
}

// The shut-down finishes a running write, so that the file asked for is written whole.
TEST_F(AliasJobs, AShutDownFinishesARunningWrite) {
    const std::string many = manyAliases(kMany);
    writeFile("qzalias.dat", many);
    run("qz_sv_AliasLoad");
    ASSERT_GT(framesUntil("Loaded from"), 0);
    run("qz_sv_AliasWrite last.dat");
    host().frame();
    ASSERT_EQ(outputCount("Written to"), 0u);
    host().shutdown();
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Aliases Written to"), 1u);
    EXPECT_EQ(file("last.dat"), many);
}

}  // namespace

namespace {

// A large write's data reaches the disk before the rename: until the background sync has ended
// the old file stays in place, and an alias first seen meanwhile reaches the new file after it.
TEST_F(AliasJobs, ALargeWriteRenamesOnlyAfterItsSyncAndKeepsAliasesSeenMeanwhile) {
    const std::string many = manyAliases(kMany);
    writeFile("qzalias.dat", many);
    run("qz_sv_AliasLoad");
    ASSERT_GT(framesUntil("Loaded from"), 0);
    writeFile("qzalias.dat", "old\r\n");
    atomicSyncHold(true);
    run("qz_sv_AliasWrite");
    for (int i = 0; i < 200; ++i) host().frame();
    EXPECT_EQ(outputCount("Written to"), 0u);
    EXPECT_EQ(file("qzalias.dat").substr(0, 5), "old\r\n");
    join("Bob", kGuidA, "1.2.3.4:27960");
    atomicSyncHold(false);
    ASSERT_GT(framesUntil("Written to"), 0);
    EXPECT_EQ(outputCount(std::to_string(kMany + 1) + " Aliases Written to"), 1u);
    host().frame();
    EXPECT_EQ(file("qzalias.dat"), many + std::string(kGuidA) + " 1 " +
                                       std::to_string(static_cast<long long>(qzTime())) + " " +
                                       std::to_string(static_cast<long long>(qzTime())) +
                                       " Bob\r\n");
}

}  // namespace
