// The statistics file's whole write and load spread over frames: bounded work per frame call,
// the closing line once at the end, the same file as a write in one go, requests that come
// while one runs, failures, and a shut-down in the middle.
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/atomic_file.h"
#include "players/file_jobs_fixture.h"
#include "util/clock.h"

namespace {

using Lines = std::vector<std::string>;

std::string guidOf(int i) {
    char guid[33];
    snprintf(guid, sizeof guid, "%032X", static_cast<unsigned>(i) * 2654435761u + 17u);
    return guid;
}

std::string statLine(int i, const std::string& text) {
    return guidOf(i) + " age=" + std::to_string(1000 + i) + " secs=" + std::to_string(i % 977) +
           " stat=\"" + text + "\"\r\n";
}

std::string manyRecords(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += statLine(i, "kill[w" + std::to_string(i % 9) + ",m,4:3.0]");
    return text;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class StatJobs : public FileJobsTest {
  protected:
    void SetUp() override {
        FileJobsTest::SetUp();
        run("qz_sv_stattrack 1");
    }
};

constexpr int kMany = 20000;

struct WriteCase {
    const char* what;
    std::string before;  // the file
    std::string after;   // the file the whole write leaves
    int loaded;
    int written;
};

TEST_F(StatJobs, AWholeWriteOfManyRecordsRunsOverFramesAndLeavesTheOneGoResult) {
    const std::string many = manyRecords(kMany);
    const std::string a = statLine(kMany, "a[x:1]"), b = statLine(kMany, "b[y:2]");
    const std::string merged = guidOf(kMany) + " age=" + std::to_string(1000 + kMany) +
                               " secs=" + std::to_string(2 * (kMany % 977)) +
                               " stat=\"b[y:2] a[x:1]\"\r\n";
    const std::string cut = guidOf(kMany + 1).substr(0, 20);
    const WriteCase cases[] = {
        {"records kept as they were", many, many, kMany, kMany},
        {"two lines of one GUID merged into the first", a + many + b, merged + many, kMany + 2,
         kMany + 1},
        {"a cut last line dropped", many + cut, many, kMany, kMany},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("qzstat.dat", c.before);
        host().clearOutput();
        Lines first = run("QZ_SV_STATWRITE");
        EXPECT_FALSE(anyLineContains(first, "Written to"));
        longest = 0;
        int frames = framesUntil("Stat Records Written to");
        // At most 4,096 records a frame: reading, merging and writing take several frames each.
        EXPECT_GE(frames, 2 * kMany / 4096);
        EXPECT_LT(longest, 50000) << "a frame call took " << longest << " us of CPU time";
        EXPECT_EQ(outputCount("Stat Records Written to"), 1u);
        EXPECT_EQ(outputCount(std::to_string(c.written) + " Stat Records Written to"), 1u);
        EXPECT_EQ(outputCount(std::to_string(c.loaded) + " Stat Records Loaded from"), 1u);
        EXPECT_EQ(file("qzstat.dat"), c.after);
        EXPECT_EQ(file("qzstat.dat.tmp"), "");
        for (int i = 0; i < 5; ++i) host().frame();
        EXPECT_EQ(outputCount("Stat Records Written to"), 1u);
    }
}

TEST_F(StatJobs, NewRecordsGatheredWhileTheWriteRunsAreKeptForTheNextOne) {
    writeFile("qzstat.dat", manyRecords(kMany));
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 2000");
    run("QZ_SV_STATWRITE");
    // Events while the file is being read and written.
    run("sim_gameevent kill 1 0 rifle");
    ASSERT_GT(framesUntil("Stat Records Written to"), 0);
    EXPECT_EQ(outputCount(std::to_string(kMany + 1) + " Stat Records Written to"), 1u);
    std::string text = file("qzstat.dat");
    EXPECT_EQ(count(text, kGuidA), 1u);
    EXPECT_NE(text.find("knife,oasis,4:1.0"), std::string::npos);
    run("sim_advance 1000");
    run("QZ_SV_STATWRITE");
    ASSERT_GT(framesUntil(std::to_string(kMany + 1) + " Stat Records Written to", 2), 0);
    text = file("qzstat.dat");
    EXPECT_EQ(count(text, kGuidA), 1u);
    EXPECT_NE(text.find("rifle,oasis,4:1.0"), std::string::npos) << text.substr(text.find(kGuidA));
    EXPECT_NE(text.find("knife,oasis,4:1.0"), std::string::npos);
}

TEST_F(StatJobs, ALoadOfManyRecordsRunsOverFramesAndCountsOnceAtTheEnd) {
    writeFile("qzstat.dat", manyRecords(kMany));
    Lines first = run("QZ_SV_STATLOAD");
    EXPECT_FALSE(anyLineContains(first, "Loaded from"));
    int frames = framesUntil("Stat Records Loaded from");
    EXPECT_GE(frames, kMany / 4096);
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Stat Records Loaded from"), 1u);
    EXPECT_EQ(outputCount("Loaded from"), 1u);
    // Loading again first empties what was loaded.
    run("QZ_SV_STATLOAD");
    ASSERT_GT(framesUntil(std::to_string(kMany) + " Stat Records Loaded from", 2), 0);
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Stat Records Loaded from"), 2u);
}

TEST_F(StatJobs, NewLogLoadsTheFileOverTheNextFramesWhenAutoLoadIsOn) {
    writeFile("qzstat.dat", manyRecords(kMany));
    run("qz_sv_statautoload 1");
    Lines first = run("qz_sv_NewLog");
    EXPECT_TRUE(anyLineContains(first, "Opening a New QZ Server Log"));
    EXPECT_FALSE(anyLineContains(first, "Loaded from"));
    ASSERT_GT(framesUntil("Stat Records Loaded from"), 0);
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Stat Records Loaded from"), 1u);
}

// One request of each kind waits behind the running job; a second one of a kind is refused,
// and a load waits behind a write, which reads the file anyway.
TEST_F(StatJobs, RequestsWhileAJobRunsAreQueuedOnceAndRunInOrder) {
    writeFile("qzstat.dat", manyRecords(kMany));
    run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATWRITE"), "busy: write queued"));
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATWRITE"), "busy: write already queued"));
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATLOAD"), "busy: load already queued"));
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATAPPEND"), "busy: append queued"));
    for (int i = 0; i < 100000 && outputCount("Stat Records Written to") < 3; ++i) host().frame();
    // The first write, the queued append (no new records), the queued write.
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Stat Records Written to"), 2u);
    size_t appends = 0;
    for (const std::string& line : host().output())
        if (line.rfind("0 Stat Records Written to", 0) == 0) appends++;
    EXPECT_EQ(appends, 1u);
    EXPECT_EQ(outputCount(std::to_string(kMany) + " Stat Records Loaded from"), 2u);
    for (int i = 0; i < 10; ++i) host().frame();
    EXPECT_EQ(outputCount("Loaded from"), 2u);
    EXPECT_EQ(file("qzstat.dat"), manyRecords(kMany));
}

TEST_F(StatJobs, AWriteThatCannotCreateItsFileReportsItAndKeepsTheNewRecords) {
    const std::string before = manyRecords(100);
    writeFile("qzstat.dat", before);
    ASSERT_EQ(mkdir((home() + "qzstat.dat.tmp").c_str(), 0755), 0);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 2000");
    Lines out = run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(out, "WARNING: Persistent Stat Update Failed (GUID=*)"));
    EXPECT_TRUE(anyLineContains(out, "ERROR Writing Stat File "));
    EXPECT_FALSE(anyLineContains(out, "Written to"));
    // The file is read again, and stays as it was.
    EXPECT_EQ(outputCount("100 Stat Records Loaded from"), 2u);
    EXPECT_EQ(file("qzstat.dat"), before);
    ASSERT_EQ(rmdir((home() + "qzstat.dat.tmp").c_str()), 0);
    out = run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(out, "101 Stat Records Written to")) << testing::PrintToString(out);
    EXPECT_NE(file("qzstat.dat").find("kill[knife,oasis,4:1.0]"), std::string::npos);
}

// The shut-down gives the running write up at once: the old file stays, and the new records it
// had taken are appended with the rest, so nothing is lost.
TEST_F(StatJobs, AShutDownInTheMiddleOfAWriteLosesNothing) {
    const std::string before = manyRecords(kMany);
    writeFile("qzstat.dat", before);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 2000");
    run("QZ_SV_STATWRITE");
    for (int i = 0; i < 3; ++i) host().frame();
    ASSERT_EQ(outputCount("Written to"), 0u);
    host().shutdown();
    EXPECT_TRUE(host().contains("given up by the shut-down"));
    const std::string text = file("qzstat.dat");
    EXPECT_EQ(text.substr(0, before.size()), before);
    EXPECT_NE(text.find(std::string(kGuidA) + " age="), std::string::npos);
    EXPECT_NE(text.find("kill[knife,oasis,4:1.0]"), std::string::npos);
    EXPECT_EQ(file("qzstat.dat.tmp"), "");
}

}  // namespace

namespace {

// A large whole write renames its file only once the background sync of its data has ended.
TEST_F(StatJobs, ALargeWriteReplacesTheFileOnlyAfterItsDataIsSynced) {
    const std::string before = manyRecords(kMany);
    writeFile("qzstat.dat", before);
    atomicSyncHold(true);
    run("QZ_SV_STATWRITE");
    for (int i = 0; i < 200; ++i) host().frame();
    EXPECT_EQ(outputCount("Written to"), 0u);
    EXPECT_EQ(file("qzstat.dat"), before);
    atomicSyncHold(false);
    ASSERT_GT(framesUntil("Stat Records Written to"), 0);
    EXPECT_EQ(file("qzstat.dat"), before);
    EXPECT_EQ(file("qzstat.dat.tmp"), "");
}

}  // namespace
