#pragma once

#include <cstdint>

#include <QString>

namespace tarvo {

class Scheduler;

// Chooses the earliest timed occurrence after the horizon that is not decided yet (ties in table
// order) as the next one, and returns its row's index; 0 when the table holds no timed row (the
// pointer then designates nothing the clock runs).
int16_t DetermineNextEvent(Scheduler& s);
// Shows Events(NextEventIndex) in the next-event list ("No Events" when there are none), and the
// date it next falls on.
void DisplayNextEvent(Scheduler& s);
// "<count> Total Events", the event-count panel.
QString TotalEventsText(long long count);
// The event-count panel after an entry left the table between loads.
void DisplayEventCount(Scheduler& s);

}  // namespace tarvo
