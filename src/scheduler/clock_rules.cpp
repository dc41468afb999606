#include "scheduler/clock_rules.h"

#include "base/clock.h"
#include "logs/logs.h"
#include "scheduler/next_event.h"
#include "scheduler/scheduler.h"

namespace tarvo {

namespace {

// The start of the second `utc` lies in, less a millisecond: what is due at that second is after it.
QDateTime beforeItsSecond(const QDateTime& utc) {
    return utc.addMSecs(-(utc.time().msec()) - 1);
}

void chooseAfresh(Scheduler& s) {
    s.NextEventIndex = DetermineNextEvent(s);
    DisplayNextEvent(s);
}

}  // namespace

QString ClockSetForwardText(const QDateTime& from, const QDateTime& to, int passedOver) {
    return QStringLiteral("Clock set forward from %1 to %2 - %3 events passed over")
        .arg(from.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), to.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
        .arg(passedOver);
}

QString ClockSetBackText(const QDateTime& from, const QDateTime& to) {
    return QStringLiteral("Clock set back from %1 to %2 - the events from then on run again")
        .arg(from.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), to.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

void StepClock(Scheduler& s) {
    const QDateTime before = s.CurrentUtc;
    const int32_t beforeTick = s.CurrentTick;
    s.sampleClock();
    if (!before.isValid()) return;
    const qint64 elapsed = static_cast<uint32_t>(s.CurrentTick) - static_cast<uint32_t>(beforeTick);
    const qint64 step = before.msecsTo(s.CurrentUtc) - elapsed;
    const QTimeZone zone = s.clock.zone();
    // Where the clock would be had it only gone on, in local time: what the old reading was.
    const QDateTime expected = before.addMSecs(elapsed);
    if (step >= kForwardChangeMs) {
        const int passed = CountOccurrences(s.Events, s.decided, s.horizon, s.CurrentUtc, zone);
        WriteActivityLog(s.logs, ClockSetForwardText(expected.toTimeZone(zone), s.CurrentUtc.toTimeZone(zone), passed));
        s.horizon = s.CurrentUtc;
        chooseAfresh(s);
    } else if (step <= -kBackwardChangeMs) {
        WriteActivityLog(s.logs, ClockSetBackText(expected.toTimeZone(zone), s.CurrentUtc.toTimeZone(zone)));
        // The span the clock goes through again is run again.
        s.horizon = beforeItsSecond(s.CurrentUtc);
        for (auto it = s.decided.begin(); it != s.decided.end();) {
            const auto& [number, day, seconds] = *it;
            if (OccurrenceInstant(QDate::fromJulianDay(day), seconds, zone) > s.horizon)
                it = s.decided.erase(it);
            else
                ++it;
        }
        chooseAfresh(s);
    }
}

}  // namespace tarvo
