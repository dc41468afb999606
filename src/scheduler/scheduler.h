// The scheduler's state: the event tables, the next-event pointer, the sampled clock, the delayed
// queue and the runs in progress, with the parts of the engine the runners work on. The engine
// owns one and wires it to the switcher's reports.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

#include <QDate>
#include <QDateTime>
#include <QString>

#include "base/clock.h"
#include "base/metrics.h"
#include "base/task.h"
#include "scheduler/occurrence.h"
#include "store/automation_event.h"

namespace tarvo {

struct Logs;
class StatusView;
class Switcher;
class PeerPorts;
class EventStore;
class EngineRecord;

enum class TriggerTable { Opto, Crosspoint, Relay };

// A queued copy of an event. Its Day and Time are the local due day and time; `due` is the due
// moment itself (UTC), which orders the queue across midnight, the turn of the week and a change
// of daylight saving: a delay is elapsed time. A one-time event waits in the database until its
// delayed run has been decided (`deleteAfter`).
struct DelayedEvent {
    AutomationEvent event;
    QDateTime due;
    bool deleteAfter = false;
    int64_t recordId = 0;  // its entry in the engine record
};

// The delayed queue: its entries by due moment, those due at the same moment in the order they
// were queued. Queuing and taking the front cost a logarithm of its size, so a contact that
// reports thousands of changes cannot stall the loop; its size is bounded (kMaxDelayedEvents).
class DelayedQueue {
    struct ByDue {
        bool operator()(const DelayedEvent& a, const DelayedEvent& b) const { return a.due < b.due; }
    };
    // A multiset puts an entry behind every entry equal to it: FIFO among equal due moments.
    using Entries = std::multiset<DelayedEvent, ByDue>;

public:
    using const_iterator = Entries::const_iterator;
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear() { entries_.clear(); }
    const DelayedEvent& front() const { return *entries_.begin(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    // Behind every entry due at the same moment or earlier.
    void insert(DelayedEvent entry) { entries_.insert(std::move(entry)); }
    DelayedEvent takeFront() { return std::move(entries_.extract(entries_.begin()).value()); }

private:
    Entries entries_;
};

// The most entries the delayed queue holds (and with it the engine record): about 5 MB of row
// copies. A delayed run decided while it is full is refused (Title + " not executed - Delay
// Queue Full"), as a run is refused for room.
constexpr std::size_t kMaxDelayedEvents = 10000;

// What the runners have decided since the start, for the engine's metrics. Every decision of an
// event is counted once, as its history line shows it: run (its actions carried out), refused
// (not executed: a red line), missed (a timed occurrence too late to run), or inactive.
struct RunnerCounts {
    uint64_t run = 0;
    uint64_t refused = 0;
    uint64_t missed = 0;
    uint64_t inactive = 0;
    // Each refusal by its reason, the words after " not executed - ": a whole event's (a link
    // down, a condition, "Too Many Runs", every trigger refused with "Run in Progress") and each
    // action of a run that was not carried out ("Invalid Crosspoint", "Server not connected").
    ReasonCounts refusals;
    // How late each timed occurrence that runs was decided after its second.
    Histogram decisionLateness{0.001, 0.002, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10, 60, 180};
    // From the read of an opto or relay report to the first frame of the run it started taken by
    // the switcher's link (runs without a delay that send to the switcher).
    Histogram triggerLatency{0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.1, 1};
};

class Scheduler {
public:
    Scheduler(Clock& clock, Logs& logs, StatusView& view, Switcher& switcher, PeerPorts& peers, EventStore& store,
              EngineRecord& record, const QString& appFolder);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // --- the parts the runners work on
    Clock& clock;
    Logs& logs;
    StatusView& view;
    Switcher& switcher;
    PeerPorts& peers;
    EventStore& store;
    EngineRecord& record;
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

    // --- the clock as the last tick (or the timed step) sampled it
    int CurrentTime = 0;     // seconds since midnight, whole seconds, local
    int16_t CurrentDay = 0;  // 0 Monday .. 6 Sunday
    QDate CurrentDate;
    QDateTime CurrentUtc;    // the same moment, to the millisecond
    int32_t CurrentTick = 0; // the tick counter at the sample
    void sampleClock();

    // --- the timed runner. Each timed occurrence (a timed row on one date) is decided once:
    // run or refused within its catch-up window, or written off as missed.
    // Every occurrence at or before the horizon (UTC) has been dealt with.
    QDateTime horizon;
    // Occurrences after the horizon that are decided already.
    DecidedOccurrences decided;
    // The earliest occurrence after the horizon still to decide; NextEventIndex designates its
    // row (0 when there is none).
    std::optional<Occurrence> next;
    int16_t NextEventIndex = 0;
    // A load has given the engine its table (or found no file): until then the horizon stays.
    bool tableRead = false;
    // When this run took over from a previous one (invalid on a first start): what fell due
    // before it waits a little for the switcher link, so that it is run late rather than refused.
    QDateTime resumedAt;
    // The alarm set for the next occurrence's moment, and that moment.
    AlarmId dueAlarm = 0;
    QDateTime dueAlarmAt;

    // --- the delayed queue (lives for the whole run; a reload does not touch it)
    DelayedQueue DelayedEvents;

    // --- runs in progress
    RunSet runs;
    // Triggered rows (by Number) whose run is in progress, each with the triggers refused since
    // it began: a row runs once at a time, so one bouncing contact cannot fill the run set.
    std::map<int16_t, int64_t> busyRows;
    // Crosspoint-triggered rows: the tick counts of their latest starts, and the rows stopped
    // until the next load for triggering each other in a loop.
    std::map<int16_t, std::deque<int32_t>> crosspointStarts;
    std::set<int16_t> loopStopped;

    RunnerCounts counts;
};

}  // namespace tarvo
