// Scheduled tasks: command lines run by the frame through the dispatcher, once or repeatedly.
// A task first runs its first delay after it was added (0: at the next frame) and then every
// period; a period of 0 runs it once, after which its slot shows it deleted. A frame runs at most
// QZ_TASKS_PER_FRAME tasks and never a task added while it runs, so a task that adds tasks, a
// list of many tasks due together, or a task that restarts the module cannot hold the frame.
#include <cstring>

#include "commands/dispatch.h"
#include "commands/handlers.h"
#include "commands/secrets.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/power.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// A task that restarts the module is skipped this soon after a start: the configuration that
// adds it would otherwise restart the module over and over.
constexpr unsigned kRestartGuardMs = 60000;

stSvTask* taskAt(stQzSv* sv, int slot) {
    return static_cast<stSvTask*>(flexarAt(&sv->pw.tasks, slot - 1));
}

bool restarts(const char* cmd) {
    while (*cmd == ' ' || *cmd == '\t') cmd++;
    char word[32];
    int n = 0;
    while (cmd[n] && cmd[n] != ' ' && cmd[n] != '\t' && n < 31) {
        word[n] = cmd[n];
        n++;
    }
    word[n] = 0;
    return trcasecmp(word, "qz_sv_Restart") == 0;
}

}  // namespace

int taskAdd(stQzSv* sv, long first, long every, const char* cmd) {
    stSvTask t;
    memset(&t, 0, sizeof t);
    t.first = first;
    t.every = every;
    QZ_COPY(t.cmd, cmd);
    t.due = qzMonoTick() + static_cast<unsigned>(first) * 1000u;
    t.id = ++sv->pw.taskIds;
    if (!flexarAppend(&sv->pw.tasks, &t)) return 0;
    sv->pw.taskLive++;
    return sv->pw.tasks.count;
}

// The tasks are looked at by position; a task's command is copied out before it runs, and the
// task is found again by its id afterwards, because the command may delete, empty or add tasks.
int taskRunDue(stQzSv* sv, unsigned now) {
    stPower& p = sv->pw;
    const int count = p.tasks.count;  // tasks added by the tasks below wait for a later frame
    int ran = 0;
    for (int slot = 1; slot <= count && ran < QZ_TASKS_PER_FRAME; ++slot) {
        stSvTask* t = taskAt(sv, slot);
        if (!t || t->deleted || static_cast<int>(now - t->due) < 0) continue;
        const unsigned id = t->id;
        char cmd[QZ_TASK_CMD];
        QZ_COPY(cmd, t->cmd);
        if (t->every > 0) {
            // The next run is counted from this one; runs missed while the server stood still
            // are not made up in a burst.
            t->due += static_cast<unsigned>(t->every) * 1000u;
            if (static_cast<int>(now - t->due) >= 0)
                t->due = now + static_cast<unsigned>(t->every) * 1000u;
        } else {
            t->deleted = 1;
            p.taskLive--;
        }
        ran++;
        if (restarts(cmd) &&
            static_cast<unsigned>(tickElapsed(now, p.startTick)) < kRestartGuardMs) {
            svMsg(sv,
                  "QZ Scheduled Task (slot #%d) skipped: the module started less than a minute ago",
                  slot);
            continue;
        }
        char shown[QZ_TASK_CMD + 8];
        cmdMaskSecrets(cmd, shown, qz::cap(shown));
        svMsg(sv, "Running QZ Scheduled Task (slot #%d) %s", slot, shown);
        QzOrigin origin = qzOrigin(QZ_ORIGIN_TASK, slot, nullptr, nullptr, nullptr);
        sv_cmd_as(sv, &origin, QZ_SRC_TASK, cmd, 0);
        // The list may have been emptied or changed by the command.
        if (p.tasks.count < count || (taskAt(sv, slot) && taskAt(sv, slot)->id != id)) break;
    }
    return ran;
}

// qz_sv_Task [seconds] [seconds] [command]
void cmd_task(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char a[32], b[32];
    pwNextWord(p, a, qz::cap(a));
    pwNextWord(p, b, qz::cap(b));
    char cmd[QZ_TASK_CMD];
    pwRest(cmd, qz::cap(cmd), p);
    long first = 0, every = 0;
    bool ok = pwParseLong(a, 0, QZ_TASK_SECS_MAX, &first);
    ok = pwParseLong(b, 0, QZ_TASK_SECS_MAX, &every) && ok;
    // A command line of its own: a line break would make the dispatcher's one line two.
    for (const char* c = cmd; *c; ++c)
        if (static_cast<unsigned char>(*c) < 32) ok = false;
    // The command is shown as every line is, its secrets masked (it may set a key).
    char shown[QZ_TASK_CMD + 8];
    cmdMaskSecrets(cmd, shown, qz::cap(shown));
    if (!ok || !cmd[0]) {
        svMsg(sv, "Invalid parameters: %ld %ld %s", first, every, shown);
        return;
    }
    if (!taskAdd(sv, first, every, cmd)) {
        svMsg(sv, "Error Adding QZ Scheduled Task");
        return;
    }
    svMsg(sv, "QZ Scheduled Task Added: %ld %ld %s", first, every, shown);
}

// qz_sv_TList: the tasks still to run; deleted ones keep their slot numbers but are not shown.
void cmd_tlist(stQzSv* sv, const CmdCall&) {
    svCon(sv, "QZ Scheduled Task List: [slot #] [first] [every] [command]");
    int shown = 0;
    for (int slot = 1; slot <= sv->pw.tasks.count; ++slot) {
        const stSvTask* t = taskAt(sv, slot);
        if (t->deleted) continue;
        char masked[QZ_TASK_CMD + 8];
        cmdMaskSecrets(t->cmd, masked, qz::cap(masked));
        svCon(sv, "%d [%ld] [%ld] %s", slot, t->first, t->every, masked);
        shown++;
    }
    svCon(sv, "End of QZ Task List (%d Task%s)", shown, shown == 1 ? "" : "s");
}

// qz_sv_TaskDel [slot #]
void cmd_taskdel(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char w[32];
    pwNextWord(p, w, qz::cap(w));
    long slot = 0;
    bool ok = pwParseLong(w, 1, sv->pw.tasks.count, &slot);
    if (!ok) {
        svMsg(sv, "Invalid slot # specified: %d", static_cast<int>(slot));
        return;
    }
    stSvTask* t = taskAt(sv, static_cast<int>(slot));
    if (t->deleted) {
        svMsg(sv, "Slot #%d has already been deleted", static_cast<int>(slot));
        return;
    }
    t->deleted = 1;
    sv->pw.taskLive--;
    svMsg(sv, "QZ Scheduled Task Deleted");
}

// qz_sv_TaskEmpty: slot numbers start again from 1.
void cmd_taskempty(stQzSv* sv, const CmdCall&) {
    sv->pw.tasks.count = 0;
    sv->pw.taskLive = 0;
    svMsg(sv, "QZ Task List has been Emptied");
}
