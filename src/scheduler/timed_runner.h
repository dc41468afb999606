// Timed events: each occurrence decided once, at its second.
#pragma once

#include <vector>

#include <QDateTime>

#include "base/task.h"
#include "scheduler/occurrence.h"

namespace tarvo {

class Scheduler;

// How late an occurrence may still run: three minutes after its second. Later than that it is
// written off as missed.
constexpr int kCatchUpMs = 180000;

// Decides every occurrence due at the sampled moment, in the order they fall (ties in table
// order): each within its catch-up window starts a run of its own (which is refused only for its
// own reasons, never for room), each older one is written off as missed. False when what fell due
// before a restart waits for the switcher link, or when a backlog is left for the next turn of the
// loop (a few late occurrences are decided a turn); nothing after it is decided yet.
bool DecideDueOccurrences(Scheduler& s);

// The due-event step of the tick, and of the alarm set for the next occurrence: decides what is
// due, moves the horizon up to now and sets the alarm for the next occurrence's second.
void TimedStep(Scheduler& s);

// Sets (or moves) the alarm for the next occurrence's moment.
void ArmDueAlarm(Scheduler& s);

// Beyond this absence the occurrences passed over are counted in one line, not written one by one.
constexpr qint64 kLongAbsenceMs = 7LL * 24 * 3600 * 1000;

// Takes over from the run before (the engine record's horizon and decided occurrences) at the
// sampled moment: what fell due since then is decided by the usual rules as soon as the timed
// step runs (late when less than kCatchUpMs late, missed when older). After more than
// kLongAbsenceMs away, the occurrences older than the catch-up window are passed over at once
// with their upkeep, in one activity-log line.
void ResumeTimedRunner(Scheduler& s, const QDateTime& horizon, const std::vector<OccurrenceKey>& decided);
inline const QString kMissedWhileStopped = QStringLiteral(" Events not executed - Missed While Stopped");

}  // namespace tarvo
