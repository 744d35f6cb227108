// Keyed record tables: up to eight tables of fixed-size records that share one open-addressing
// hash index. A record whose key bytes are all zero is a free slot. The module keeps one store
// with the tables "NameLocks", "Alias", "PersStat", "NewStat" and "GuidAuth".
//
// Keys come from players (GUIDs, names), so the module gives its store a secret hash key drawn
// at start-up (keyStoreRandomKey): the index then files keys by SipHash-2-4 under that key and
// nobody outside can make keys that collide. A store without a hash key files them by the fixed
// position-weighted hash keyHash (reproducible layouts, for tests and tools). The index grows
// a step at a time: a 90% full bucket array is replaced by one of twice the size plus one, and
// the records of the old array move over a few at a time on later stores and releases, so no
// single call pays for a whole rebuild. The next bucket array is made while the current one fills
// from 70% to 85%, and its pages, like those of the records ahead of the stores, are made ready a
// warm step at a time (util/pages.h), so that no store meets fresh pages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/pages.h"

constexpr int QZ_KEY_TABLES = 8;
constexpr int QZ_KEY_CHUNK_SHIFT = 14;
constexpr int QZ_KEY_CHUNK = 1 << QZ_KEY_CHUNK_SHIFT;  // records per block of a table
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
    int capacity;  // record slots taken so far (the initial capacity, doubled up to a block,
                   // then a block more at a time)
    int live;      // records whose key is not all zero
    // The records, in blocks of QZ_KEY_CHUNK records, each allocated whole (its pages untouched
    // until records fill them) and added one at a time, so that growing a table never copies it.
    char** chunks;
    int blocks;    // blocks allocated (the next one is allocated ahead of the stores)
    int freeFrom;  // no free slot lies below this record number
    // The records' pages are made ready ahead of the stores that fill them: the blocks before
    // warmBlock whole, block warmBlock as far as warm says.
    int warmBlock;
    stPageWarm warm;
};

struct stKeyIndex {
    unsigned buckets;
    unsigned used;
    unsigned desired;
    unsigned collisions;   // inserts whose first bucket was taken
    unsigned multiProbes;  // inserts that needed more than one probe
    unsigned longestRun;
    unsigned* bucket;  // 0 empty, else (table + 1) + record * 256
    // One byte per bucket: a fingerprint of the key filed there. Probe runs get long at 90%
    // load; the fingerprint lets a lookup pass most foreign buckets without reading their
    // records.
    unsigned char* tag;
    // For an array of more than 2,048 buckets (one that grows a step at a time): the hash each
    // bucket's key was filed by, so that the growth moves records without reading them or
    // hashing their keys again. Null for a smaller array.
    unsigned* hash;
    // While the index grows: the previous bucket array, whose records move to the current one
    // a few at a time. Lookups search the current array first, then this one. Null otherwise.
    unsigned retired;  // buckets of the current array retired by releases
    unsigned* oldBucket;
    unsigned char* oldTag;
    unsigned* oldHash;
    unsigned oldBuckets;
    unsigned oldLive;   // records still filed in the old array
    unsigned moveAt;    // next old bucket to move
    unsigned moveLeft;  // old buckets still to visit
    // The array the next growth will use, made once the current one is 70% full, and how far
    // the pages of its buckets, its fingerprints and its hashes are ready.
    unsigned* nextBucket;
    unsigned char* nextTag;
    unsigned* nextHash;
    unsigned nextBuckets;
    stPageWarm nextWarm[3];
    stPageDrop drop;  // arrays of finished growths, handed back a slice per store
};

// Bucket left behind by a released record: not empty (probe runs continue past it) but naming
// no table, so it never matches.
constexpr unsigned QZ_KEY_RELEASED = 0xFFFFFF00u;

struct stKeyStore {
    stKeyTable tables[QZ_KEY_TABLES];
    int ntables;
    stKeyIndex index;
    unsigned inserted;  // records stored in any table
    int keyed;          // 1: the index hashes with SipHash-2-4 under hashKey
    unsigned char hashKey[16];
};

// Prepares an empty store whose index starts with desiredBuckets buckets (at least 101, or
// nothing is indexed).
void keyStoreInit(stKeyStore* store, unsigned desiredBuckets);
// Gives the store a secret hash key: from now on the index files keys by SipHash-2-4 under it
// (an index that already exists is rebuilt at once, so call this before the store fills).
void keyStoreSetKey(stKeyStore* store, const unsigned char key[16]);
// keyStoreSetKey with 16 bytes from the system's random source (getrandom, never blocking;
// without one, from the clock, the process id and addresses). Returns false when the bytes did
// not come from the system's random source.
bool keyStoreRandomKey(stKeyStore* store);
// 16 bytes from the system's random source (getrandom, never blocking; without one, from the
// clock, the process id and addresses): a secret hash key. False when the bytes did not come
// from the system's random source.
bool keyRandomBytes(unsigned char key[16]);
// Frees every table and the index; the store is empty afterwards.
void keyStoreFree(stKeyStore* store);
// keyStoreFree a slice at a time (a restart hands its former tables back over frames): hands
// back record blocks for about budgetUs of thread CPU time, and the rest (block lists, index)
// with the last slice. True when the store is empty.
bool keyStoreFreeStep(stKeyStore* store, long long budgetUs);
// Adds a table and returns its number, or -1 when the store is full or the layout is invalid.
int keyTableCreate(stKeyStore* store, const char* name, int recSize, int keyOff, int keyLen,
                   int initCap);
// Number of the table with this name, or -1.
int keyTableFind(const stKeyStore* store, const char* name);
// Bytes held by the record blocks, the bucket arrays, their fingerprints and hashes.
size_t keyStoreBytes(const stKeyStore* store);

// The fixed bucket hash of a key for table t (before the modulo), used by a store without a
// hash key. It depends on the key only through two sums, so colliding keys are easy to make.
unsigned keyHash(int t, const void* key, int keyLen);
// SipHash-2-4 of len bytes under a 16-byte key (the reference function, little-endian words).
uint64_t keySipHash(const unsigned char key[16], const void* data, size_t len);
// True while the index is growing (records still filed in the previous bucket array).
bool keyIndexMoving(const stKeyStore* store);

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
