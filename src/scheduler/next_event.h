#pragma once

#include <cstdint>

namespace tarvo {

class Scheduler;

// Chooses the earliest timed occurrence after the horizon that is not decided yet (ties in table
// order) as the next one, and returns its row's index; 0 when the table holds no timed row (the
// pointer then designates nothing the clock runs).
int16_t DetermineNextEvent(Scheduler& s);
// Shows Events(NextEventIndex) in the next-event list ("No Events" when there are none).
void DisplayNextEvent(Scheduler& s);

}  // namespace tarvo
