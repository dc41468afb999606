#include "scheduler/conditions.h"

#include "engine/engine.h"
#include "engine/status_view.h"
#include "logs/logs.h"
#include "scheduler/actions.h"
#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

bool sourceFeeds(Engine& e, int source, int dest) {
    const OutputMap& m = at(e.SwitcherMap, static_cast<long long>(dest) - 1);
    for (int k = 0; k < m.SourceCount; ++k)
        if (at(m.Sources, k) + 1 == source) return true;
    return false;
}

bool stateIs(const std::vector<uint8_t>& table, int number, int value) {
    return at(table, static_cast<long long>(number) - 1) == value;
}

bool conditionHolds(Engine& e, int selector, int source, int dest, int relay, int opto) {
    switch (selector) {
        case 1:
            return source != 0 && dest != 0 && sourceFeeds(e, source, dest);
        case 2:
            return source != 0 && dest != 0 && !sourceFeeds(e, source, dest);
        case 3:
            return relay != 0 && stateIs(e.RelayState, relay, 1);
        case 4:
            return relay != 0 && stateIs(e.RelayState, relay, 0);
        case 5:
            return opto != 0 && stateIs(e.OptoState, opto, 1);
        case 6:
            return opto != 0 && stateIs(e.OptoState, opto, 0);
        default:
            return true;  // 0, and any value outside 0..6
    }
}

QDateTime sampledNow(const Engine& e) {
    return QDateTime(e.CurrentDate, QTime(0, 0).addSecs(e.CurrentTime));
}

}  // namespace

QString ConditionRefusal(int selector) {
    static const char* const kReasons[] = {"Crosspoint inactive", "Crosspoint active", "Relay inactive",
                                           "Relay active",        "Opto inactive",     "Opto active"};
    if (selector < 1 || selector > 6) return QString();
    return kNotExecuted + QLatin1String(kReasons[selector - 1]);
}

ConditionCheck CheckConditions(Engine& e, const AutomationEvent& ev) {
    ConditionCheck check;
    check.failedSelector = ev.Condition;
    Guarded(e, QStringLiteral("Error Verifiying Conditional Requirements"), [&] {
        check.holds = false;
        if (!conditionHolds(e, ev.Condition, ev.ReqSource, ev.ReqDest, ev.ReqRelay, ev.ReqOpto)) return;
        check.failedSelector = ev.Condition2;
        if (!conditionHolds(e, ev.Condition2, ev.ReqSource2, ev.ReqDest2, ev.ReqRelay2, ev.ReqOpto2)) return;
        check.holds = true;
        check.failedSelector = 0;
    });
    return check;
}

bool VerifyConditions(Engine& e, const AutomationEvent& ev) { return CheckConditions(e, ev).holds; }

void AddDelayedEvent(Engine& e, const AutomationEvent& ev) {
    Guarded(e, QStringLiteral("Error Adding Delayed Event"), [&] {
        // A negative delay is due at once; delays of an hour or more are simply added.
        const QDateTime due = sampledNow(e).addSecs(std::max<int>(ev.Delay, 0));
        Engine::DelayedEvent entry{ev, due};
        entry.event.Day = DayIndexOf(due.date());
        entry.event.Time = FormatTimeOfDay(due.time().msecsSinceStartOfDay() / 1000);
        // Behind every entry due at the same moment or earlier.
        std::size_t p = 0;
        const std::size_t count = static_cast<std::size_t>(e.DelayedEventCount);
        while (p < count && e.DelayedEvents[p].due <= due) ++p;
        e.DelayedEvents.insert(e.DelayedEvents.begin() + static_cast<std::ptrdiff_t>(p), std::move(entry));
        e.DelayedEventCount = static_cast<int32_t>(e.DelayedEvents.size());
    });
}

void ExecuteDelayedEvent(Engine& e, int position) {
    Guarded(e, QStringLiteral("Error Executing Delayed Event"), [&] {
        // Taken off the queue first: whatever happens while it runs (a failure, or another event
        // queued during one of its waits), it runs once.
        const AutomationEvent ev = at(e.DelayedEvents, position).event;
        e.DelayedEvents.erase(e.DelayedEvents.begin() + position);
        e.DelayedEventCount = static_cast<int32_t>(e.DelayedEvents.size());

        const bool outcome = RunActionSequence(e, ev, RunnerKind::Triggered);
        e.view.addHistoryLine({ev.DayName, NowText(e), HistoryTitle(ev, outcome)},
                              HistoryIsRed(ev, outcome));
    });
}

void RunDueDelayedEvents(Engine& e) {
    if (e.DelayedEventCount == 0) return;
    const QDateTime now = sampledNow(e);
    while (e.DelayedEventCount > 0 && !e.DelayedEvents.empty() && e.DelayedEvents.front().due <= now)
        ExecuteDelayedEvent(e, 0);
}

}  // namespace tarvo
