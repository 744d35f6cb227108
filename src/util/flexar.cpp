// flexar, the growable array of fixed-size records, and procMerge, which keeps one stProcess
// record per identifier in such an array.
#include "util/flexar.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

flexar flexarMake(int elemSize, int minCapacity) {
    flexar array;
    array.data = nullptr;
    array.count = 0;
    array.elemSize = elemSize > 0 ? elemSize : 1;
    array.capacity = 0;
    array.minCapacity = minCapacity > 0 ? minCapacity : 1;
    return array;
}

void* flexarAt(flexar* array, int i) {
    if (!array || i < 0 || i >= array->count) return nullptr;
    return array->data + static_cast<size_t>(i) * static_cast<size_t>(array->elemSize);
}

// Grows to the minimum capacity first, then by doubling. The new block is filled before the old
// one is freed, so a failed allocation leaves the array exactly as it was.
bool flexarAppend(flexar* array, const void* record) {
    if (!array || !record || array->elemSize < 1) return false;
    size_t elem = static_cast<size_t>(array->elemSize);
    if (array->count >= array->capacity) {
        int64_t want = array->capacity < array->minCapacity ? array->minCapacity
                                                            : int64_t{array->capacity} * 2;
        if (want <= array->count || want > INT32_MAX) return false;
        if (static_cast<uint64_t>(want) > SIZE_MAX / elem) return false;
        char* grown = static_cast<char*>(malloc(static_cast<size_t>(want) * elem));
        if (!grown) return false;
        if (array->count > 0) memcpy(grown, array->data, static_cast<size_t>(array->count) * elem);
        free(array->data);
        array->data = grown;
        array->capacity = static_cast<int>(want);
    }
    memcpy(array->data + static_cast<size_t>(array->count) * elem, record, elem);
    array->count++;
    return true;
}

void flexarFree(flexar* array) {
    if (!array) return;
    free(array->data);
    array->data = nullptr;
    array->count = 0;
    array->capacity = 0;
}

// A record seen again updates the stored one rather than adding a second: a non-empty name
// replaces the stored name, and the flags only ever gain the bytes that are set in the newcomer.
int procMerge(flexar* array, const stProcess* record) {
    if (!array || !record || array->elemSize != static_cast<int>(sizeof(stProcess))) return -1;
    for (int i = 0; i < array->count; ++i) {
        stProcess* stored = static_cast<stProcess*>(flexarAt(array, i));
        if (stored->id != record->id) continue;
        if (record->name[0]) {
            size_t n = strnlen(record->name, sizeof record->name - 1);
            memcpy(stored->name, record->name, n);
            stored->name[n] = '\0';
        }
        for (size_t f = 0; f < sizeof record->flags; ++f) {
            if (record->flags[f]) stored->flags[f] = record->flags[f];
        }
        return 0;
    }
    return flexarAppend(array, record) ? 1 : -1;
}
