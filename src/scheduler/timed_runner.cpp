#include "scheduler/timed_runner.h"

#include "base/clock.h"
#include "logs/logs.h"
#include "scheduler/next_event.h"
#include "scheduler/run_event.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

constexpr int kHoldMs = 180000;

// A row the pointer may rest on: a timed event with a weekday and a time of day. (Rows of
// another kind are run by their triggers, never by the clock; a row with no weekday or no real
// time would never fall due and would hold the pointer there.)
bool scheduled(const AutomationEvent& ev) {
    return ev.Type == kTimed && IsWeekday(ev.Day) && EventSeconds(ev.Time).has_value();
}

// Moves NextEventIndex on from the event just run to the next row that is on the clock; back to
// 0 when it comes round to the start without finding one.
void movePointer(Scheduler& s, int start) {
    int n = s.NextEventIndex;
    const int total = s.TotalEvents();
    if (total == 0) {
        s.NextEventIndex = 0;
        return;
    }
    // Each row is looked at once at most: with rows of "None" in the table the walk could
    // otherwise jump between them and row 0 for ever.
    for (int steps = 0; steps <= total + 1; ++steps) {
        n = (n == total - 1) ? 0 : n + 1;
        if (n > total || n < 0) n = 0;
        if (at(s.Events, n).Day == 7) n = 0;
        if (scheduled(s.Events[static_cast<std::size_t>(n)])) {
            s.NextEventIndex = to16(n);
            return;
        }
        if (n == start || start < 0) break;
    }
    s.NextEventIndex = 0;
}

// Suspends the due-event step of the tick for `ms`, so that the event just run is not found due
// again within its catch-up window. The rest of every tick runs on meanwhile.
void hold(Scheduler& s, int ms) {
    s.holdActive = true;
    s.holdStart = s.clock.tickCount();
    s.holdLength = ms;
}

}  // namespace

Task<> ExecuteEvent(Scheduler& s) {
    s.timedBusy = true;
    try {
        int start = s.NextEventIndex;
        for (;;) {
            const AutomationEvent& due = at(s.Events, s.NextEventIndex);
            NoteDecidedNow(s, due);
            const uint32_t running = due.id;
            const int startedAt = s.NextEventIndex;
            const RunResult r = co_await RunOneEvent(s, RunTarget{});
            // The ticks went on while the run waited: rows before the pointer may have been
            // deleted (the pointer moved back with them), or a reload chose the next event
            // afresh. The pointer is moved on from where the running row is now, or not at all.
            int now = -1;
            if (r.deletedAtPointer) {
                now = s.NextEventIndex + 1;
            } else if (s.NextEventIndex >= 0 && s.NextEventIndex < s.TotalEvents() &&
                       s.Events[static_cast<std::size_t>(s.NextEventIndex)].id == running) {
                now = s.NextEventIndex;
            }
            if (now < 0) break;  // chosen afresh meanwhile: that choice stands
            start += now - startedAt;
            if (r.deletedAtPointer) start -= 1;
            movePointer(s, start);
            DisplayNextEvent(s);

            const int n = s.NextEventIndex;
            if (s.TotalEvents() == 0) break;  // the one-time row just run was the last
            if (s.TotalEvents() == 1 || n == start) {
                hold(s, kHoldMs);
                break;
            }
            const AutomationEvent& next = at(s.Events, n);
            // Only a row of today can be due at the same moment; a row of another day waits for
            // its own day.
            if (next.Day != s.CurrentDay) break;
            // When no row is left on the clock the pointer rests on row 0 whatever it holds. A
            // triggered row or one without a time is never due: running it here would run it as
            // a timed event, and over and over again while it stays at the pointer.
            if (!scheduled(next)) break;
            const int nextSeconds = EventSeconds(next.Time).value_or(-1);
            if (n < start) {
                // The pointer wrapped round to an earlier row of today: hold until that row's
                // catch-up window is over.
                const int now = ConvertToMinutes(s.logs, s.CurrentTime, s.CurrentDay);
                const int then = ConvertToMinutes(s.logs, nextSeconds, s.CurrentDay);
                if (now - 3 < then) hold(s, (3 - (now - then)) * 60000);
                break;
            }
            if (n == 0 && start != -1) break;
            if (nextSeconds > s.CurrentTime) break;
            // Due now as well: run it in this same run.
        }
    } catch (...) {
        ReportError(s.logs, QStringLiteral("Error Executing Event"), CurrentFailure(std::current_exception()));
    }
    s.timedBusy = false;
}

}  // namespace tarvo
