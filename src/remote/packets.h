// The byte layouts of the master exchange: connectionless packet tags, file request lines,
// file header ("VRFH") and block ("VRFB") packets, transfer control lines and the masters'
// directive lines. Parsers take hostile bytes and check every length; builders write into
// caller buffers. docs/masters.md describes the layouts.
#pragma once

#include <cstdint>

// Every connectionless packet of the service starts with four 0xFF bytes, "QZ_" and a letter.
constexpr int QZ_TAG_LEN = 8;
// Packet type letters.
constexpr char QZ_PT_QUERY = 'Q';      // module -> master: update check and directives query
constexpr char QZ_PT_REQUEST = 'R';    // module -> master: a file request line
constexpr char QZ_PT_CONTROL = 'A';    // module -> master: ack / reblock / restart
constexpr char QZ_PT_FILE = 'F';       // master -> module: VRFH and VRFB packets
constexpr char QZ_PT_DIRECTIVE = 'D';  // master -> module: directive lines

constexpr int QZ_BLOCK_SIZE = 1200;          // bytes of compressed data per block
constexpr int QZ_SIZE_HEX_MAX = 7;           // hexadecimal digits accepted for a size
constexpr uint32_t QZ_FILE_MAX = 48u << 20;  // largest compressed file accepted
constexpr uint32_t QZ_RAW_MAX = 64u << 20;   // largest file after inflating

// Writes the tag for letter into out (8 bytes).
void pktTag(char* out, char letter);
// The packet's type letter when it starts with a valid tag, else 0.
char pktType(const char* data, int length);

struct QzRequest {
    char key[64];
    char file[128];
    char header[16];  // the tag the answer's file packets carry
    int headerLength;
    int rate;
};
// Formats a request line (without a tag) into out. Returns its length, -1 when it does not fit.
int pktRequestFormat(char* out, int size, const char* key, const char* file, char letter, int rate);
// Parses a request line. False when any field is missing, too long or malformed.
bool pktRequestParse(const char* text, int length, QzRequest* out);

struct QzFileHeader {
    uint32_t id;
    uint32_t size;     // compressed bytes
    uint32_t rawSize;  // bytes after inflating
    char name[128];
};
enum QzHeaderResult {
    QZ_HDR_OK = 0,
    QZ_HDR_SHORT = 1,      // too short or malformed: "Received Small File Packet"
    QZ_HDR_TOO_LARGE = 2,  // *digits holds the hex digit count of the size
    QZ_HDR_EMPTY = 3,      // size 0
};
// Parses a header packet body (after tag and "VRFH"): "<id> <size hex> <raw size hex> <name>".
int pktHeaderParse(const char* body, int length, QzFileHeader* out, int* digits);
// Whole header packet (tag included) into out; returns its length or -1.
int pktHeaderFormat(char* out, int size, const QzFileHeader* h);

struct QzFileBlock {
    uint32_t id;
    uint32_t block;
    const char* data;  // points into the packet
    int length;
};
// Parses a block packet body (after tag and "VRFB"): id and block number as 4-byte big-endian
// numbers, then the data. False when shorter than the two numbers.
bool pktBlockParse(const char* body, int length, QzFileBlock* out);
// Whole block packet (tag included) into out; returns its length or -1.
int pktBlockFormat(char* out, int size, uint32_t id, uint32_t block, const char* data, int length);

// Blocks of a compressed file of size bytes.
uint32_t pktBlockCount(uint32_t size);
// Expected length of block i of a file of size bytes (0 when i is past the end).
int pktBlockLength(uint32_t size, uint32_t i);

enum QzControlKind { QZ_CTL_NONE = 0, QZ_CTL_ACK, QZ_CTL_REBLOCK, QZ_CTL_RESTART };
// Parses "ack %u %u", "reblock %d %d" or "restart %d %d" (file id, block).
int pktControlParse(const char* text, int length, uint32_t* id, uint32_t* block);
