// The master exchange: start-up and shut-down of the subsystem, the frame call that resolves
// master names, sends queries, reads the UDP socket and drives the transfers, and the masters'
// directives.
#pragma once

#include <netinet/in.h>

struct stQzSv;

constexpr int QZ_MASTER_QUERY_MS = 60 * 60 * 1000;  // automatic query interval
constexpr int QZ_RECV_PER_FRAME = 24;     // peers' datagrams read by one frame call at most
constexpr int QZ_RECV_STRANGER_US = 250;  // thread time one frame spends reading at most
constexpr int QZ_MASTER_FIRST_QUERY_MS = 60 * 60 * 1000;  // first automatic query after start

// Creates the outbound queue, opens the UDP socket, loads the master list ("qzns.dat", else
// the built-in default) and the update key. Called once by the module's start-up.
void remoteStart(stQzSv* sv);
void remoteShutdown(stQzSv* sv);
// One frame: nothing but a clock comparison unless something is waiting.
void remoteFrame(stQzSv* sv);
// Replaces the in-memory master list by the generated file "qzns.dat" or the default. Prints
// what happened.
void remoteLoadMasters(stQzSv* sv);
// Starts resolving every master name that has no address yet (nothing in LAN mode).
void remoteResolve(stQzSv* sv);
// Sends the update-check query to every resolved master. Returns how many were sent.
int remoteQuery(stQzSv* sv);
// The address of master i when resolved (port set), else null.
const sockaddr_in* remoteMasterAddr(stQzSv* sv, int i);
// Text "name" of master i for messages.
const char* remoteMasterName(stQzSv* sv, int i);
// Master index whose address is from, or -1.
int remoteMasterFrom(stQzSv* sv, const sockaddr_in* from);
// How long a query waits for its answer.
constexpr int QZ_MASTER_ANSWER_MS = 10000;
// Refused master packets are logged at most once in this time.
constexpr unsigned QZ_REFUSED_LOG_MS = 10000;
// Applies directive lines that came with a verified answer.
void remoteDirectives(stQzSv* sv, const char* text, int length);
// A directive packet body from master: used only when it answers the query still waiting for
// it (same nonce, within QZ_MASTER_ANSWER_MS) and its signature verifies with the update key;
// otherwise counted and refused.
void remoteDirectivePacket(stQzSv* sv, int master, const char* body, int length);
// Counts a refused master packet and logs it (rate-limited). master may be -1.
void remoteRefused(stQzSv* sv, int master, const char* why);
// True when the update key is there to check master answers; otherwise counts the refusal.
bool remoteAnswerKey(stQzSv* sv, int master);
// Handles one datagram that arrived on the module's socket.
void remotePacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from);
