#include "scheduler/conditions.h"

#include "base/status_view.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/run_event.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"
#include "scheduler/timed_runner.h"
#include "scheduler/upkeep.h"
#include "store/event_store.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

bool sourceFeeds(Scheduler& s, int source, int dest) {
    const OutputMap& m = at(s.switcher.master().Map, static_cast<long long>(dest) - 1);
    const int count = OrdinarySourceCount(m);
    for (int k = 0; k < count; ++k)
        if (at(m.Sources, k) + 1 == source) return true;
    return false;
}

bool stateIs(const std::vector<uint8_t>& table, int number, int value) {
    return at(table, static_cast<long long>(number) - 1) == value;
}

bool conditionHolds(Scheduler& s, int selector, int source, int dest, int relay, int opto) {
    switch (selector) {
        case 1:
            return source != 0 && dest != 0 && sourceFeeds(s, source, dest);
        case 2:
            return source != 0 && dest != 0 && !sourceFeeds(s, source, dest);
        case 3:
            return relay != 0 && stateIs(s.switcher.RelayState, relay, 1);
        case 4:
            return relay != 0 && stateIs(s.switcher.RelayState, relay, 0);
        case 5:
            return opto != 0 && stateIs(s.switcher.OptoState, opto, 1);
        case 6:
            return opto != 0 && stateIs(s.switcher.OptoState, opto, 0);
        default:
            return true;  // 0, and any value outside 0..6
    }
}

// The sampled moment to the second (a delay counts from the second the event was decided in).
QDateTime sampledSecond(const Scheduler& s) {
    return s.CurrentUtc.addMSecs(-s.CurrentUtc.time().msec());
}

}  // namespace

QString ConditionRefusal(int selector) {
    static const char* const kReasons[] = {"Crosspoint inactive", "Crosspoint active", "Relay inactive",
                                           "Relay active",        "Opto inactive",     "Opto active"};
    if (selector < 1 || selector > 6) return QString();
    return kNotExecuted + QLatin1String(kReasons[selector - 1]);
}

ConditionCheck CheckConditions(Scheduler& s, const AutomationEvent& ev) {
    ConditionCheck check;
    check.failedSelector = ev.Condition;
    Guarded(s.logs, QStringLiteral("Error Verifiying Conditional Requirements"), [&] {
        check.holds = false;
        if (!conditionHolds(s, ev.Condition, ev.ReqSource, ev.ReqDest, ev.ReqRelay, ev.ReqOpto)) return;
        check.failedSelector = ev.Condition2;
        if (!conditionHolds(s, ev.Condition2, ev.ReqSource2, ev.ReqDest2, ev.ReqRelay2, ev.ReqOpto2)) return;
        check.holds = true;
        check.failedSelector = 0;
    });
    return check;
}

bool VerifyConditions(Scheduler& s, const AutomationEvent& ev) { return CheckConditions(s, ev).holds; }

void AddDelayedEvent(Scheduler& s, const AutomationEvent& ev, bool deleteAfter) {
    Guarded(s.logs, QStringLiteral("Error Adding Delayed Event"), [&] {
        // A negative delay is due at once; delays of an hour or more are simply added.
        const QDateTime due = sampledSecond(s).addSecs(std::max<int>(ev.Delay, 0));
        const QDateTime local = due.toTimeZone(s.clock.zone());
        DelayedEvent entry{ev, due, deleteAfter};
        entry.event.Day = DayIndexOf(local.date());
        entry.event.Time = FormatTimeOfDay(local.time().msecsSinceStartOfDay() / 1000);
        entry.recordId = s.record.addDelayed(due, deleteAfter, entry.event);
        s.DelayedEvents.insert(std::move(entry));
    });
}

namespace {

const QString kDelayedLocation = QStringLiteral("Error Executing Delayed Event");

RunStart delayedStart(const DelayedEvent& entry, bool acting) {
    return RunStart{entry.event.Number, entry.event.Title, acting,
                    entry.deleteAfter ? std::optional(HeldBackDelete(entry.event.Number)) : std::nullopt, std::nullopt, QDateTime(),
                    entry.recordId};
}

Task<> runDelayed(Scheduler& s, DelayedEvent entry) {
    // The link is asked at the due moment as every runner asks it: what was decided when the
    // entry was queued says nothing of a switcher that has gone since.
    const QString linkRefusal = LinkRefusal(s.switcher);
    // Taken off the queue in the record in the same write that records the run.
    RecordedDecision decision(s, delayedStart(entry, linkRefusal.isEmpty()));
    const AutomationEvent& ev = entry.event;
    const bool deleteAfter = entry.deleteAfter;
    try {
        bool outcome = false;
        if (linkRefusal.isEmpty())
            outcome = co_await RunActionSequence(s, ev, RunnerKind::Triggered);
        else
            LogRefusal(s, ev.Title, QStringView(linkRefusal).mid(kNotExecuted.size()));
        CountDecision(s, ev, outcome);
        s.view.addHistoryLine({ev.DayName, NowText(s.clock), HistoryTitle(ev, outcome)}, HistoryIsRed(ev, outcome));
    } catch (...) {
        ReportError(s.logs, kDelayedLocation, CurrentFailure(std::current_exception()));
    }
    if (deleteAfter) s.store.deleteHeldBack(s.logs, ev.Number);
    decision.end();
}

// A delayed entry decided without running (refused for room, or missed while the engine was
// stopped): off the queue, and a one-time row's delete done, in the order the record guards.
void decideWithoutRun(Scheduler& s, const DelayedEvent& entry, const QString& refusal) {
    RecordedDecision decision(s, delayedStart(entry, false));
    // Only a run missed while the engine was stopped comes here with a reason, and it is shown in
    // the history at its due second as a timed occurrence written off is; one refused for room
    // is counted and shown where it was refused.
    if (!refusal.isEmpty()) {
        const AutomationEvent& ev = entry.event;
        WriteActivityLog(s.logs, ev.Title + kNotExecuted + refusal);
        ++s.counts.missed;
        s.view.addHistoryLine({ev.DayName, ev.Time, HistoryTitle(ev, false)}, HistoryIsRed(ev, false));
    }
    if (entry.deleteAfter) s.store.deleteHeldBack(s.logs, entry.event.Number);
    decision.end();
}

}  // namespace

void ExecuteDelayedEvent(Scheduler& s) {
    Guarded(s.logs, kDelayedLocation, [&] {
        if (s.DelayedEvents.empty()) return;
        // Taken off the queue first: whatever happens while it runs (a failure, or another event
        // queued meanwhile), it runs once.
        const DelayedEvent entry = s.DelayedEvents.takeFront();
        // Refused for too many runs is decided too (StartRun has logged why).
        // A timed row's delayed run is the clock's, and is never refused for room.
        const RunSet::Room room = entry.event.Type == kTimed ? RunSet::Room::Reserved : RunSet::Room::Shared;
        if (!StartRun(s, entry.event, NowText(s.clock), runDelayed(s, entry), room) && !s.runs.stopped())
            decideWithoutRun(s, entry, QString());
    });
}

void RunDueDelayedEvents(Scheduler& s) {
    if (s.DelayedEvents.empty()) return;
    const QDateTime now = s.CurrentUtc;
    while (!s.DelayedEvents.empty() && s.DelayedEvents.front().due <= now &&
           !WaitsForTheLink(s, s.DelayedEvents.front().due))
        ExecuteDelayedEvent(s);
}

void RestoreDelayedEvents(Scheduler& s, std::vector<DelayedEvent> entries) {
    const QDateTime now = s.CurrentUtc;
    for (DelayedEvent& entry : entries) {
        if (entry.due.msecsTo(now) > kCatchUpMs) {
            Guarded(s.logs, kDelayedLocation, [&] { decideWithoutRun(s, entry, kMissed); });
            continue;
        }
        s.DelayedEvents.insert(std::move(entry));
    }
}

}  // namespace tarvo
