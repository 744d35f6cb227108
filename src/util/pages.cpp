// Large blocks come straight from mmap (whose pages are zero and untouched until written) and go
// back through munmap, which may be done a slice at a time from the end of the block. Small ones
// come from calloc: the heap's pages are usually present already.
#include "util/pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kPage = 4096;
// Blocks from this size up are mapped.
constexpr size_t kMapFrom = 256 * 1024;
// Bytes handed back by one drop step: unmapping costs about 60 microseconds a megabyte of
// touched pages on the slowest machines measured.
constexpr size_t kDropSlice = 256 * 1024;

bool mapped(size_t bytes) { return bytes >= kMapFrom; }

size_t roundToPages(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

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
    volatile char* bytes = static_cast<volatile char*>(block);
    for (size_t at = from; at < to; at = (at & ~(kPage - 1)) + kPage) bytes[at] = bytes[at];
}

void pagesDropLater(stPageDrop* drop, void* block, size_t bytes) {
    if (!drop || !block) return;
    if (!mapped(bytes)) {
        free(block);
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (!drop->at[i]) {
            drop->at[i] = static_cast<char*>(block);
            drop->len[i] = roundToPages(bytes);
            return;
        }
    }
    // Four blocks already queued (growths far closer together than they ever come): this one
    // goes back at once.
    munmap(block, roundToPages(bytes));
}

void pagesDropStep(stPageDrop* drop) {
    if (!drop) return;
    for (int i = 0; i < 4; ++i) {
        if (!drop->at[i]) continue;
        size_t slice = drop->len[i] > kDropSlice ? kDropSlice : drop->len[i];
        drop->len[i] -= slice;
        munmap(drop->at[i] + drop->len[i], slice);
        if (drop->len[i] == 0) drop->at[i] = nullptr;
        return;
    }
}

void pagesDropAll(stPageDrop* drop) {
    if (!drop) return;
    for (int i = 0; i < 4; ++i) {
        if (drop->at[i]) munmap(drop->at[i], drop->len[i]);
        drop->at[i] = nullptr;
        drop->len[i] = 0;
    }
}
