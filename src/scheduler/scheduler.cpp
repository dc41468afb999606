#include "scheduler/scheduler.h"

#include "base/clock.h"
#include "logs/failure.h"
#include "scheduler/time_arith.h"

namespace tarvo {

Scheduler::Scheduler(Clock& c, Logs& l, StatusView& v, Switcher& sw, PeerPorts& p, EventStore& st,
                     EngineRecord& r, const QString& folder)
    : clock(c), logs(l), view(v), switcher(sw), peers(p), store(st), record(r), appFolder(folder), runs(&c) {}

Scheduler::~Scheduler() {
    if (dueAlarm) clock.cancelAlarm(dueAlarm);
}

std::vector<AutomationEvent>& Scheduler::triggerTable(TriggerTable t) {
    switch (t) {
        case TriggerTable::Opto:
            return OptoEvents;
        case TriggerTable::Crosspoint:
            return CrosspointEvents;
        case TriggerTable::Relay:
            return RelayEvents;
    }
    failSubscript();
}

void Scheduler::sampleClock() {
    const QDateTime now = clock.now();
    CurrentTick = clock.tickCount();
    CurrentUtc = now.toUTC();
    CurrentDate = now.date();
    CurrentTime = now.time().msecsSinceStartOfDay() / 1000;
    CurrentDay = DayIndexOf(now.date());
}

}  // namespace tarvo
