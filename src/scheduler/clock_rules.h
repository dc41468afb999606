// The clock as the schedule sees it. Time goes on while the tick counter does; a change of the
// wall clock is told apart from it by the counter, and a change of daylight saving is no change
// at all (the moment goes on; only its local reading jumps).
//
// - Set forward by five minutes or more: the occurrences passed over are not run.
// - Set back: the next event is chosen afresh, and the occurrences from the new time on run
//   again when it comes round to them.
// - Anything less forward is ordinary progress: what fell due runs late within its catch-up
//   window, or is written off as missed.
// Each change writes one activity-log line with the old and the new time.
#pragma once

#include <QDateTime>
#include <QString>

namespace tarvo {

class Scheduler;

// A step of the wall clock against the tick counter of this much, forward, is a change.
constexpr int kForwardChangeMs = 5 * 60 * 1000;
// Backward, anything from this much on.
constexpr int kBackwardChangeMs = 1000;

// Samples the clock and applies the rules above.
void StepClock(Scheduler& s);

// The activity-log lines of a change.
QString ClockSetForwardText(const QDateTime& from, const QDateTime& to, int passedOver);
QString ClockSetBackText(const QDateTime& from, const QDateTime& to);

}  // namespace tarvo
