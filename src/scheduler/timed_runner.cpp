#include "scheduler/timed_runner.h"

#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/clock.h"
#include "scheduler/next_event.h"
#include "scheduler/run_event.h"
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
void movePointer(Engine& e, int start) {
    int n = e.NextEventIndex;
    const int total = e.TotalEvents;
    // Each row is looked at once at most: with rows of "None" in the table the walk could
    // otherwise jump between them and row 0 for ever.
    for (int steps = 0; steps <= total + 1; ++steps) {
        n = (n == total - 1) ? 0 : n + 1;
        if (n > total || n < 0) n = 0;
        if (at(e.Events, n).Day == 7) n = 0;
        if (scheduled(e.Events[static_cast<std::size_t>(n)])) {
            e.NextEventIndex = to16(n);
            return;
        }
        if (n == start || start < 0) break;
    }
    e.NextEventIndex = 0;
}

// Suspends the due-event step of the tick for `ms`, so that the event just run is not found due
// again within its catch-up window. The rest of every tick runs on meanwhile.
void hold(Engine& e, int ms) {
    e.holdActive = true;
    e.holdStart = e.clock.tickCount();
    e.holdLength = ms;
}

}  // namespace

void ExecuteEvent(Engine& e) {
    Guarded(e, QStringLiteral("Error Executing Event"), [&] {
        int start = e.NextEventIndex;
        for (;;) {
            NoteDecidedNow(e, at(e.Events, e.NextEventIndex));
            const RunResult r = RunOneEvent(e, RunTarget{});
            if (r.deletedAtPointer) start -= 1;
            movePointer(e, start);
            DisplayNextEvent(e);

            const int n = e.NextEventIndex;
            if (e.TotalEvents == 1 || n == start) {
                hold(e, kHoldMs);
                return;
            }
            const AutomationEvent& next = at(e.Events, n);
            // Only a row of today can be due at the same moment; a row of another day waits for
            // its own day.
            if (next.Day != e.CurrentDay) return;
            // When no row is left on the clock the pointer rests on row 0 whatever it holds. A
            // triggered row or one without a time is never due: running it here would run it as
            // a timed event, and over and over again while it stays at the pointer.
            if (!scheduled(next)) return;
            const int nextSeconds = EventSeconds(next.Time).value_or(-1);
            if (n < start) {
                // The pointer wrapped round to an earlier row of today: hold until that row's
                // catch-up window is over.
                const int now = ConvertToMinutes(e, e.CurrentTime, e.CurrentDay);
                const int then = ConvertToMinutes(e, nextSeconds, e.CurrentDay);
                if (now - 3 >= then) return;
                hold(e, (3 - (now - then)) * 60000);
                return;
            }
            if (n == 0 && start != -1) return;
            if (nextSeconds > e.CurrentTime) return;
            // Due now as well: run it in this same call.
        }
    });
}

}  // namespace tarvo
