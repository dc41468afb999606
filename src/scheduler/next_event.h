#pragma once

#include <cstdint>

namespace tarvo {

class Engine;

// The first timed row on the clock that is due today at or after the current second or on a
// later day of this week; failing that, the first such row of the week; failing that, 0.
int16_t DetermineNextEvent(Engine& e);
// Shows Events(NextEventIndex) in the next-event list ("No Events" when there are none).
void DisplayNextEvent(Engine& e);

}  // namespace tarvo
