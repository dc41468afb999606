// The run decision and its consequences, shared by the timed runner and the three triggered
// runners: active, skip, one-time, link and condition checks, the delay, the actions, the
// refusal reason, the history line and the one-time and skip upkeep.
#pragma once

#include <optional>

#include "base/task.h"
#include "scheduler/scheduler.h"
#include "store/engine_record.h"

namespace tarvo {

struct RunTarget {
    bool timed = true;                         // an entry of Events
    TriggerTable table = TriggerTable::Opto;  // triggered runs: the entry of this table
    uint32_t id = 0;                           // carrying this id
    // A timed run: the occurrence it decides, and its moment (UTC).
    std::optional<OccurrenceKey> occurrence;
    QDateTime occurrenceAt;
    // A run started by an opto or relay report: when the report was read (MonotonicNs).
    int64_t reportedNs = 0;
};

// A decision's entry in the engine record, written before anything of it takes effect and
// ended with it. Destroyed before its end (a run ended where it waited at exit), what it owed
// the database is kept among the changes still owed and it is not reported as interrupted.
class RecordedDecision {
public:
    RecordedDecision(Scheduler& s, const RunStart& start);
    ~RecordedDecision();
    RecordedDecision(const RecordedDecision&) = delete;
    RecordedDecision& operator=(const RecordedDecision&) = delete;
    void end();

private:
    Scheduler& s_;
    int64_t id_;
};

// What the decision on `ev` owes the database: a one-time row's delete (naming, for a timed row,
// the Day and Time decided), a skip row's re-arm; nothing for other rows.
std::optional<PendingRowChange> OwedChange(const AutomationEvent& ev);

// Runs one event; returns its Active value as it stands after a skip update.
struct RunResult {
    bool queued = false;  // it had a delay and went to the delayed queue
    int16_t active = 0;
};
Task<RunResult> RunOneEvent(Scheduler& s, RunTarget target);

// Starts `run` for `ev`. When too many runs are in progress already, the event is refused
// instead: Title + " not executed - Too Many Runs" in the activity log and a red history line
// (with `historyTime` in its time column). False when it did not start.
bool StartRun(Scheduler& s, const AutomationEvent& ev, const QString& historyTime, Task<> run,
              RunSet::Room room = RunSet::Room::Shared);

// After a restart, what fell due before it or falls due in its first kResumeHoldMs (at `due`)
// waits for the switcher link for up to that long, so that it is run late rather than refused
// for a link that is still coming up.
constexpr int kResumeHoldMs = 15000;
bool WaitsForTheLink(const Scheduler& s, const QDateTime& due);

inline const QString kTooManyRuns = QStringLiteral("Too Many Runs");
inline const QString kMissed = QStringLiteral("Missed");
inline const QString kDelayQueueFull = QStringLiteral("Delay Queue Full");

}  // namespace tarvo
