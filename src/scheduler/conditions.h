// Conditions on the switcher's state, and the queue of delayed events.
#pragma once

#include <QString>

namespace tarvo {

class Engine;
struct AutomationEvent;

struct ConditionCheck {
    bool holds = true;
    // The selector of the condition that failed (Condition or Condition2), for the refusal text.
    int failedSelector = 0;
};

// Both conditions of the event, evaluated on the master switcher's map and the relay and opto
// states. A failure while evaluating reports "Error Verifiying Conditional Requirements".
ConditionCheck CheckConditions(Engine& e, const AutomationEvent& ev);
bool VerifyConditions(Engine& e, const AutomationEvent& ev);

// " not executed - ..." for a condition selector 1..6; empty for 0 and other values.
QString ConditionRefusal(int selector);

// Queues a copy of the event, due Delay seconds after the sampled clock. The queue is kept in
// order of the true due moment; entries due at the same moment keep their queuing order.
void AddDelayedEvent(Engine& e, const AutomationEvent& ev);
// Runs the entry at `position` and removes it from the queue. The entry leaves the queue before
// its actions start, so a run that fails is never repeated.
void ExecuteDelayedEvent(Engine& e, int position);
// Runs every entry at the front of the queue that has fallen due.
void RunDueDelayedEvents(Engine& e);

}  // namespace tarvo
