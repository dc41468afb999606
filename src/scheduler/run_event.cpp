#include "scheduler/run_event.h"

#include "base/status_view.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/conditions.h"
#include "scheduler/time_arith.h"
#include "scheduler/upkeep.h"
#include "store/event_store.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

// The index of the triggered entry carrying `id`; -1 when it is no longer in its table.
int indexOf(const std::vector<AutomationEvent>& list, uint32_t id) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].id == id) return static_cast<int>(i);
    return -1;
}

int indexOfNumber(const std::vector<AutomationEvent>& list, int16_t number) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].Number == number) return static_cast<int>(i);
    return -1;
}

// A one-time event whose run has begun: out of the tables, and out of every load until its run
// (or its delayed run) has been decided.
void holdBackOneTime(Scheduler& s, const RunTarget& t, const AutomationEvent& ev) {
    s.store.awaitingDelete.push_back(DeleteChange(ev));
    if (!t.timed) {
        auto& list = s.triggerTable(t.table);
        const int index = indexOf(list, ev.id);
        if (index >= 0) list.erase(list.begin() + index);
    }
    const int index = t.timed ? indexOf(s.Events, ev.id) : indexOfNumber(s.Events, ev.Number);
    if (index >= 0) RemoveFromEvents(s, index);
}

}  // namespace

bool WaitsForTheLink(const Scheduler& s, const QDateTime& due) {
    const QDateTime holdEnds = s.resumedAt.addMSecs(kResumeHoldMs);
    if (!s.resumedAt.isValid() || due >= holdEnds || s.CurrentUtc >= holdEnds) return false;
    const SwitcherLink& master = s.switcher.master();
    return !(master.Online && master.Connected);
}

RecordedDecision::RecordedDecision(Scheduler& s, const RunStart& start) : s_(s), id_(s.record.beginRun(start)) {}

RecordedDecision::~RecordedDecision() {
    if (id_ != 0) s_.record.abandonRun(id_);
}

void RecordedDecision::end() {
    s_.record.endRun(id_);
    id_ = 0;
}

std::optional<PendingRowChange> OwedChange(const AutomationEvent& ev) {
    if (ev.Active == kRunOnce) return DeleteChange(ev);
    if (ev.Active == kSkipNext) return ReArmChange(ev);
    return std::nullopt;
}

Task<RunResult> RunOneEvent(Scheduler& s, RunTarget t) {
    // A copy: the tables may change while the actions wait.
    const int startIndex = indexOf(t.timed ? s.Events : s.triggerTable(t.table), t.id);
    AutomationEvent ev = t.timed ? at(s.Events, startIndex) : at(s.triggerTable(t.table), startIndex);
    RunResult result;

    bool runs = false;
    int reasonSelector = ev.Condition;
    if (ev.Active == kInactive || ev.Active == kSkipNext) {
        runs = false;
    } else if (t.timed && ev.Active != kActive && ev.Active != kRunOnce) {
        runs = false;
    } else if (s.switcher.master().Online && s.switcher.master().Connected) {
        const ConditionCheck c = CheckConditions(s, ev);
        runs = c.holds;
        if (!c.holds) reasonSelector = c.failedSelector;
    }
    // A full delayed queue refuses the run, which is then decided as a refused condition is.
    const bool queueFull = runs && ev.Delay != 0 && s.DelayedEvents.size() >= kMaxDelayedEvents;
    if (queueFull) runs = false;
    const bool queued = runs && ev.Delay != 0;

    // Recorded before anything of it takes effect: a restart never decides it again, and what it
    // owes the database is done then if it is not done now. A queued run's one-time delete waits
    // with its delayed entry, which is recorded in the same transaction.
    std::optional<EngineRecord::Batch> queuing;
    if (queued) queuing.emplace(s.record, true);
    RecordedDecision decision(s, RunStart{ev.Number, ev.Title, runs && !queued,
                                          queued ? std::nullopt : OwedChange(ev), t.occurrence,
                                          t.occurrenceAt});

    if (ev.Active == kSkipNext) {
        // Nothing has waited since the copy: the entry is still where it was.
        if (t.timed) {
            s.NextEventIndex = static_cast<int16_t>(startIndex);
            UpdateSkipEvent(s);
            ev.Active = at(s.Events, startIndex).Active;
        } else {
            UpdateTriggeredSkipEvent(s, t.table, startIndex);
            ev.Active = at(s.triggerTable(t.table), startIndex).Active;
        }
    }
    result.active = ev.Active;

    // A one-time event leaves the tables now, so that no trigger and no reload runs it a second
    // time meanwhile, and the database once this run (or its delayed run) has been decided.
    const bool once = ev.Active == kRunOnce;
    if (once) holdBackOneTime(s, t, ev);

    if (queued) {
        AddDelayedEvent(s, ev, once);
        result.queued = true;
        decision.end();
        queuing.reset();
        co_return result;
    }

    bool outcome = false;
    if (runs) {
        outcome = co_await RunActionSequence(s, ev, t.timed ? RunnerKind::Timed : RunnerKind::Triggered,
                                             t.reportedNs);
    } else {
        QString reason = queueFull ? kNotExecuted + kDelayQueueFull : LinkRefusal(s.switcher);
        if (reason.isEmpty()) reason = ConditionRefusal(reasonSelector);
        if (!reason.isEmpty()) LogRefusal(s, ev.Title, QStringView(reason).mid(kNotExecuted.size()));
    }
    CountDecision(s, ev, outcome);

    const QString time = t.timed ? ev.Time.toString() : NowText(s.clock);
    s.view.addHistoryLine({ev.DayName, time, HistoryTitle(ev, outcome)}, HistoryIsRed(ev, outcome));

    if (once) s.store.deleteHeldBack(s.logs, ev.Number);
    decision.end();
    co_return result;
}

bool StartRun(Scheduler& s, const AutomationEvent& ev, const QString& historyTime, Task<> run, RunSet::Room room) {
    if (s.runs.start(std::move(run), room)) return true;
    if (s.runs.stopped()) return false;  // the program is ending: nothing more is logged
    LogRefusal(s, ev.Title, kTooManyRuns);
    ++s.counts.refused;
    s.view.addHistoryLine({ev.DayName, historyTime, ev.Title + QStringLiteral(" - Not Executed")}, true);
    return false;
}

}  // namespace tarvo
