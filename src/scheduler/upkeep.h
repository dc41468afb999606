// One-time and skip events: a skip event becomes active after the occurrence it skipped; a
// one-time event is deleted after its occurrence. Each procedure changes the database in one
// transaction and the tables in memory, then records the file's new modification time so the
// engine's own change does not look like an outside edit.
#pragma once

#include "engine/engine.h"

namespace tarvo {

void UpdateSkipEvent(Engine& e);
void DeleteOneTimeEvent(Engine& e);
void UpdateTriggeredSkipEvent(Engine& e, TriggerTable table, int index);
void DeleteTriggeredOneTimeEvent(Engine& e, TriggerTable table, int index);
// For a one-time entry that is no longer where its run started (the tables changed while its
// actions waited): its rows are deleted all the same and the first Events entry with its Number
// leaves memory.
void DeleteOneTimeEventByNumber(Engine& e, int16_t number);

// Writes the changes that could not be written before; called before each look at the file.
void RetryPendingUpkeep(Engine& e);
// Applies the changes still waiting to be written to a freshly loaded event table.
void ApplyPendingUpkeep(Engine& e);

}  // namespace tarvo
