// Timed events: each occurrence decided once, at its second.
#pragma once

#include "base/task.h"

namespace tarvo {

class Scheduler;

// How late an occurrence may still run: three minutes after its second. Later than that it is
// written off as missed.
constexpr int kCatchUpMs = 180000;

// The timed run: decides every occurrence that is due, one after the other in the order they
// fall (ties in table order): run or refused when within its catch-up window, missed when not.
// Its actions may wait; the occurrences that fall due meanwhile are decided when it goes on.
Task<> ExecuteEvent(Scheduler& s);

// The due-event step of the tick, and of the alarm set for the next occurrence: starts the timed
// run when the next occurrence is due, and otherwise moves the horizon up to now and sets the
// alarm for the next occurrence's second.
void TimedStep(Scheduler& s);

// Sets (or moves) the alarm for the next occurrence's moment.
void ArmDueAlarm(Scheduler& s);

}  // namespace tarvo
