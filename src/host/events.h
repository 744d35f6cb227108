// The pending-event queue: command lines queued by one host call and run by a later frame call.
#pragma once

constexpr int QZ_EVENT_MAX = 64;
constexpr int QZ_EVENT_TEXT = 256;

struct stQzEvent {
    unsigned dueTick;  // GetTickCount() value from which the event may run
    unsigned queuedTick;
    char text[QZ_EVENT_TEXT];
};

// A fixed ring, so that queuing never allocates.
struct stEventQueue {
    stQzEvent ring[QZ_EVENT_MAX];
    int head;
    int count;
};

struct stQzSv;

// Queues text to be dispatched as a command line once delayMs have passed. A full queue prints
// "QZ ERROR: Event Overflow" and then "Error Adding QZ Event: %s", and the event is lost
// (false). Text longer than an event holds is refused the same way rather than cut.
bool eventAdd(stQzSv* sv, const char* text, unsigned delayMs);
// Runs the events that are due, in queue order; at most maxRun of them in one call.
int eventRunDue(stQzSv* sv, int maxRun);
