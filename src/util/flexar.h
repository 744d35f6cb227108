// flexar: a growable array of fixed-size records, and the process-record merge built on it.
#pragma once

struct flexar {
    char* data;
    int count;
    int elemSize;
    int capacity;
    int minCapacity;
};

// An empty array of elemSize-byte records that first grows to minCapacity records.
flexar flexarMake(int elemSize, int minCapacity);
// Element i, or null when i is outside 0..count-1.
void* flexarAt(flexar* array, int i);
// Copies record in at the end; false (array unchanged) when it cannot grow.
bool flexarAppend(flexar* array, const void* record);
void flexarFree(flexar* array);

struct stProcess {
    char name[256];
    char flags[63];
    unsigned id;
};

// Merges record into the array by id: 0 merged, 1 appended, -1 null record or no room.
int procMerge(flexar* array, const stProcess* record);
