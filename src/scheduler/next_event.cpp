#include "scheduler/next_event.h"

#include <algorithm>

#include "engine/engine.h"
#include "engine/status_view.h"
#include "logs/logs.h"
#include "scheduler/time_arith.h"

namespace tarvo {

int16_t DetermineNextEvent(Engine& e) {
    return Guarded(e, QStringLiteral("Error Determining Next Event"), int16_t{0}, [&]() -> int16_t {
        if (e.TotalEvents == 0) {
            DisplayNextEvent(e);
            return 0;
        }
        if (e.TotalEvents == 1) return 0;
        constexpr int kNone = 16383;
        int first = kNone;
        for (int32_t i = 0; i < e.TotalEvents; ++i) {
            const AutomationEvent& ev = at(e.Events, i);
            // A day outside Monday..Sunday (7 "None", or any other stored value) is never on the
            // clock: choosing such a row would leave the pointer on a row that never falls due.
            const std::optional<int> seconds = EventSeconds(ev.Time);
            if (!seconds || ev.Type != kTimed || !IsWeekday(ev.Day)) continue;
            if (ev.Day == e.CurrentDay) {
                if (*seconds >= e.CurrentTime && !DecidedThisSecond(e, ev)) return to16(i);
                if (first == kNone) first = i;
            } else {
                if (ev.Day > e.CurrentDay) return to16(i);
                if (first == kNone) first = i;
            }
        }
        return first == kNone ? int16_t{0} : to16(first);
    });
}

namespace {

QDateTime currentSecond(const Engine& e) {
    return QDateTime(e.CurrentDate, QTime::fromMSecsSinceStartOfDay(e.CurrentTime * 1000));
}

}  // namespace

void NoteDecidedNow(Engine& e, const AutomationEvent& ev) {
    if (ev.Day != e.CurrentDay || EventSeconds(ev.Time) != e.CurrentTime) return;  // a late run
    const QDateTime now = currentSecond(e);
    if (e.decidedAt != now) {
        e.decidedAt = now;
        e.decidedNumbers.clear();
    }
    e.decidedNumbers.push_back(ev.Number);
}

bool DecidedThisSecond(const Engine& e, const AutomationEvent& ev) {
    if (e.decidedAt != currentSecond(e) || ev.Day != e.CurrentDay ||
        EventSeconds(ev.Time) != e.CurrentTime)
        return false;
    return std::find(e.decidedNumbers.begin(), e.decidedNumbers.end(), ev.Number) !=
           e.decidedNumbers.end();
}

void DisplayNextEvent(Engine& e) {
    Guarded(e, QStringLiteral("Error Displaying Next Event"), [&] {
        if (e.TotalEvents == 0) {
            e.view.showNextEvent({QStringLiteral(" "), QStringLiteral(" "), QStringLiteral("No Events")});
            return;
        }
        const AutomationEvent& ev = at(e.Events, e.NextEventIndex);
        e.view.showNextEvent({ev.DayName, ev.Time, ev.Title});
    });
}

}  // namespace tarvo
