// Request lines, file header and block packets, control lines.
#include "remote/packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(MasterPackets, RequestLineHasTheFieldsInOrder) {
    char out[256];
    int n = pktRequestFormat(out, sizeof out, "K1", "qzq.6", 'F', 4);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)),
              "key \"K1\" file \"qzq.6\" header \"\xFF\xFF\xFF\xFFQZ_F\" rate \"4\"");
    QzRequest r;
    ASSERT_TRUE(pktRequestParse(out, n, &r));
    EXPECT_STREQ(r.key, "K1");
    EXPECT_STREQ(r.file, "qzq.6");
    EXPECT_EQ(r.headerLength, 8);
    EXPECT_EQ(r.rate, 4);
}

TEST(MasterPackets, BrokenRequestLinesAreRefused) {
    const char* cases[] = {
        "",
        "key \"K\"",
        "key \"K\" file \"\" header \"h\" rate \"1\"",
        "key \"K\" file \"f\" header \"h\" rate \"x\"",
        "key \"K\" file \"f header \"h\" rate \"1\"",
        "file \"f\" key \"K\" header \"h\" rate \"1\"",
    };
    for (const char* c : cases) {
        QzRequest r;
        EXPECT_FALSE(pktRequestParse(c, static_cast<int>(strlen(c)), &r)) << c;
    }
}

TEST(MasterPackets, HeadersAreParsedWithTheirSizeLimits) {
    struct Case {
        const char* body;
        int result;
        int digits;
    } cases[] = {
        {" 7 4B0 1000 qzns.dat", QZ_HDR_OK, 3},
        {" 7 0 0 qzns.dat", QZ_HDR_EMPTY, 1},
        {" 7 12345678 10 big", QZ_HDR_TOO_LARGE, 8},
        {" 7 3000001 10 big", QZ_HDR_TOO_LARGE, 7},  // over the compressed limit
        {" 7 10 4000001 big", QZ_HDR_TOO_LARGE, 7},  // over the inflated limit
        {" 7 10 123456789 big", QZ_HDR_TOO_LARGE, 9},
        {" 7 123456789ABCDEF01 10 big", QZ_HDR_SHORT, 0},  // not a size at all
        {" 7 4B0", QZ_HDR_SHORT, 3},
        {" 0 4B0 1000 zero", QZ_HDR_SHORT, 0},
        {" 7 4G0 1000 bad", QZ_HDR_SHORT, 0},
        {"", QZ_HDR_SHORT, 0},
    };
    for (const Case& c : cases) {
        QzFileHeader h;
        int digits = -1;
        EXPECT_EQ(pktHeaderParse(c.body, static_cast<int>(strlen(c.body)), &h, &digits), c.result)
            << c.body;
        if (c.result == QZ_HDR_TOO_LARGE) {
            EXPECT_EQ(digits, c.digits) << c.body;
            // The name is read even past a size too long to accept: it says which file it is.
            EXPECT_STREQ(h.name, "big") << c.body;
        }
    }
    QzFileHeader h;
    int digits = 0;
    ASSERT_EQ(pktHeaderParse(" 7 4B0 1000 qzns.dat", 20, &h, &digits), QZ_HDR_OK);
    EXPECT_EQ(h.id, 7u);
    EXPECT_EQ(h.size, 0x4B0u);
    EXPECT_EQ(h.rawSize, 0x1000u);
    EXPECT_STREQ(h.name, "qzns.dat");
}

TEST(MasterPackets, HeaderAndBlockBuildersRoundTrip) {
    QzFileHeader h{9, 2500, 9000, "file.dat"};
    char out[1400];
    int n = pktHeaderFormat(out, sizeof out, &h);
    ASSERT_GT(n, 12);
    EXPECT_EQ(pktType(out, n), QZ_PT_FILE);
    EXPECT_EQ(std::string(out + QZ_TAG_LEN, 4), "VRFH");
    QzFileHeader back;
    int digits = 0;
    ASSERT_EQ(pktHeaderParse(out + QZ_TAG_LEN + 4, n - QZ_TAG_LEN - 4, &back, &digits), QZ_HDR_OK);
    EXPECT_EQ(back.size, 2500u);
    EXPECT_EQ(back.rawSize, 9000u);

    n = pktBlockFormat(out, sizeof out, 0x01020304, 0x0A0B0C0D, "abc", 3);
    QzFileBlock b;
    ASSERT_TRUE(pktBlockParse(out + QZ_TAG_LEN + 4, n - QZ_TAG_LEN - 4, &b));
    EXPECT_EQ(b.id, 0x01020304u);
    EXPECT_EQ(b.block, 0x0A0B0C0Du);
    EXPECT_EQ(std::string(b.data, static_cast<size_t>(b.length)), "abc");
    EXPECT_FALSE(pktBlockParse(out, 7, &b));
}

TEST(MasterPackets, BlockCountsAndLengths) {
    EXPECT_EQ(pktBlockCount(1), 1u);
    EXPECT_EQ(pktBlockCount(QZ_BLOCK_SIZE), 1u);
    EXPECT_EQ(pktBlockCount(QZ_BLOCK_SIZE + 1), 2u);
    EXPECT_EQ(pktBlockLength(QZ_BLOCK_SIZE + 1, 0), QZ_BLOCK_SIZE);
    EXPECT_EQ(pktBlockLength(QZ_BLOCK_SIZE + 1, 1), 1);
    EXPECT_EQ(pktBlockLength(QZ_BLOCK_SIZE + 1, 2), 0);
    EXPECT_EQ(pktBlockLength(10, 0xFFFFFFFFu), 0);
}

TEST(MasterPackets, ControlLines) {
    struct Case {
        const char* text;
        int kind;
        uint32_t id, block;
    } cases[] = {
        {"ack 3 17", QZ_CTL_ACK, 3, 17},          {"reblock 3 0", QZ_CTL_REBLOCK, 3, 0},
        {"restart 12 5", QZ_CTL_RESTART, 12, 5},  {"ack 3", QZ_CTL_NONE, 0, 0},
        {"ack x 1", QZ_CTL_NONE, 0, 0},           {"nack 1 1", QZ_CTL_NONE, 0, 0},
        {"ack 1 99999999999", QZ_CTL_NONE, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t id = 0, block = 0;
        EXPECT_EQ(pktControlParse(c.text, static_cast<int>(strlen(c.text)), &id, &block), c.kind)
            << c.text;
        if (c.kind != QZ_CTL_NONE) {
            EXPECT_EQ(id, c.id);
            EXPECT_EQ(block, c.block);
        }
    }
}

TEST(MasterPackets, TagsAreCheckedBeforeTheType) {
    EXPECT_EQ(pktType("\xFF\xFF\xFF\xFFQZ_D", 8), 'D');
    EXPECT_EQ(pktType("\xFF\xFF\xFF\xFFQZ_", 7), 0);
    EXPECT_EQ(pktType("\xFF\xFF\xFF\xFEQZ_D", 8), 0);
}
