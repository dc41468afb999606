// Conditions on the switcher's state, and the queue of delayed events.
#pragma once


#include <QString>

namespace tarvo {

class Scheduler;
struct AutomationEvent;
struct DelayedEvent;

struct ConditionCheck {
    bool holds = true;
    // The selector of the condition that failed (Condition or Condition2), for the refusal text.
    int failedSelector = 0;
};

// Both conditions of the event, evaluated on the master switcher's map and the relay and opto
// states. A failure while evaluating reports "Error Verifiying Conditional Requirements".
ConditionCheck CheckConditions(Scheduler& s, const AutomationEvent& ev);
bool VerifyConditions(Scheduler& s, const AutomationEvent& ev);

// " not executed - ..." for a condition selector 1..6; empty for 0 and other values.
QString ConditionRefusal(int selector);

// Queues a copy of the event, due Delay seconds of elapsed time after the sampled clock. The
// queue is kept in order of the due moment; entries due at the same moment keep their queuing
// order. `deleteAfter`: a one-time event, deleted once its delayed run has been decided. The
// caller keeps the queue within kMaxDelayedEvents (RunOneEvent refuses a run past it).
void AddDelayedEvent(Scheduler& s, const AutomationEvent& ev, bool deleteAfter = false);
// Takes the entry at the front of the queue off it and starts its run. The entry leaves the
// queue before its actions start, so a run that fails is never repeated.
void ExecuteDelayedEvent(Scheduler& s);
// Starts a run for every entry at the front of the queue that has fallen due; each entry is a
// run of its own.
void RunDueDelayedEvents(Scheduler& s);
// The delayed entries the previous run left (read from the engine record): each runs at its due
// moment, or is written off as missed when that lies more than the catch-up window back. Their
// one-time rows are to be among the store's awaitingDelete already.
void RestoreDelayedEvents(Scheduler& s, std::vector<DelayedEvent> entries);

}  // namespace tarvo
