// The run decision and its consequences, shared by the timed runner and the three triggered
// runners: active, skip, one-time, link and condition checks, the delay, the actions, the
// refusal reason, the history line and the one-time and skip upkeep.
#pragma once

#include "base/task.h"
#include "scheduler/scheduler.h"

namespace tarvo {

struct RunTarget {
    bool timed = true;                         // Events(NextEventIndex)
    TriggerTable table = TriggerTable::Opto;  // triggered runs: the entry of this table
    uint32_t id = 0;                           // carrying this id
};

// Runs one event; returns its Active value as it stands after a skip update.
struct RunResult {
    bool queued = false;  // it had a delay and went to the delayed queue
    int16_t active = 0;
    bool deletedAtPointer = false;  // a timed one-time entry left Events at NextEventIndex
};
Task<RunResult> RunOneEvent(Scheduler& s, RunTarget target);

// Starts `run` for `ev`. When too many runs are in progress already, the event is refused
// instead: Title + " not executed - Too Many Runs" in the activity log and a red history line
// (with `historyTime` in its time column). False when it did not start.
bool StartRun(Scheduler& s, const AutomationEvent& ev, const QString& historyTime, Task<> run);

inline const QString kTooManyRuns = QStringLiteral("Too Many Runs");
inline const QString kMissed = QStringLiteral("Missed");

}  // namespace tarvo
