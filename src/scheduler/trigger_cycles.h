// Crosspoint-triggered rows that start one another without end: a row whose take makes the change
// another row's trigger waits for, whose own take makes the change the first one waits for, and so
// on round. Each run then sends a take that starts the next, as fast as the switcher reports them.
#pragma once

#include <vector>

#include "store/automation_event.h"

namespace tarvo {

// The groups of rows (indices into `rows`, ascending; each group in the order of its first row)
// that can keep one another running. `rows` as read, in Number order; only the rows the engine
// loads and runs are looked at. A group is named when every trigger in it can come again from
// the group's own takes (a source routed is taken off again, and so on); the conditions of the
// rows and the switcher's state may still stop it, so this is what can happen, not what will.
std::vector<std::vector<int>> CrosspointTriggerCycles(const std::vector<AutomationEvent>& rows);

}  // namespace tarvo
