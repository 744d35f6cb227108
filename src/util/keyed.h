// Keyed record tables: up to eight tables of fixed-size records that share one open-addressing
// hash index. A record whose key bytes are all zero is a free slot. The module keeps one store
// with the tables "NameLocks", "Alias", "PersStat", "NewStat" and "GuidAuth".
#pragma once

#include <cstddef>

constexpr int QZ_KEY_TABLES = 8;
// The index's first bucket array is never smaller than this; below it nothing is indexed and
// lookups scan the tables instead.
constexpr unsigned QZ_KEY_MIN_BUCKETS = 101;
// Layout of a pair table such as "GuidAuth": 33-byte key, then a 33-byte value.
constexpr int QZ_PAIR_RECORD = 66;
constexpr int QZ_PAIR_KEY = 33;

struct stKeyTable {
    char name[16];
    int recSize;
    int keyOff;
    int keyLen;
    int initCap;
    int count;     // record slots in use, freed ones included
    int capacity;  // record slots allocated
    int live;      // records whose key is not all zero
    char* recs;
};

struct stKeyIndex {
    unsigned buckets;
    unsigned used;
    unsigned desired;
    unsigned collisions;   // inserts whose first bucket was taken
    unsigned multiProbes;  // inserts that needed more than one probe
    unsigned longestRun;
    unsigned* bucket;  // 0 empty, else (table + 1) + record * 256
    // One byte per bucket: a fingerprint of the key filed there. The hash clusters keys made of
    // similar characters (GUIDs), so probe runs get long; the fingerprint lets a lookup pass
    // most foreign buckets without reading their records.
    unsigned char* tag;
};

// Bucket left behind by a released record: not empty (probe runs continue past it) but naming
// no table, so it never matches.
constexpr unsigned QZ_KEY_RELEASED = 0xFFFFFF00u;

struct stKeyStore {
    stKeyTable tables[QZ_KEY_TABLES];
    int ntables;
    stKeyIndex index;
    unsigned inserted;  // records stored in any table
};

// Prepares an empty store whose index starts with desiredBuckets buckets (at least 101, or
// nothing is indexed).
void keyStoreInit(stKeyStore* store, unsigned desiredBuckets);
// Frees every table and the index; the store is empty afterwards.
void keyStoreFree(stKeyStore* store);
// Adds a table and returns its number, or -1 when the store is full or the layout is invalid.
int keyTableCreate(stKeyStore* store, const char* name, int recSize, int keyOff, int keyLen,
                   int initCap);
// Number of the table with this name, or -1.
int keyTableFind(const stKeyStore* store, const char* name);
// Bytes held by the record blocks, the bucket array and its fingerprints.
size_t keyStoreBytes(const stKeyStore* store);

// Bucket hash of a key for table t (before the modulo).
unsigned keyHash(int t, const void* key, int keyLen);

// Iterates every record of table t whose key equals key: start with *cursor = 0 and call until
// it returns null. Records are found in probe order (record order when nothing is indexed).
// Storing or releasing records invalidates returned pointers and the cursor.
void* keyFindNext(stKeyStore* store, int t, const void* key, unsigned* cursor);
// The first record with this key, or null.
void* keyFind(stKeyStore* store, int t, const void* key);
// Stores a copy of record (reusing the first free slot when there is one) and indexes it.
// Returns the stored record, or null (store unchanged) when the table or the index cannot grow
// or the record's key is all zero.
void* keyStoreRecord(stKeyStore* store, int t, const void* record);
// Record number i of table t, or null.
void* keyRecord(stKeyStore* store, int t, int i);
// Frees record i of table t (zeroes it) and retires its bucket; its slot is reused by a later
// store. Records must be freed through here, not by zeroing them in place.
void keyRelease(stKeyStore* store, int t, int i);

// Adds the pair (key, value) to table t (66-byte records: key in bytes 0..32, value in 33..65)
// unless the same pair is there. Returns 0 when present or when the table cannot grow, else
// non-zero.
int pairAdd(stKeyStore* store, int t, const char* value, const char* key);
