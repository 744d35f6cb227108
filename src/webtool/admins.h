// Named WebTool administrators: each has a name, a level and a key of his own, kept in
// "qzadmins.dat" as an scrypt hash with a salt of its own. The file, its parser and writer, the
// hashing, and the worker thread that checks a typed key off the frame (scrypt is slow by design).
// docs/webtool.md ("Named administrators") describes the file and the levels.
#pragma once

#include <ctime>

#define QZ_ADMINS_FILE "qzadmins.dat"

constexpr int WEB_ADMIN_MAX = 32;
constexpr int WEB_ADMIN_NAME_MAX = 31;
constexpr int WEB_ADMIN_KEY_MAX = 127;
constexpr int WEB_ADMIN_SALT = 16;
constexpr int WEB_ADMIN_HASH = 32;
// scrypt cost: N = 2^14, r = 8, p = 1 (16 MiB, some tens of milliseconds a key).
constexpr unsigned long long WEB_ADMIN_SCRYPT_N = 16384;
constexpr unsigned long long WEB_ADMIN_SCRYPT_R = 8;
constexpr unsigned long long WEB_ADMIN_SCRYPT_P = 1;

// What an administrator may do; each level includes the ones below it.
enum WebLevel {
    WEBL_NONE = 0,
    WEBL_VIEW = 1,  // the Player List (and choosing a player)
    WEBL_KICK = 2,  // also kick players and request screenshots
    WEBL_BAN = 3,   // also ban players
    WEBL_ALL = 4,   // everything: settings, Command Screen, map, audit log (qz_sv_HttpKey's level)
};

// One administrator as the file holds him.
struct stWebAdmin {
    char name[WEB_ADMIN_NAME_MAX + 1];
    int level;  // WebLevel
    unsigned long long n, r, p;
    unsigned char salt[WEB_ADMIN_SALT];
    unsigned char hash[WEB_ADMIN_HASH];
};

struct stWebAdmins {
    int count;
    stWebAdmin list[WEB_ADMIN_MAX];
    // The file as last looked at, to load it again when it changed.
    int seen;
    long long mtimeNs;
    long long ctimeNs;
    long long size;
    unsigned long long ino;
    unsigned mode;
    int refusedMode;      // the file was refused for its permissions (reported once)
    unsigned generation;  // counts loads: a binding made under another list is checked again
};

// The level's word ("view", "kick", "ban", "all"), and the level of a word (WEBL_NONE when none).
const char* webLevelName(int level);
int webLevelOf(const char* word);
// True for a name an administrator may have: 1 to 31 letters, digits, "_", "-" or ".".
bool webAdminNameOk(const char* name);
// True for a key that may be given: 1 to 127 bytes without control characters, not 32
// hexadecimal digits (that is what a page's digest looks like).
bool webAdminKeyOk(const char* key, const char** why);

// Parses one line of the file into out: "name level scrypt N r p salt hash" (salt and hash in
// hexadecimal). False for a line that is not one (comments and blank lines included).
bool webAdminParse(const char* line, int length, stWebAdmin* out);
// Parses a whole file's text (length bytes, need not be terminated) into list; returns the
// number of administrators (at most max; a name seen again replaces the earlier one).
int webAdminParseText(const char* text, int length, stWebAdmin* list, int max);
// Writes one administrator as a line of the file (terminated, without line end).
void webAdminFormat(const stWebAdmin* a, char* out, int size);

// The one form in which keys are compared and hashed: a key that is valid UTF-8 stays as it is;
// any other text is read as Windows-1252 (ISO-8859-1 with the letters a browser puts in
// 0x80-0x9F) and written in UTF-8. So "Zo\xebe" typed on a Latin-1 console, "Zo\xc3\xab" from
// a UTF-8 terminal and what a browser sends for it all come out the same. Writes at most size-1
// bytes (terminated) and returns the length; a key of 127 bytes needs at most 381.
int webKeyNormal(const char* key, int length, char* out, int size);
constexpr int WEB_KEY_NORMAL_MAX = 3 * WEB_ADMIN_KEY_MAX + 1;

// scrypt of key (in its normal form, webKeyNormal) with the administrator's salt and cost into
// out. False when it failed.
bool webAdminHash(const stWebAdmin* a, const char* key, unsigned char (&out)[WEB_ADMIN_HASH]);
// Fills a new administrator: name, level, a fresh salt and the hash of key.
bool webAdminMake(stWebAdmin* a, const char* name, int level, const char* key);

// The file at path: read into list (count in *count). Returns false with why when it cannot be
// read or is readable by group or others (the keys' hashes would be open to guessing).
// Opens the administrators' file for reading: a regular file that only its owner may read.
// Returns the descriptor, or -1 with WHY said and errno set (ENOENT: there is no file).
int webAdminsOpen(const char* path, char* why, int whySize);
bool webAdminsRead(const char* path, stWebAdmin* list, int* count, char* why, int whySize);
// Writes the list to path through a temporary file of mode 0600 and a rename.
bool webAdminsWrite(const char* path, const stWebAdmin* list, int count, char* why, int whySize);

// What the key checker found: the administrator whose key it was, by name and by the hash it
// matched. The list may have changed while it worked, so the caller binds the login only to an
// administrator of the current list with this name and this hash (and takes his current level).
struct stWebAdminMatch {
    int found;
    char name[WEB_ADMIN_NAME_MAX + 1];
    unsigned char hash[WEB_ADMIN_HASH];
};

// The key checker thread: one job at a time. webAdminCheckStart hands it a typed key and the
// administrators to try (copied); webAdminCheckPoll says whether the job with that ticket is done
// and, when it is, who matched. Start-up creates nothing: the thread is started by the first job
// and stopped by webAdminCheckStop (shut-down).
bool webAdminCheckBusy();
void webAdminCheckStart(unsigned ticket, const char* key, const stWebAdmin* list, int count);
// 0: not done (or another ticket), 1: done (*match set; match->found 0 when no key matched).
int webAdminCheckPoll(unsigned ticket, stWebAdminMatch* match);
void webAdminCheckStop();
