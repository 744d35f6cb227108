// The fleet ban wire form shared by the module and the ban service (qzmaster): the message bodies
// (ban report, lookup/hello, unban report, answer, push/lift, audit line), the authenticated
// envelope around them ("<body>\n" + trailer "QZF1 <server-id> <counter> <hmac>") and the replay
// window a receiver keeps per sender. Pure routines over caller buffers: no state, no allocation,
// every input length checked. Layout and examples: docs/fleet.md.
#pragma once

#include <cstdint>

constexpr int QZF_PACKET_MAX = 1400;  // whole datagram, trailer included
constexpr int QZF_KEY_BYTES = 32;     // per-server secret
constexpr int QZF_ID_MAX = 32;        // server id: 1..32 of [A-Za-z0-9_.-]
constexpr int QZF_GUID_MAX = 32;      // GUID: 1..32 of [A-Za-z0-9]; "*" in a hello
constexpr int QZF_ADDR_MAX = 63;      // address or EXTRA text: no blanks, no control bytes
constexpr int QZF_ORIGIN_MAX = 63;    // origin token: no blanks, no control bytes
constexpr int QZF_NAME_MAX = 63;      // player name: no '"', no control bytes
constexpr int QZF_TRAILER_MAX = 5 + QZF_ID_MAX + 1 + 20 + 1 + 64;
// The longest body that still fits a datagram with the longest trailer and its newline.
constexpr int QZF_BODY_MAX = QZF_PACKET_MAX - 1 - QZF_TRAILER_MAX;

// Message kinds: the first character of a body.
enum : char {
    QZF_REPORT = 'B',  // server -> service: a fleet-wide ban
    QZF_QUERY = 'Q',   // server -> service: is this GUID banned? (GUID "*": hello/sync)
    QZF_UNBAN = 'U',   // server -> service: a fleet-wide unban
    QZF_ANSWER = 'A',  // service -> server: BANNED/CLEAR/ACK/REFUSED
    QZF_PUSH = 'P',    // service -> server: a new or live fleet ban
    QZF_LIFT = 'R',    // service -> server: a fleet ban lifted
    QZF_AUDIT = 'L',   // server -> service: an audit line ("LVRRep ...")
    QZF_PAGE = 'S',    // service -> server: the end of one page of changes after a hello
};
// Scope of an unban report: "own" lifts only fleet bans the reporting server made; "fleet" is
// the deliberate lift of any server's fleet ban.
constexpr const char* QZF_SCOPE_OWN = "own";
constexpr const char* QZF_SCOPE_FLEET = "fleet";
// Envelope directions, part of the MAC: a packet reflected back to its sender fails.
enum : char {
    QZF_TO_SERVICE = 'S',
    QZF_TO_SERVER = 'M',
};

// One message body, every form in one record; kind says which fields mean something:
//   B  epoch:id=report-id time=ban-time length slot banKind guid addr origin name
//   Q  id=request-id slot=player-slot time=connect-time guid addr(=EXTRA); a hello has guid "*"
//      and addr "sync:<n>", and then sync=1 and fleetId=<n> (the last change applied)
//   U  epoch:id=report-id fleetId slot time=unban-time length(the number after '|', 0) guid
//      scope ("own" or "fleet"; an empty EXTRA= reads as "own")
//   A  fleetId epoch:id(echoed) verdict guid name answerKind [server]: a BANNED answer names
//      the server that made the ban
//   P/R fleetId id=hello id (0: a live push) guid server(banning server id) name time=ban-time
//      length change (the change number of this ban or of this lift)
//   S  id=hello id after change(=up to) count more: the end of a page of changes
//   L  server origin time json/jsonLen (json points into the parsed text, not terminated)
// A report id is "<epoch>:<counter>" in hexadecimal (epoch 0 is written as the counter alone):
// the epoch is a random number drawn for each report queue, so ids never repeat.
struct FleetBody {
    char kind;
    char banKind;  // B: 'G'
    char sync;     // Q: 1 for a hello
    char more;     // S: 1 when more changes remain after this page
    uint32_t id;
    uint64_t epoch;   // B/U/A: the report id's epoch (0: none)
    uint64_t change;  // P/R: change number; S: the last change this page covers
    uint64_t after;   // S: the change the hello asked after
    uint32_t count;   // S: P/R messages sent in this page
    char scope[8];    // U: QZF_SCOPE_OWN or QZF_SCOPE_FLEET
    uint64_t fleetId;
    uint64_t time;
    uint64_t length;
    uint32_t slot;
    char verdict[8];
    char answerKind[8];
    char guid[QZF_GUID_MAX + 1];
    char server[QZF_ID_MAX + 1];
    char addr[QZF_ADDR_MAX + 1];
    char origin[QZF_ORIGIN_MAX + 1];
    char name[QZF_NAME_MAX + 1];
    const char* json;
    int jsonLen;
};

// Verdicts of an answer.
constexpr const char* QZF_BANNED = "BANNED";
constexpr const char* QZF_CLEAR = "CLEAR";
constexpr const char* QZF_ACK = "ACK";
constexpr const char* QZF_REFUSED = "REFUSED";

// Writes body b in its form (by b.kind) into out (size bytes, terminated). Returns the length,
// or 0 when a field is not valid for the wire (so the receiver would refuse it) or the text does
// not fit in size or QZF_BODY_MAX.
int fleetFormat(char* out, int size, const FleetBody& b);
// Parses a body of length n (not terminated). Fills *b and returns true only when the whole text
// is one valid form; on false *b holds nothing to rely on.
bool fleetParse(const char* text, int n, FleetBody* b);

// Field rules, shared with the callers that build bodies from outside text.
bool fleetIdOk(const char* s, int n);
bool fleetGuidOk(const char* s, int n);
// Copies a player name as the wire carries it: '"' becomes '\'', control bytes become blanks,
// cut to QZF_NAME_MAX. out holds QZF_NAME_MAX + 1 bytes.
void fleetCleanName(const char* name, char* out);

// Reads a secret: 64 hexadecimal digits, then optionally blanks/line ends. False otherwise.
bool fleetKeyParse(const char* text, int n, unsigned char key[QZF_KEY_BYTES]);
// Next counter for a sender: max(*last + 1, nowMicros); stores it in *last.
uint64_t fleetNextCounter(uint64_t* last, uint64_t nowMicros);
// Next counter of a master: epoch << 32 | ++*seq. The epoch is unique per master start (taken
// from the shared store), so counters never come from a clock and a restarted master is ahead
// of its former self. 0 when the epoch does not fit 32 bits or seq ran out.
uint64_t fleetMasterCounter(uint64_t epoch, uint32_t* seq);

// Seals a body: writes "<body>\nQZF1 <server> <counter> <hmac>" into out (size bytes). Returns
// the length, or 0 when the server id is invalid, the body holds a line end, or it does not fit.
int fleetSeal(char* out, int size, const char* body, int bodyLen, const char* server,
              uint64_t counter, char dir, const unsigned char key[QZF_KEY_BYTES]);

// Why a packet was refused (index into the receiver's counters).
enum FleetRefusal {
    QZF_OK = 0,
    QZF_BAD_SYNTAX,
    QZF_UNKNOWN_SERVER,
    QZF_CUT_OFF,
    QZF_BAD_MAC,
    QZF_REPLAY,
    QZF_REFUSALS,  // count of the above
};
// Name of a refusal reason ("bad-syntax", ...).
const char* fleetRefusalName(int reason);

// A packet whose trailer has been read: pointers into the packet.
struct FleetEnvelope {
    char server[QZF_ID_MAX + 1];
    uint64_t counter;
    const char* body;
    int bodyLen;
    const char* mac;  // 64 hexadecimal digits in the packet
};
// Checks size and trailer syntax of a packet of n bytes: QZF_OK and *env filled, or
// QZF_BAD_SYNTAX. The MAC is not checked yet: the receiver first finds the sender's key by
// env->server, then calls fleetVerify.
int fleetOpen(const char* packet, int n, FleetEnvelope* env);
// True when the envelope's MAC is the one of its body, server and counter under key for
// direction dir (constant-time compare).
bool fleetVerify(const FleetEnvelope& env, char dir, const unsigned char key[QZF_KEY_BYTES]);

// Replay window of one sender: the highest counter accepted and a bitmap of the 64 below it
// (bit i set: highest - 1 - i was seen).
struct FleetWindow {
    uint64_t highest;
    uint64_t seen;
};
// True when counter would be accepted (newer than highest, or within the 64 below and unseen).
// Counter 0 is never accepted.
bool fleetWindowFresh(const FleetWindow& w, uint64_t counter);
// fleetWindowFresh, and when true records counter as seen.
bool fleetWindowAccept(FleetWindow* w, uint64_t counter);
