#include "scheduler/next_event.h"

#include "base/clock.h"
#include "base/status_view.h"
#include "logs/logs.h"
#include "scheduler/scheduler.h"
#include "scheduler/time_arith.h"

namespace tarvo {

int16_t DetermineNextEvent(Scheduler& s) {
    return Guarded(s.logs, QStringLiteral("Error Determining Next Event"), int16_t{0}, [&]() -> int16_t {
        s.next.reset();
        if (s.TotalEvents() == 0) {
            DisplayNextEvent(s);
            return 0;
        }
        s.next = NextOccurrence(s.Events, s.decided, s.horizon, s.clock.zone());
        return s.next ? to16(s.next->index) : int16_t{0};
    });
}

void DisplayNextEvent(Scheduler& s) {
    Guarded(s.logs, QStringLiteral("Error Displaying Next Event"), [&] {
        if (s.TotalEvents() == 0) {
            s.view.showNextEvent({QStringLiteral(" "), QStringLiteral(" "), QStringLiteral("No Events")});
            return;
        }
        const AutomationEvent& ev = at(s.Events, s.NextEventIndex);
        s.view.showNextEvent({ev.DayName, ev.Time, ev.Title});
        const bool known = s.next && s.next->index == s.NextEventIndex;
        s.view.showNextEventDate(known ? s.next->date : QDate());
    });
}

QString TotalEventsText(long long count) { return QString::number(count) + QStringLiteral(" Total Events"); }

void DisplayEventCount(Scheduler& s) { s.view.setStatusPanel(1, TotalEventsText(s.TotalEvents())); }

}  // namespace tarvo
