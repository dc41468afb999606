// The run decision and its consequences, shared by the timed runner and the three triggered
// runners: active, skip, one-time, link and condition checks, the delay, the actions, the
// refusal reason, the history line and the one-time and skip upkeep.
#pragma once

#include "engine/engine.h"

namespace tarvo {

struct RunTarget {
    bool timed = true;
    TriggerTable table = TriggerTable::Opto;  // triggered runs only
    int index = 0;                             // the entry of the triggered table
};

// Runs one event; returns its Active value as it stands after a skip update.
struct RunResult {
    bool queued = false;   // it had a delay and went to the delayed queue
    int16_t active = 0;
    bool deletedAtPointer = false;  // a timed one-time entry left Events at NextEventIndex
};
RunResult RunOneEvent(Engine& e, const RunTarget& target);

}  // namespace tarvo
