// Large zeroed blocks of memory whose pages are touched ahead of use, a batch at a time, and
// handed back to the system a slice at a time.
//
// The keyed tables and the ban list fill a record at a time inside game frames. On machines whose
// memory reaches a process lazily (virtual machines especially) the first write to a fresh page
// costs 5 to 30 microseconds, and a table of 66-byte records meets a fresh page every 62 stores;
// a bucket array that is written at random meets one on nearly every store. Touching the pages
// of what comes next in batches puts that cost into a few calls, each bounded; handing a large
// block back in slices does the same for unmapping it.
#pragma once

#include <cstddef>

// Pages touched by one batch: 32 pages, about 0.2 to 0.4 ms on the slowest machines measured.
constexpr size_t QZ_PAGE_BATCH = 128 * 1024;

// A zeroed block of bytes (mapped from the system when large, so its pages arrive untouched), or
// null. Free it with pagesFree or pagesDropLater, giving the same size.
void* pagesAlloc(size_t bytes);
void pagesFree(void* block, size_t bytes);
// Writes one byte of every page in [from, to) of block, keeping the bytes as they are, so that
// later writes there find their pages present.
void pagesTouch(void* block, size_t from, size_t to);

// Blocks waiting to be handed back.
struct stPageDrop {
    char* at[4];
    size_t len[4];
};
// Queues a block from pagesAlloc to be handed back by later steps (a small one is freed at once).
void pagesDropLater(stPageDrop* drop, void* block, size_t bytes);
// Hands back at most 256 KiB of the queued blocks.
void pagesDropStep(stPageDrop* drop);
// Hands back everything queued.
void pagesDropAll(stPageDrop* drop);
