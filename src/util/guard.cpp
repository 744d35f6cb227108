// The wrong-guess limiter. A fixed table: the entry used longest ago is replaced, trusted
// entries last, so a spray of addresses cannot push an administrator's address out.
#include "util/guard.h"

#include <cstring>

#include "util/clock.h"

namespace {

stGuessEntry* find(stGuessGuard* g, unsigned addr) {
    for (stGuessEntry& e : g->entries)
        if (e.used && e.addr == addr) return &e;
    return nullptr;
}

stGuessEntry* make(stGuessGuard* g, unsigned addr) {
    // Locked entries are kept while others can go (forgetting one would lift its lockout), and
    // trusted ones longest of all.
    auto rank = [](const stGuessEntry& x) { return x.used * (1 + x.trusted * 2 + x.locked); };
    stGuessEntry* victim = &g->entries[0];
    for (stGuessEntry& e : g->entries) {
        if (rank(e) < rank(*victim) || (rank(e) == rank(*victim) && e.seq < victim->seq))
            victim = &e;
    }
    memset(victim, 0, sizeof *victim);
    victim->used = 1;
    victim->addr = addr;
    victim->seq = ++g->seq;
    return victim;
}

void rollTotal(stGuessGuard* g, unsigned now) {
    if (g->totalBad == 0 || tickElapsed(now, g->totalTick) >= QZ_GUARD_WINDOW_MS) {
        g->totalBad = 0;
        g->totalTick = now;
    }
}

}  // namespace

bool guardAllows(stGuessGuard* g, unsigned addr, unsigned now) {
    stGuessEntry* e = find(g, addr);
    if (e && e->locked) {
        if (tickElapsed(now, e->lockTick) < QZ_GUARD_WINDOW_MS) return false;
        e->locked = 0;
        e->bad = 0;
    }
    if (e && e->trusted) return true;
    rollTotal(g, now);
    return g->totalBad < QZ_GUARD_BAD_TOTAL;
}

bool guardNoteBad(stGuessGuard* g, unsigned addr, unsigned now) {
    rollTotal(g, now);
    g->totalBad++;
    stGuessEntry* e = find(g, addr);
    if (!e) e = make(g, addr);
    e->seq = ++g->seq;
    if (e->bad == 0 || tickElapsed(now, e->firstTick) >= QZ_GUARD_WINDOW_MS) {
        e->bad = 0;
        e->firstTick = now;
    }
    if (++e->bad < QZ_GUARD_BAD_PER_ADDR) return false;
    e->locked = 1;
    e->lockTick = now;
    e->trusted = 0;  // a trusted address that starts guessing loses its standing
    return true;
}

void guardNoteGood(stGuessGuard* g, unsigned addr) {
    stGuessEntry* e = find(g, addr);
    if (!e) e = make(g, addr);
    e->seq = ++g->seq;
    e->bad = 0;
    e->trusted = 1;
}
