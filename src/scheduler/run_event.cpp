#include "scheduler/run_event.h"

#include "engine/status_view.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/conditions.h"
#include "scheduler/time_arith.h"
#include "scheduler/upkeep.h"

namespace tarvo {

namespace {

AutomationEvent& entryOf(Engine& e, const RunTarget& t) {
    if (t.timed) return at(e.Events, e.NextEventIndex);
    if (t.index >= e.triggerCount(t.table)) failSubscript();
    return at(e.triggerTable(t.table), t.index);
}

// The entry may have moved while the actions waited (a triggered delete, a reload from the
// setup dialog): find it again by its Number before changing anything for it.
bool relocate(Engine& e, RunTarget& t, int16_t number) {
    if (t.timed) {
        if (e.TotalEvents > 0 && e.NextEventIndex >= 0 && e.NextEventIndex < e.TotalEvents &&
            e.Events[static_cast<std::size_t>(e.NextEventIndex)].Number == number)
            return true;
        return false;
    }
    const auto& list = e.triggerTable(t.table);
    const int32_t count = e.triggerCount(t.table);
    if (t.index < count && list[static_cast<std::size_t>(t.index)].Number == number) return true;
    for (int32_t i = 0; i < count; ++i) {
        if (list[static_cast<std::size_t>(i)].Number == number) {
            t.index = i;
            return true;
        }
    }
    return false;
}

}  // namespace

RunResult RunOneEvent(Engine& e, const RunTarget& target) {
    RunTarget t = target;
    AutomationEvent ev = entryOf(e, t);  // a copy: the tables may change under a wait
    RunResult result;

    bool runs = false;
    int reasonSelector = ev.Condition;
    if (ev.Active == kInactive) {
        runs = false;
    } else if (ev.Active == kSkipNext) {
        if (t.timed)
            UpdateSkipEvent(e);
        else
            UpdateTriggeredSkipEvent(e, t.table, t.index);
        ev.Active = entryOf(e, t).Active;  // nothing waited since the copy: same entry
        runs = false;
    } else if (t.timed && ev.Active != kActive && ev.Active != kRunOnce) {
        runs = false;
    } else if (e.SwitcherOnline && e.SwitcherConnected) {
        const ConditionCheck c = CheckConditions(e, ev);
        runs = c.holds;
        if (!c.holds) reasonSelector = c.failedSelector;
    }
    result.active = ev.Active;

    if (runs && ev.Delay != 0) {
        AddDelayedEvent(e, ev);
        result.queued = true;
        return result;
    }

    bool outcome = false;
    if (runs) {
        outcome = RunActionSequence(e, ev, t.timed ? RunnerKind::Timed : RunnerKind::Triggered);
    } else {
        QString reason;
        if (!e.SwitcherConnected)
            reason = kNotExecuted + QStringLiteral("Server not connected");
        else if (!e.SwitcherOnline)
            reason = kNotExecuted + QStringLiteral("Switcher not connected");
        else
            reason = ConditionRefusal(reasonSelector);
        if (!reason.isEmpty()) WriteActivityLog(e, ev.Title + reason);
    }

    const QString time = t.timed ? ev.Time : NowText(e);
    e.view.addHistoryLine({ev.DayName, time, HistoryTitle(ev, outcome)}, HistoryIsRed(ev, outcome));

    if (ev.Active == kRunOnce) {
        if (!relocate(e, t, ev.Number)) {
            DeleteOneTimeEventByNumber(e, ev.Number);
        } else if (t.timed) {
            DeleteOneTimeEvent(e);
            result.deletedAtPointer = true;
        } else {
            DeleteTriggeredOneTimeEvent(e, t.table, t.index);
        }
    }
    return result;
}

}  // namespace tarvo
