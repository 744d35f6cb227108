// Large zeroed blocks of memory whose pages are made ready ahead of use, a step at a time, and
// handed back to the system a slice at a time.
//
// The keyed tables and the ban list fill a record at a time inside game frames. On machines whose
// memory reaches a process lazily (virtual machines especially) the first write to a fresh page
// costs 5 to 30 microseconds, and a table of 66-byte records meets a fresh page every 62 stores;
// a bucket array that is written at random meets one on nearly every store. Two things make a
// page ready: the kernel faulting it in (a batch of pages in one system call, a fraction of a
// microsecond a page) and the program's first access to it (3 to 4 microseconds a page on such
// machines even after the kernel faulted it in, as the hypervisor maps it then). A warm step does
// one or the other, a few microseconds; doing steps ahead of use, a few stores apart, keeps every
// store short. Handing a large block back in slices does the same for unmapping it.
#pragma once

#include <cstddef>

// Bytes faulted in by one warm step: 2 pages, some 3 microseconds (a system call of about 2 and
// a quarter of a microsecond a page); larger batches put more of the steps above 5.
constexpr size_t QZ_PAGE_BATCH = 8 * 1024;

// A zeroed block of bytes (mapped from the system when large, so its pages arrive untouched), or
// null. Free it with pagesFree or pagesDropLater, giving the same size.
void* pagesAlloc(size_t bytes);
void pagesFree(void* block, size_t bytes);
// Makes every page in [from, to) of block ready in one call: faults them in, then reads and
// writes back one byte of each, so that later writes there find their pages present. For a
// block about to be filled inside one long call.
void pagesTouch(void* block, size_t from, size_t to);

// How far the pages of a block are ready, from its start: bytes [0, faulted) faulted in by the
// kernel, bytes [0, touched) accessed by the program as well.
struct stPageWarm {
    size_t faulted;
    size_t touched;
};
// One warm step over a block of size bytes: the first access to the next faulted page, else
// faulting in the next QZ_PAGE_BATCH bytes. False (nothing done) when the whole block is ready.
bool pagesWarmStep(void* block, size_t size, stPageWarm* warm);

// Blocks waiting to be handed back: room for the arrays of two growths of a keyed index.
constexpr int QZ_PAGE_DROP_BLOCKS = 6;
struct stPageDrop {
    char* at[QZ_PAGE_DROP_BLOCKS];
    size_t len[QZ_PAGE_DROP_BLOCKS];
};
// Queues a block from pagesAlloc to be handed back by later steps (a small one is freed at once).
void pagesDropLater(stPageDrop* drop, void* block, size_t bytes);
// Bytes handed back by one drop step: unmapping costs 0.2 to 1.5 microseconds a kilobyte of
// touched pages on the virtual machines measured.
constexpr size_t QZ_PAGE_DROP_SLICE = 128 * 1024;
// Hands back at most QZ_PAGE_DROP_SLICE bytes of the queued blocks.
void pagesDropStep(stPageDrop* drop);
// Hands back everything queued.
void pagesDropAll(stPageDrop* drop);
