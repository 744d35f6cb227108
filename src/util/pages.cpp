// Blocks of four pages and more come straight from mmap (whose pages are zero and untouched until
// used) and go back through munmap, which may be done a slice at a time from the end of the
// block. Smaller ones come from calloc. calloc of a larger block would zero it, meeting every
// fresh page of it in one call.
#include "util/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older headers lack the name
#endif

namespace {

constexpr size_t kPage = 4096;
// Blocks from this size up are mapped.
constexpr size_t kMapFrom = 16 * 1024;

bool mapped(size_t bytes) { return bytes >= kMapFrom; }

size_t roundToPages(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

// One call faults every page of the range in: on a virtual machine a fraction of the cost of
// meeting the pages one write at a time. Kernels before 5.14 refuse the advice; the program's
// first access then faults each page in itself.
void faultIn(void* block, size_t from, size_t to) {
    uintptr_t start = (reinterpret_cast<uintptr_t>(block) + from) & ~uintptr_t{kPage - 1};
    uintptr_t end = reinterpret_cast<uintptr_t>(block) + to;
    madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
}

// Offset in block of the start of the page after the one holding byte at.
size_t nextPage(const void* block, size_t at) {
    uintptr_t base = reinterpret_cast<uintptr_t>(block);
    return ((base + at) & ~uintptr_t{kPage - 1}) + kPage - base;
}

void accessPage(void* block, size_t at) {
    volatile char* bytes = static_cast<volatile char*>(block);
    bytes[at] = bytes[at];
}

}  // namespace

void* pagesAlloc(size_t bytes) {
    if (bytes == 0) return nullptr;
    if (!mapped(bytes)) return calloc(1, bytes);
    if (bytes > SIZE_MAX - kPage) return nullptr;
    void* block = mmap(nullptr, roundToPages(bytes), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void pagesFree(void* block, size_t bytes) {
    if (!block) return;
    if (mapped(bytes)) {
        munmap(block, roundToPages(bytes));
    } else {
        free(block);
    }
}

void pagesTouch(void* block, size_t from, size_t to) {
    if (!block || from >= to) return;
    faultIn(block, from, to);
    for (size_t at = from; at < to; at = nextPage(block, at)) accessPage(block, at);
}

bool pagesWarmStep(void* block, size_t size, stPageWarm* warm) {
    if (!block || !warm || warm->touched >= size) return false;
    if (warm->touched < warm->faulted) {
        accessPage(block, warm->touched);
        size_t next = nextPage(block, warm->touched);
        warm->touched = next < size ? next : size;
    } else {
        size_t to = size - warm->faulted > QZ_PAGE_BATCH ? warm->faulted + QZ_PAGE_BATCH : size;
        faultIn(block, warm->faulted, to);
        warm->faulted = to;
    }
    return true;
}

void pagesDropLater(stPageDrop* drop, void* block, size_t bytes) {
    if (!drop || !block) return;
    if (!mapped(bytes)) {
        free(block);
        return;
    }
    for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) {
        if (!drop->at[i]) {
            drop->at[i] = static_cast<char*>(block);
            drop->len[i] = roundToPages(bytes);
            return;
        }
    }
    // The queue is full (growths far closer together than they ever come): this block goes back
    // at once.
    munmap(block, roundToPages(bytes));
}

void pagesDropStep(stPageDrop* drop) {
    if (!drop) return;
    for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) {
        if (!drop->at[i]) continue;
        size_t slice = drop->len[i] > QZ_PAGE_DROP_SLICE ? QZ_PAGE_DROP_SLICE : drop->len[i];
        drop->len[i] -= slice;
        munmap(drop->at[i] + drop->len[i], slice);
        if (drop->len[i] == 0) drop->at[i] = nullptr;
        return;
    }
}

void pagesDropAll(stPageDrop* drop) {
    if (!drop) return;
    for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) {
        if (drop->at[i]) munmap(drop->at[i], drop->len[i]);
        drop->at[i] = nullptr;
        drop->len[i] = 0;
    }
}
