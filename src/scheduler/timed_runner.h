#pragma once

#include "base/task.h"

namespace tarvo {

class Scheduler;

// Runs Events(NextEventIndex), which the tick found due, and every further event due at the
// same moment; moves the pointer on and may start the hold. While it runs (its actions may
// wait) the tick's due-event step is busy.
Task<> ExecuteEvent(Scheduler& s);

}  // namespace tarvo
