// MD5Tool file checks: the rounds that ask every playing client module for a digest of files
// of its game, and the answers that come back. The list itself is md5tool.cpp's; docs/md5tool.md
// describes the entry fields, the texts on the wire and the verdicts.
#pragma once

#include "players/slots.h"

struct stQzSv;
struct stMd5Tool;

// Entries asked of one player in one round, taken in list order from where his last round
// stopped; so every entry is asked of every player within ceil(entries / 4) rounds.
constexpr int QZ_MD5_PER_ROUND = 4;
// An unanswered check is given up after qz_sv_md5toolfreq seconds, at most this long, so the
// checks of one round are settled before the next round asks again.
constexpr int QZ_MD5_TIMEOUT_MS = 30000;
// Checks given up in a row after which the client counts as ignoring the checks.
constexpr int QZ_MD5_MISSED_MAX = 3;
// Bytes of an answer packet that are looked at.
constexpr int QZ_MD5_ANSWER_MAX = 128;

// One check that waits for its answer.
struct stMd5Query {
    unsigned seq;   // 0: the place is free
    int entry;      // list position (0-based)
    unsigned gen;   // the list's generation when asked (qz_sv_md5toolempty moves it)
    unsigned seed;  // the challenge the answer is digested with
    unsigned sentTick;
};

// The checks of one player. They belong to one connection (conn); a new player in the slot
// starts afresh.
struct stMd5Slot {
    unsigned long conn;
    int live;
    unsigned nextSeq;
    int cursor;  // next list position to ask
    int missed;  // checks given up in a row
    stMd5Query open[QZ_MD5_PER_ROUND];
};

struct stMd5Checks {
    stMd5Slot slot[QZ_SLOTS];
    unsigned gen;        // moves on every qz_sv_md5toolempty
    int roundSet;        // roundTick is valid
    unsigned roundTick;  // start of the last round
    int dueSet;          // nextDue is valid
    unsigned nextDue;    // the frame has nothing to do before this tick
};

// What an answer packet says, as parsed.
enum QzMd5AnswerKind {
    QZ_MD5A_BAD = 0,        // no sequence number: cannot belong to any check
    QZ_MD5A_DIGEST = 1,     // "<seq> <digest> SZ<size> AT<offset> LEN<length>"
    QZ_MD5A_READ_FAIL = 2,  // "<seq> READ_FAIL"
    QZ_MD5A_MALFORMED = 3,  // a sequence number, then anything else
};

struct stMd5Answer {
    int kind;
    unsigned seq;
    char digest[33];  // upper case
    unsigned long sz, at, len;
};

// Parses the text after "QZ_MD5 " (length bytes, not terminated, at most QZ_MD5_ANSWER_MAX
// looked at). Never reads past length; every number must fit 32 bits.
void md5AnswerParse(const char* text, int length, stMd5Answer* out);
// Whether an entry can be asked: kind F (a file of the game), mode M (an MD5 digest) and a
// 32-digit hexadecimal expected digest. Others stay listed but are never sent.
bool md5EntryCheckable(const stMd5Tool* e);
// The answer a client that holds the entry's bytes gives to the challenge seed: the entry's
// expected digest (its 32 digits in upper case) digested again with the seed. Returns a static
// text, as qzmd5 does.
const char* md5Expected(const char* digest, unsigned seed);
// The frame's share: gives up checks not answered in time and sends a round when one is due.
// Returns at once when nothing is due.
void md5Frame(stQzSv* sv);
// A client-module packet "QZ_MD5 ...". Returns false for any other packet, and for one that
// arrives before the client finished the exchange (the exchange reports it as out of turn).
bool md5Packet(stQzSv* sv, int slot, const char* data, int length);
// The list was emptied: waiting checks are answered to nothing.
void md5ListEmptied(stQzSv* sv);
