// One-time and skip events: a skip event becomes active after the occurrence it skipped; a
// one-time event is deleted after its occurrence. Each procedure changes the database (through
// the event store, which keeps what the file cannot take yet) and the tables in memory.
#pragma once

#include <cstdint>

#include "scheduler/scheduler.h"

namespace tarvo {

void UpdateSkipEvent(Scheduler& s);
void DeleteOneTimeEvent(Scheduler& s);
void UpdateTriggeredSkipEvent(Scheduler& s, TriggerTable table, int index);
// For a one-time entry that is no longer where its run started (the tables changed while its
// actions waited): its rows are deleted all the same (those still as the run's copy `ev` read
// them) and the first Events entry with its Number leaves memory.
void DeleteOneTimeEventByNumber(Scheduler& s, const AutomationEvent& ev);
// A skip row re-armed without a run at its entry (its occurrences passed while the engine was away).
void RearmSkipEventByNumber(Scheduler& s, const AutomationEvent& ev);
// Removes the Events entry `index`; the pointer moves back with the entries before it so that
// it still designates the same event.
void RemoveFromEvents(Scheduler& s, int32_t index);

}  // namespace tarvo
