// The pending-event queue. Events are command lines that must run outside the call that asked for
// them (for example a restart requested by a command), so the frame call carries them out.
#include "host/events.h"

#include "commands/dispatch.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/text.h"

bool eventAdd(stQzSv* sv, const char* text, unsigned delayMs) {
    stEventQueue& q = sv->events;
    if (q.count >= QZ_EVENT_MAX || slen(text) >= QZ_EVENT_TEXT) {
        svMsg(sv, "QZ ERROR: Event Overflow");
        svMsg(sv, "Error Adding QZ Event: %s", text);
        return false;
    }
    stQzEvent& ev = q.ring[(q.head + q.count) % QZ_EVENT_MAX];
    ev.queuedTick = GetTickCount();
    ev.dueTick = ev.queuedTick + delayMs;
    QZ_COPY(ev.text, text);
    q.count++;
    return true;
}

int eventRunDue(stQzSv* sv, int maxRun) {
    stEventQueue& q = sv->events;
    int ran = 0;
    while (q.count > 0 && ran < maxRun) {
        stQzEvent& ev = q.ring[q.head];
        // Signed difference: wrap-safe for delays far below the 24-day half range of the tick.
        if (static_cast<int>(GetTickCount() - ev.dueTick) < 0) break;
        char line[QZ_EVENT_TEXT];
        QZ_COPY(line, ev.text);
        q.head = (q.head + 1) % QZ_EVENT_MAX;
        q.count--;
        ran++;
        sv_cmd(sv, QZ_SRC_EVENT, line, 0);
    }
    return ran;
}
