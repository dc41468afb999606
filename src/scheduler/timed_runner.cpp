#include "scheduler/timed_runner.h"

#include "base/clock.h"
#include "base/status_view.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/clock_rules.h"
#include "scheduler/next_event.h"
#include "scheduler/run_event.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"
#include "scheduler/upkeep.h"
#include "store/engine_record.h"

namespace tarvo {

namespace {

// An occurrence that can no longer run in time: it counts as its occurrence all the same, so a
// skip is used up and a one-time row deleted. An inactive row had nothing to miss.
void writeOffMissed(Scheduler& s, const AutomationEvent& ev, const Occurrence& due) {
    RecordedDecision decision(s, RunStart{ev.Number, ev.Title, false, OwedChange(ev), KeyOf(due), due.at});
    if (ev.Active != kInactive) {
        WriteActivityLog(s.logs, ev.Title + kNotExecuted + kMissed);
        ++s.counts.missed;
    } else {
        ++s.counts.inactive;
    }
    s.view.addHistoryLine({ev.DayName, ev.Time, HistoryTitle(ev, false)}, HistoryIsRed(ev, false));
    if (ev.Active == kSkipNext)
        UpdateSkipEvent(s);
    else if (ev.Active == kRunOnce)
        DeleteOneTimeEvent(s);
    decision.end();
}

// The horizon moves up to `now` once nothing at or before it is left to decide: what is passed
// needs no record any more.
void moveHorizon(Scheduler& s, const QDateTime& now) {
    // Before the first table is read (a start that met a lock) nothing has been looked at: what
    // falls due meanwhile is decided once the table is there.
    if (!s.tableRead || now <= s.horizon) return;
    s.horizon = now;
    const QTimeZone zone = s.clock.zone();
    for (auto it = s.decided.begin(); it != s.decided.end();) {
        const auto& [number, day, seconds] = *it;
        if (OccurrenceInstant(QDate::fromJulianDay(day), seconds, zone) <= s.horizon)
            it = s.decided.erase(it);
        else
            ++it;
    }
}

// One occurrence's run: started at its second, whatever earlier runs still wait for.
Task<> runOccurrence(Scheduler& s, Occurrence due) {
    try {
        RunTarget target;
        target.id = due.id;
        target.occurrence = KeyOf(due);
        target.occurrenceAt = due.at;
        co_await RunOneEvent(s, target);
    } catch (...) {
        ReportError(s.logs, QStringLiteral("Error Executing Event"), CurrentFailure(std::current_exception()));
    }
}

// A backlog (what fell due while the engine was away, or while a start held it for the link) is
// decided a few occurrences a turn of the loop: each decision flushes its entry in the record to
// the disk first, and a long backlog decided in one go held the loop (the keep-alives, the bytes
// received, the tick) for as long. The alarm, set for the passed moment, takes up the rest at the
// next turn, and the next event is shown once the backlog is done. What is due now (and a
// same-second group with it) is decided whole.
constexpr int kBacklogSlice = 4;
constexpr qint64 kBacklogLateMs = 1000;

}  // namespace

bool DecideDueOccurrences(Scheduler& s) {
    const QDateTime now = s.CurrentUtc;
    bool decidedAny = false;
    int backlog = 0;
    // The next occurrence is current here (the step keeps it so); it is chosen afresh after each
    // decision, which may have started a run that changed the table.
    for (;; s.NextEventIndex = DetermineNextEvent(s)) {
        if (!s.next || s.next->at > now) break;
        const Occurrence due = *s.next;
        if (WaitsForTheLink(s, due.at)) {
            if (decidedAny) DisplayNextEvent(s);
            return false;
        }
        const qint64 lateMs = due.at.msecsTo(now);
        if (lateMs > kBacklogLateMs && backlog++ == kBacklogSlice) return false;
        s.decided.insert(KeyOf(due));
        decidedAny = true;
        const AutomationEvent ev = s.Events.at(static_cast<std::size_t>(due.index));
        if (lateMs <= kCatchUpMs) {
            s.counts.decisionLateness.observe(static_cast<double>(lateMs) / 1000.0);
            // Each occurrence a run of its own, in the order they fall (a same-second group in
            // table order): one that waits (a message, an upload) holds neither the rows after it
            // nor the clock. The clock's runs are never refused for room.
            StartRun(s, ev, ev.Time, runOccurrence(s, due), RunSet::Room::Reserved);
        } else {
            writeOffMissed(s, ev, due);
        }
    }
    if (decidedAny) DisplayNextEvent(s);
    return true;
}

namespace {

// The next occurrence still designates its row: a load or a delete since it was chosen (rows
// come and go, indices move) makes it choose again.
void keepNextCurrent(Scheduler& s) {
    const bool current = s.next && s.next->index < s.TotalEvents() &&
                         s.Events[static_cast<std::size_t>(s.next->index)].id == s.next->id;
    if (current || (!s.next && s.TotalEvents() == 0)) return;
    const int16_t before = s.NextEventIndex;
    s.NextEventIndex = DetermineNextEvent(s);
    if (s.NextEventIndex != before) DisplayNextEvent(s);
}

}  // namespace

void TimedStep(Scheduler& s) {
    if (s.runs.stopped()) return;
    keepNextCurrent(s);
    if (DecideDueOccurrences(s)) moveHorizon(s, s.CurrentUtc);
    ArmDueAlarm(s);
}

namespace {

// How many occurrences of a weekly row fall after `after` and at or before `until`.
int occurrencesBetween(const AutomationEvent& ev, const QDateTime& after, const QDateTime& until, const QTimeZone& zone) {
    const std::optional<int> seconds = EventSeconds(ev.Time.view());
    if (!seconds) return 0;
    QDate date = after.toTimeZone(zone).date().addDays(-1);
    while (DayIndexOf(date) != ev.Day) date = date.addDays(1);
    int n = 0;
    for (;; date = date.addDays(7)) {
        const QDateTime at = OccurrenceInstant(date, *seconds, zone);
        if (at > until) break;
        if (at > after) ++n;
    }
    return n;
}

void passOverLongAbsence(Scheduler& s, const QDateTime& cutoff) {
    const QTimeZone zone = s.clock.zone();
    qint64 passed = 0;
    std::vector<AutomationEvent> once, skips;
    for (const AutomationEvent& ev : s.Events) {
        if (!IsTimedRow(ev) || ev.Active == kInactive) continue;
        const int n = occurrencesBetween(ev, s.horizon, cutoff, zone);
        if (n == 0) continue;
        if (ev.Active == kRunOnce) {
            passed += 1;  // gone after its first
            once.push_back(ev);
        } else {
            passed += n;
            if (ev.Active == kSkipNext) skips.push_back(ev);
        }
    }
    WriteActivityLog(s.logs, QString::number(passed) + kMissedWhileStopped);
    s.counts.missed += static_cast<uint64_t>(passed);
    for (const AutomationEvent& ev : skips) RearmSkipEventByNumber(s, ev);
    for (const AutomationEvent& ev : once) DeleteOneTimeEventByNumber(s, ev);
    s.horizon = cutoff;
    s.decided.clear();
}

}  // namespace

void ResumeTimedRunner(Scheduler& s, const QDateTime& horizon, const std::vector<OccurrenceKey>& decided) {
    const QDateTime now = s.CurrentUtc;
    s.resumedAt = now;
    s.horizon = horizon;
    s.decided = DecidedOccurrences(decided.begin(), decided.end());
    if (horizon.msecsTo(now) > kLongAbsenceMs) passOverLongAbsence(s, now.addMSecs(-kCatchUpMs));
    s.record.advance(s.horizon, now);
}

void ArmDueAlarm(Scheduler& s) {
    keepNextCurrent(s);
    if (s.runs.stopped() || !s.next) {
        if (s.dueAlarm) s.clock.cancelAlarm(s.dueAlarm);
        s.dueAlarm = 0;
        return;
    }
    // An occurrence a start holds for the link is looked at again by each tick (which sees the
    // link come up) and at the end of the hold; an alarm at its passed moment would fire at once,
    // again and again, for the whole hold.
    const QDateTime at = WaitsForTheLink(s, s.next->at) ? s.resumedAt.addMSecs(kResumeHoldMs) : s.next->at;
    if (s.dueAlarm && s.dueAlarmAt == at) return;  // set for this moment already
    if (s.dueAlarm) s.clock.cancelAlarm(s.dueAlarm);
    s.dueAlarmAt = at;
    s.dueAlarm = s.clock.setAlarmAt(at, [&s] {
        s.dueAlarm = 0;
        StepClock(s);
        TimedStep(s);
    });
}

}  // namespace tarvo
