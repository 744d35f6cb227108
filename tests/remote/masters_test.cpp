// The generated server file: exact bytes written, the lines read back, the default list and the
// digest lookup.
#include "remote/masters.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "util/files.h"

namespace {

const std::string kBanner = "\r\nTHIS IS A GENERATED FILE - ** DO NOT EDIT **\r\n\r\n";
const char* kD1 = "0123456789abcdef0123456789ABCDEF";
const char* kD2 = "FEDCBA9876543210fedcba9876543210";

std::string format(int count, const stQzMaster* m) {
    std::string buf(1 << 20, '\0');
    long n = masterFormat(buf.data(), static_cast<long>(buf.size()), count, m);
    EXPECT_GE(n, 0);
    buf.resize(static_cast<size_t>(n < 0 ? 0 : n));
    return buf;
}

stQzMaster master(int number, const char* host) {
    stQzMaster m;
    memset(&m, 0, sizeof m);
    m.number = number;
    m.port = 27960;
    snprintf(m.host, sizeof m.host, "%s", host);
    return m;
}

void addFile(stQzMaster* m, char kind, char os, int list, int number, uint32_t value,
             const char* d1 = kD1, const char* d2 = kD2) {
    (void)kind;
    (void)os;
    arQzFileInfo& l = m->files[list];
    stQzFileInfo& e = l.e[l.count++];
    e.number = number;
    e.value = value;
    snprintf(e.digest1, sizeof e.digest1, "%s", d1);
    snprintf(e.digest2, sizeof e.digest2, "%s", d2);
}

std::string tempPath(const char* name) {
    return std::string(::testing::TempDir()) + "qzmasters-" + std::to_string(getpid()) + name;
}

}  // namespace

TEST(MasterFile, OneMasterWithoutEntriesIsTheBannerAndOneSLine) {
    stQzMaster m = master(2, "h");
    EXPECT_EQ(format(1, &m), kBanner + "<p> S 2 h 27960 0\r\n");
}

TEST(MasterFile, NoMastersIsTheBannerOnly) { EXPECT_EQ(format(0, nullptr), kBanner); }

TEST(MasterFile, ServerLEntryIsWrittenAsTheExampleLine) {
    stQzMaster m = master(2, "h");
    addFile(&m, 'S', 'L', QZ_FL_SERVER + 1, 4, 0x1A2B);
    EXPECT_EQ(format(1, &m),
              kBanner + "<p> S 2 h 27960 0\r\n<p> F S L 4 1A2B " + kD1 + " " + kD2 + "\r\n");
}

TEST(MasterFile, MalformedDigestsAreSkippedAndTheirNeighboursKept) {
    struct Case {
        const char* d1;
        const char* d2;
        bool written;
    } cases[] = {
        {"0123456789abcdef0123456789ABCDE", kD2, false},   // 31 characters
        {"0123456789abcdef0123456789ABCDEg", kD2, false},  // a g
        {kD1, "FEDCBA9876543210fedcba987654321", false},
        {kD1, "FEDCBA9876543210 edcba9876543210", false},  // a blank
        {"00000000000000000000000000000000", "ffffffffffffffffffffffffffffffff", true},
    };
    for (const Case& c : cases) {
        stQzMaster m = master(2, "h");
        addFile(&m, 'C', 'W', QZ_FL_CLIENT, 1, 1);
        addFile(&m, 'C', 'W', QZ_FL_CLIENT, 2, 2, c.d1, c.d2);
        addFile(&m, 'C', 'W', QZ_FL_CLIENT, 3, 3);
        std::string text = format(1, &m);
        EXPECT_NE(text.find("<p> F C W 1 1 "), std::string::npos);
        EXPECT_NE(text.find("<p> F C W 3 3 "), std::string::npos);
        EXPECT_EQ(text.find("<p> F C W 2 2 ") != std::string::npos, c.written) << c.d1;
    }
}

TEST(MasterFile, ClientList4AndServerAndAgentList3AreNeverWritten) {
    stQzMaster m = master(2, "h");
    addFile(&m, 'C', '?', QZ_FL_CLIENT + 3, 7, 7);
    addFile(&m, 'S', '?', QZ_FL_SERVER + 2, 8, 8);
    addFile(&m, 'A', '?', QZ_FL_AGENT + 2, 9, 9);
    EXPECT_EQ(format(1, &m), kBanner + "<p> S 2 h 27960 0\r\n");
}

TEST(MasterFile, ListsAreWrittenInTheFixedOrderAndMTextComesBeforeItsValue) {
    stQzMaster m = master(3, "m.invalid");
    m.lastS = 5;
    m.mCount = 1;
    m.m[0].value = 42;
    snprintf(m.m[0].text, sizeof m.m[0].text, "news text");
    addFile(&m, 'S', 'M', QZ_FL_SERVER + 3, 1, 0xA);
    addFile(&m, 'C', 'M', QZ_FL_CLIENT + 2, 2, 0xB);
    addFile(&m, 'A', 'W', QZ_FL_AGENT + 0, 3, 0xC);
    std::string d = std::string(" ") + kD1 + " " + kD2 + "\r\n";
    EXPECT_EQ(format(1, &m), kBanner + "<p> S 3 m.invalid 27960 5\r\n<p> M news text 42\r\n" +
                                 "<p> F A W 3 C" + d + "<p> F C M 2 B" + d + "<p> F S M 1 A" + d);
}

TEST(MasterFile, WhatIsWrittenReadsBackTheSame) {
    static stQzMaster in[QZ_MASTER_MAX], out[QZ_MASTER_MAX];
    memset(in, 0, sizeof in);
    for (int i = 0; i < QZ_MASTER_MAX; ++i) {
        in[i] = master(i + 1, ("m" + std::to_string(i) + ".invalid").c_str());
        in[i].mCount = 3;
        for (int k = 0; k < 3; ++k) {
            in[i].m[k].value = static_cast<uint32_t>(k * 1000 + i);
            snprintf(in[i].m[k].text, sizeof in[i].m[k].text, "text %d %d", i, k);
        }
        for (int list : {0, 1, 2, 4, 5, 7, 8, 9, 11}) {
            for (int k = 0; k < QZ_FILEINFO_MAX; ++k)
                addFile(&in[i], 0, 0, list, k, 0xFFFFFFFFu - k);
        }
    }
    // The file is written and read through the home directory's checked open.
    std::string oldHome = homeDir();
    ASSERT_TRUE(setHomeDir(::testing::TempDir().c_str()));
    std::string path = tempPath("roundtrip");
    ASSERT_EQ(masterWrite(path.c_str(), QZ_MASTER_MAX, in), 0);
    int count = 0;
    ASSERT_EQ(masterRead(path.c_str(), &count, out, QZ_MASTER_MAX), nullptr);
    ASSERT_EQ(count, QZ_MASTER_MAX);
    EXPECT_EQ(format(count, out), format(QZ_MASTER_MAX, in));
    remove(path.c_str());
    setHomeDir(oldHome.c_str());
}

TEST(MasterFile, IsNeverWrittenThroughALinkOutOfTheHomeDirectory) {
    std::string oldHome = homeDir();
    std::string home = tempPath("home/");
    std::string outside = tempPath("outside");
    mkdir(home.c_str(), 0755);
    std::ofstream(outside) << "precious\n";
    ASSERT_EQ(symlink(outside.c_str(), (home + "qzns.dat.tmp").c_str()), 0);
    ASSERT_TRUE(setHomeDir(home.c_str()));
    stQzMaster m = master(2, "h");
    EXPECT_EQ(masterWrite((home + "qzns.dat").c_str(), 1, &m), -1);
    std::ifstream in(outside);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "precious");
    setHomeDir(oldHome.c_str());
    remove((home + "qzns.dat.tmp").c_str());
    remove((home + "qzns.dat").c_str());
    rmdir(home.c_str());
    remove(outside.c_str());
}

TEST(MasterFile, ReadingRefusesWhatTheWriterNeverProduces) {
    const char* cases[] = {
        "<p> F S L 1 1 "
        "0123456789abcdef0123456789ABCDEF FEDCBA9876543210fedcba9876543210\r\n",  // F before S
        "<p> S 2 h 27960\r\n",                                                    // a field missing
        "<p> S 2 h 70000 0\r\n",                                                  // bad port
        "<p> S x h 27960 0\r\n",                                                  // bad number
        "<p> S 2 h 27960 0\r\n<p> F S X 1 1 "
        "0123456789abcdef0123456789ABCDEF FEDCBA9876543210fedcba9876543210\r\n",
        "<p> S 2 h 27960 0\r\n<p> F S L 1 1 short FEDCBA9876543210fedcba9876543210\r\n",
        "<p> S 2 h 27960 0\r\n<p> M text\r\n",
        "hello\r\n",
    };
    static stQzMaster out[4];
    for (const char* c : cases) {
        int count = 9;
        EXPECT_STREQ(masterParse(c, static_cast<long>(strlen(c)), &count, out, 4),
                     "ERROR: Corrupted Data Buffer")
            << c;
        EXPECT_EQ(count, 0);
    }
}

TEST(MasterFile, MissingFileIsReported) {
    static stQzMaster out[1];
    int count = 0;
    EXPECT_STREQ(masterRead("/nonexistent/qzns.dat", &count, out, 1), "File Not Found");
}

TEST(MasterFile, DefaultListIsFourMastersOfOurOwnOnPort27960) {
    std::string text = std::string(kQzDefaultMasters1) + kQzDefaultMasters2;
    EXPECT_EQ(text.rfind("<p> S 2 ", 0), 0u);
    EXPECT_EQ(std::string(kQzDefaultMasters1).find("\r\n"), std::string::npos);
    EXPECT_EQ(std::string(kQzDefaultMasters2).rfind("\r\n", 0), 0u);
    static stQzMaster out[QZ_MASTER_MAX];
    int count = 0;
    masterDefaults(&count, out, QZ_MASTER_MAX);
    ASSERT_EQ(count, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i].number, i + 2);
        EXPECT_EQ(out[i].port, 27960);
        EXPECT_EQ(out[i].lastS, 0);
        EXPECT_NE(std::string(out[i].host).find(".invalid"), std::string::npos);
    }
}

TEST(MasterFile, DigestLookupSearchesAllEightEntriesWhateverTheCount) {
    arQzFileInfo l;
    memset(&l, 0, sizeof l);
    for (int k = 0; k < QZ_FILEINFO_MAX; ++k) {
        l.e[k].number = 10 + k;
        snprintf(l.e[k].digest1, sizeof l.e[k].digest1, "D%d", k);
    }
    l.count = 2;
    EXPECT_STREQ(masterDigest(&l, 10), "D0");
    EXPECT_STREQ(masterDigest(&l, 17), "D7");
    EXPECT_EQ(masterDigest(&l, 99), nullptr);
    l.e[5].number = 10;
    EXPECT_STREQ(masterDigest(&l, 10), "D0");  // the first match wins
}
