// The scheduler's state: the event tables, the next-event pointer, the sampled clock, the delayed
// queue and the runs in progress, with the parts of the engine the runners work on. The engine
// owns one and wires it to the switcher's reports.
#pragma once

#include <cstdint>
#include <vector>

#include <QDate>
#include <QDateTime>
#include <QString>

#include "base/task.h"
#include "store/automation_event.h"

namespace tarvo {

class Clock;
struct Logs;
class StatusView;
class Switcher;
class PeerPorts;
class EventStore;

enum class TriggerTable { Opto, Crosspoint, Relay };

// A queued copy of an event. Its Day and Time are the due day and time; `due` is the due moment
// itself, which orders the queue across midnight and the turn of the week.
struct DelayedEvent {
    AutomationEvent event;
    QDateTime due;
};

class Scheduler {
public:
    Scheduler(Clock& clock, Logs& logs, StatusView& view, Switcher& switcher, PeerPorts& peers, EventStore& store,
              const QString& appFolder);
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // --- the parts the runners work on
    Clock& clock;
    Logs& logs;
    StatusView& view;
    Switcher& switcher;
    PeerPorts& peers;
    EventStore& store;
    QString appFolder;

    // --- the event tables, in running order; each keeps its own size
    std::vector<AutomationEvent> Events;
    std::vector<AutomationEvent> OptoEvents;
    std::vector<AutomationEvent> CrosspointEvents;
    std::vector<AutomationEvent> RelayEvents;
    // The destinations that crosspoint-triggered events watch, ascending, each once.
    std::vector<int16_t> CrosspointTriggerDests;
    int32_t TotalEvents() const { return static_cast<int32_t>(Events.size()); }
    std::vector<AutomationEvent>& triggerTable(TriggerTable t);

    // --- the clock as the last tick (or start-up) sampled it
    int CurrentTime = 0;     // seconds since midnight, whole seconds
    int16_t CurrentDay = 0;  // 0 Monday .. 6 Sunday
    QDate CurrentDate;
    void sampleClock();

    // --- the timed runner
    int16_t NextEventIndex = 0;
    // The timed run (with its same-moment followers) is in progress: the due-event step of the
    // tick does not look at the pointer until it has ended.
    bool timedBusy = false;
    // The runner's hold: until it has passed the due-event step is suspended, so the event just
    // run is not run again within its catch-up window. The rest of every tick runs on.
    bool holdActive = false;
    int32_t holdStart = 0;
    int32_t holdLength = 0;
    // The timed rows (by Number) the runner decided at the second `decidedAt`: a reload later in
    // that same second chooses the next event afresh and must not choose them again.
    QDateTime decidedAt;
    std::vector<int16_t> decidedNumbers;

    // --- the delayed queue (lives for the whole run; a reload does not touch it)
    std::vector<DelayedEvent> DelayedEvents;

    // --- runs in progress
    RunSet runs;
};

}  // namespace tarvo
