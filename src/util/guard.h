// A limiter of wrong password guesses: by address (a few wrong guesses in a minute lock that
// address out for a minute) and in all (a bounded number of wrong guesses a minute from every
// address together). An address that has logged in successfully keeps its right to try while
// others exhaust the common budget, so a flood from many addresses cannot shut out an
// administrator who knows the password.
#pragma once

constexpr int QZ_GUARD_ADDRS = 64;
constexpr int QZ_GUARD_BAD_PER_ADDR = 5;   // wrong guesses in the window that lock an address
constexpr int QZ_GUARD_BAD_TOTAL = 30;     // wrong guesses in the window from every address
constexpr int QZ_GUARD_WINDOW_MS = 60000;  // the window, and the length of a lockout

struct stGuessEntry {
    int used;
    unsigned addr;       // IPv4 address, network order
    unsigned seq;        // age for replacement
    int bad;             // wrong guesses in the current window
    unsigned firstTick;  // start of the window
    int locked;
    unsigned lockTick;
    int trusted;  // has logged in successfully
};

struct stGuessGuard {
    stGuessEntry entries[QZ_GUARD_ADDRS];
    unsigned seq;
    int totalBad;  // wrong guesses from every address in the current common window
    unsigned totalTick;
};

// True when addr may have a guess checked now.
bool guardAllows(stGuessGuard* g, unsigned addr, unsigned now);
// Counts a wrong guess from addr. Returns true when this guess locked the address out.
bool guardNoteBad(stGuessGuard* g, unsigned addr, unsigned now);
// Notes a successful login from addr: its count is cleared and it stays trusted.
void guardNoteGood(stGuessGuard* g, unsigned addr);
