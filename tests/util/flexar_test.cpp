// Tests for the growable record array and the process-record merge.
#include "util/flexar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

struct Pair {
    int a;
    int b;
};

class FlexarTest : public ::testing::Test {
  protected:
    void TearDown() override { flexarFree(&array_); }
    flexar array_ = flexarMake(sizeof(Pair), 4);
};

TEST_F(FlexarTest, GrowsToTheMinimumCapacityThenDoubles) {
    struct Step {
        int appended;
        int capacity;
    };
    const Step steps[] = {{1, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 16}, {17, 32}};
    int n = 0;
    for (const Step& s : steps) {
        while (n < s.appended) {
            Pair p{n, -n};
            ASSERT_TRUE(flexarAppend(&array_, &p));
            ++n;
        }
        EXPECT_EQ(array_.count, s.appended);
        EXPECT_EQ(array_.capacity, s.capacity) << "after " << s.appended;
    }
}

TEST_F(FlexarTest, KeepsEveryRecordByValueAcrossGrowth) {
    for (int i = 0; i < 40; ++i) {
        Pair p{i, i * i};
        ASSERT_TRUE(flexarAppend(&array_, &p));
        p.a = -1;  // the array holds its own copy
    }
    for (int i = 0; i < 40; ++i) {
        const Pair* p = static_cast<const Pair*>(flexarAt(&array_, i));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->a, i);
        EXPECT_EQ(p->b, i * i);
    }
}

TEST_F(FlexarTest, IndexOutsideTheRecordsYieldsNothing) {
    EXPECT_EQ(flexarAt(&array_, 0), nullptr);
    Pair p{1, 2};
    ASSERT_TRUE(flexarAppend(&array_, &p));
    EXPECT_NE(flexarAt(&array_, 0), nullptr);
    EXPECT_EQ(flexarAt(&array_, -1), nullptr);
    EXPECT_EQ(flexarAt(&array_, 1), nullptr);  // within capacity but not a record
    EXPECT_EQ(flexarAt(nullptr, 0), nullptr);
    EXPECT_FALSE(flexarAppend(&array_, nullptr));
    EXPECT_EQ(array_.count, 1);
}

class FlexarProcTest : public ::testing::Test {
  protected:
    void TearDown() override { flexarFree(&procs_); }

    static stProcess make(unsigned id, const char* name) {
        stProcess p;
        memset(&p, 0, sizeof p);
        p.id = id;
        snprintf(p.name, sizeof p.name, "%s", name);
        return p;
    }
    const stProcess* at(int i) { return static_cast<const stProcess*>(flexarAt(&procs_, i)); }

    flexar procs_ = flexarMake(sizeof(stProcess), 2);
};

TEST_F(FlexarProcTest, NewIdentifiersAreAppendedInOrder) {
    stProcess a = make(10, "alpha");
    stProcess b = make(20, "beta");
    EXPECT_EQ(procMerge(&procs_, &a), 1);
    EXPECT_EQ(procMerge(&procs_, &b), 1);
    ASSERT_EQ(procs_.count, 2);
    EXPECT_STREQ(at(0)->name, "alpha");
    EXPECT_STREQ(at(1)->name, "beta");
}

TEST_F(FlexarProcTest, KnownIdentifierMergesNameAndSetFlagBytes) {
    stProcess first = make(7, "first");
    first.flags[0] = 'a';
    first.flags[1] = 'b';
    first.flags[62] = 'z';
    ASSERT_EQ(procMerge(&procs_, &first), 1);

    stProcess update = make(7, "second");
    update.flags[1] = 'B';
    update.flags[5] = 'f';
    EXPECT_EQ(procMerge(&procs_, &update), 0);
    ASSERT_EQ(procs_.count, 1);
    EXPECT_STREQ(at(0)->name, "second");
    EXPECT_EQ(at(0)->flags[0], 'a');  // zero bytes leave the stored flag
    EXPECT_EQ(at(0)->flags[1], 'B');
    EXPECT_EQ(at(0)->flags[5], 'f');
    EXPECT_EQ(at(0)->flags[62], 'z');
}

TEST_F(FlexarProcTest, EmptyIncomingNameKeepsTheStoredName) {
    stProcess first = make(3, "kept");
    ASSERT_EQ(procMerge(&procs_, &first), 1);
    stProcess update = make(3, "");
    update.flags[2] = 'x';
    EXPECT_EQ(procMerge(&procs_, &update), 0);
    EXPECT_STREQ(at(0)->name, "kept");
    EXPECT_EQ(at(0)->flags[2], 'x');
}

TEST_F(FlexarProcTest, NullRecordOrForeignArrayIsRefused) {
    EXPECT_EQ(procMerge(&procs_, nullptr), -1);
    flexar other = flexarMake(8, 2);
    stProcess p = make(1, "x");
    EXPECT_EQ(procMerge(&other, &p), -1);
    EXPECT_EQ(other.count, 0);
    flexarFree(&other);
}

}  // namespace
