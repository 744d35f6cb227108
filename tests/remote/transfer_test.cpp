// Transfer records, the bounded inflate and the file write of a finished download.
#include "remote/transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "util/files.h"

namespace {

stQzFileServer record(uint32_t id, const char* name, const char* second = "") {
    stQzFileServer r;
    memset(&r, 0, sizeof r);
    r.id = id;
    snprintf(r.fileName, sizeof r.fileName, "%s", name);
    snprintf(r.secondName, sizeof r.secondName, "%s", second);
    return r;
}

std::string deflated(const std::string& raw) {
    uLongf size = compressBound(raw.size());
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size,
             reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    out.resize(size);
    return out;
}

}  // namespace

TEST(TransferRecords, RegisteringCountsReferencesPerIdentifierAndName) {
    struct Step {
        uint32_t id;
        const char* name;
        const char* second;
        int records;    // in the list afterwards
        int refsFirst;  // reference count of the first record afterwards
    } steps[] = {
        {1, "qzq.6", "", 1, 1},       {1, "qzq.6", "", 1, 2},  // same name, same identifier
        {1, "QZQ.6", "", 1, 3},                                // differs only in letter case
        {2, "qzq.6", "", 2, 3},        // another identifier: a record of its own
        {1, "other", "qzq.6x", 3, 3},  // a second name that nothing has
    };
    flexar list = flexarMake(sizeof(stQzFileServer), 2);
    for (const Step& s : steps) {
        stQzFileServer r = record(s.id, s.name, s.second);
        ASSERT_NE(fsRegister(&list, &r), nullptr);
        EXPECT_EQ(list.count, s.records) << s.name << " " << s.id;
        EXPECT_EQ(static_cast<stQzFileServer*>(flexarAt(&list, 0))->refCount,
                  static_cast<uint32_t>(s.refsFirst));
    }
    // A second name is compared exactly and wins over the file name.
    stQzFileServer r = record(1, "unrelated", "qzq.6x");
    fsRegister(&list, &r);
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(static_cast<stQzFileServer*>(flexarAt(&list, 2))->refCount, 2u);
    stQzFileServer upper = record(1, "unrelated", "QZQ.6X");
    fsRegister(&list, &upper);
    EXPECT_EQ(list.count, 4);
    flexarFree(&list);
}

TEST(TransferInflate, InflatesToExactlyTheAnnouncedLength) {
    std::string raw(5000, 'q');
    std::string packed = deflated(raw);
    int zerr = -1;
    char* out = dlInflate(packed.data(), packed.size(), raw.size(), &zerr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out, raw.size()), raw);
    free(out);
    struct Case {
        unsigned long expect;
        int zerr;
    } cases[] = {
        {raw.size() - 1, 1},  // more data than announced: never written past the bound
        {raw.size() + 1, 1},  // less
        {0, 1},
        {64UL << 20, 1},  // far beyond what deflate can shrink this input from
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dlInflate(packed.data(), packed.size(), c.expect, &zerr), nullptr) << c.expect;
        EXPECT_EQ(zerr, c.zerr);
    }
    std::string broken = packed;
    broken[0] = 0;
    EXPECT_EQ(dlInflate(broken.data(), broken.size(), raw.size(), &zerr), nullptr);
    EXPECT_EQ(zerr, Z_DATA_ERROR);
}

TEST(TransferWrite, NamesLeavingTheHomeDirectoryAreRefused) {
    for (const char* name : {"../escape", "/etc/passwd", "dll/../../x", ""}) {
        EXPECT_STREQ(dlWriteFile(name, "x", 1), "File Open/Creation Error") << name;
    }
}

// A folder or part file of the home directory that is a link to elsewhere (an upload folder
// made a link by someone with access to the machine) never receives the file.
TEST(TransferWrite, LinksOutOfTheHomeDirectoryAreRefused) {
    std::string base = std::string(::testing::TempDir()) + "qzlinks-" + std::to_string(getpid());
    std::string home = base + "/home/", outside = base + "/outside";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(outside);
    std::filesystem::create_directory_symlink(outside, home + "svul");
    std::filesystem::create_symlink(outside + "/victim", home + "data.bin.part");
    std::string oldHome = homeDir();
    ASSERT_TRUE(setHomeDir(home.c_str()));
    EXPECT_STREQ(dlWriteFile("svul/000001-up.txt", "x", 1), "File Open/Creation Error");
    EXPECT_STREQ(dlWriteFile("data.bin", "x", 1), "File Open/Creation Error");
    EXPECT_FALSE(std::filesystem::exists(outside + "/000001-up.txt"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/000001-up.txt.part"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/victim"));
    // A plain name still works.
    EXPECT_EQ(dlWriteFile("plain.bin", "x", 1), nullptr);
    setHomeDir(oldHome.c_str());
    std::filesystem::remove_all(base);
}
