#include "scheduler/next_event.h"

#include <algorithm>

#include "base/status_view.h"
#include "logs/logs.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"

namespace tarvo {

int16_t DetermineNextEvent(Scheduler& s) {
    return Guarded(s.logs, QStringLiteral("Error Determining Next Event"), int16_t{0}, [&]() -> int16_t {
        if (s.TotalEvents() == 0) {
            DisplayNextEvent(s);
            return 0;
        }
        if (s.TotalEvents() == 1) return 0;
        constexpr int kNone = 16383;
        int first = kNone;
        for (int32_t i = 0; i < s.TotalEvents(); ++i) {
            const AutomationEvent& ev = at(s.Events, i);
            // A day outside Monday..Sunday (7 "None", or any other stored value) is never on the
            // clock: choosing such a row would leave the pointer on a row that never falls due.
            const std::optional<int> seconds = EventSeconds(ev.Time);
            if (!seconds || ev.Type != kTimed || !IsWeekday(ev.Day)) continue;
            if (ev.Day == s.CurrentDay) {
                if (*seconds >= s.CurrentTime && !DecidedThisSecond(s, ev)) return to16(i);
                if (first == kNone) first = i;
            } else {
                if (ev.Day > s.CurrentDay) return to16(i);
                if (first == kNone) first = i;
            }
        }
        return first == kNone ? int16_t{0} : to16(first);
    });
}

namespace {

QDateTime currentSecond(const Scheduler& s) {
    return QDateTime(s.CurrentDate, QTime::fromMSecsSinceStartOfDay(s.CurrentTime * 1000));
}

}  // namespace

void NoteDecidedNow(Scheduler& s, const AutomationEvent& ev) {
    if (ev.Day != s.CurrentDay || EventSeconds(ev.Time) != s.CurrentTime) return;  // a late run
    const QDateTime now = currentSecond(s);
    if (s.decidedAt != now) {
        s.decidedAt = now;
        s.decidedNumbers.clear();
    }
    s.decidedNumbers.push_back(ev.Number);
}

bool DecidedThisSecond(const Scheduler& s, const AutomationEvent& ev) {
    if (s.decidedAt != currentSecond(s) || ev.Day != s.CurrentDay || EventSeconds(ev.Time) != s.CurrentTime)
        return false;
    return std::find(s.decidedNumbers.begin(), s.decidedNumbers.end(), ev.Number) != s.decidedNumbers.end();
}

void DisplayNextEvent(Scheduler& s) {
    Guarded(s.logs, QStringLiteral("Error Displaying Next Event"), [&] {
        if (s.TotalEvents() == 0) {
            s.view.showNextEvent({QStringLiteral(" "), QStringLiteral(" "), QStringLiteral("No Events")});
            return;
        }
        const AutomationEvent& ev = at(s.Events, s.NextEventIndex);
        s.view.showNextEvent({ev.DayName, ev.Time, ev.Title});
    });
}

}  // namespace tarvo
