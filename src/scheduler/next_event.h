#pragma once

#include <cstdint>

namespace tarvo {

class Scheduler;
struct AutomationEvent;

// The first timed row on the clock that is due today at or after the current second or on a
// later day of this week; failing that, the first such row of the week; failing that, 0.
int16_t DetermineNextEvent(Scheduler& s);
// Shows Events(NextEventIndex) in the next-event list ("No Events" when there are none).
void DisplayNextEvent(Scheduler& s);

// The runner notes each timed row it decides at its exact second; DetermineNextEvent passes over
// a row so noted while the clock is still in that second.
void NoteDecidedNow(Scheduler& s, const AutomationEvent& ev);
bool DecidedThisSecond(const Scheduler& s, const AutomationEvent& ev);

}  // namespace tarvo
