// Tests for the page helpers: zeroed blocks of every size, touching that keeps the bytes, and
// blocks handed back a slice at a time.
#include "util/pages.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Pages, BlocksOfEverySizeComeZeroedAndTouchingKeepsTheirBytes) {
    for (size_t bytes : {size_t{100}, size_t{4096}, size_t{300000}, size_t{3} << 20}) {
        auto* block = static_cast<unsigned char*>(pagesAlloc(bytes));
        ASSERT_NE(block, nullptr) << bytes;
        size_t nonzero = 0;
        for (size_t i = 0; i < bytes; i += 509) nonzero += block[i] != 0;
        EXPECT_EQ(nonzero, 0u) << bytes;
        for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<unsigned char>(i * 7);
        pagesTouch(block, 1, bytes);
        size_t changed = 0;
        for (size_t i = 0; i < bytes; ++i) changed += block[i] != static_cast<unsigned char>(i * 7);
        EXPECT_EQ(changed, 0u) << bytes;
        pagesFree(block, bytes);
    }
    EXPECT_EQ(pagesAlloc(0), nullptr);
}

TEST(Pages, AQueuedBlockGoesBackASliceAtATimeAndAllAtOnceWhenAsked) {
    stPageDrop drop = {};
    const size_t bytes = size_t{1} << 20;
    pagesDropLater(&drop, pagesAlloc(bytes), bytes);
    pagesDropLater(&drop, pagesAlloc(100), 100);  // a small block is freed at once
    EXPECT_EQ(drop.len[0], bytes);
    EXPECT_EQ(drop.at[1], nullptr);
    pagesDropStep(&drop);
    EXPECT_EQ(drop.len[0], bytes - QZ_PAGE_DROP_SLICE);
    for (size_t i = 1; i < bytes / QZ_PAGE_DROP_SLICE; ++i) pagesDropStep(&drop);
    EXPECT_EQ(drop.at[0], nullptr);
    EXPECT_EQ(drop.len[0], 0u);
    // One block more than the queue holds: the last goes back at once.
    for (int i = 0; i <= QZ_PAGE_DROP_BLOCKS; ++i) pagesDropLater(&drop, pagesAlloc(bytes), bytes);
    for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) EXPECT_EQ(drop.len[i], bytes) << i;
    pagesDropAll(&drop);
    for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) EXPECT_EQ(drop.at[i], nullptr) << i;
}

}  // namespace
