#include "scheduler/upkeep.h"

#include "logs/logs.h"
#include "scheduler/next_event.h"
#include "store/event_store.h"

namespace tarvo {

namespace {

const QString kSkipLocation = QStringLiteral("Error Updating Skip Event");
const QString kDeleteLocation = QStringLiteral("Error Deleting One Time Event");

void activateInEvents(Scheduler& s, int16_t number) {
    for (AutomationEvent& ev : s.Events)
        if (ev.Number == number) ev.Active = kActive;
}

// The first Events entry with this Number leaves (only an entry that carries it: an unrelated
// event is never dropped).
void removeFirstFromEvents(Scheduler& s, int16_t number) {
    for (int32_t i = 0; i < s.TotalEvents(); ++i) {
        if (s.Events[static_cast<std::size_t>(i)].Number != number) continue;
        RemoveFromEvents(s, i);
        return;
    }
}

// Writes the change (which may fail and be kept for later, or find the row changed by the
// editing tool and leave it); the change in memory is made either way, so a one-time event
// never runs twice because its file was locked.
template <typename InMemory>
void upkeep(Scheduler& s, const QString& location, const PendingRowChange& change, InMemory inMemory) {
    s.store.changeRows(s.logs, change);
    Guarded(s.logs, location, inMemory);
}

}  // namespace

void RemoveFromEvents(Scheduler& s, int32_t index) {
    at(s.Events, index);
    s.Events.erase(s.Events.begin() + index);
    if (index < s.NextEventIndex) s.NextEventIndex = to16(s.NextEventIndex - 1);
    if (s.NextEventIndex >= s.TotalEvents()) s.NextEventIndex = 0;
    DisplayEventCount(s);
}

void UpdateSkipEvent(Scheduler& s) {
    Guarded(s.logs, kSkipLocation, [&] {
        const AutomationEvent& row = at(s.Events, s.NextEventIndex);
        const int16_t number = row.Number;
        upkeep(s, kSkipLocation, ReArmChange(row), [&] { activateInEvents(s, number); });
    });
}

void DeleteOneTimeEvent(Scheduler& s) {
    Guarded(s.logs, kDeleteLocation, [&] {
        upkeep(s, kDeleteLocation, DeleteChange(at(s.Events, s.NextEventIndex)), [&] {
            // Only the entry at the pointer leaves memory; others with the same Number stay
            // until the next load.
            s.Events.erase(s.Events.begin() + s.NextEventIndex);
            // So that the runner's next move lands on the entry that followed the deleted one.
            s.NextEventIndex = s.TotalEvents() < 1 ? int16_t{0} : to16(s.NextEventIndex - 1);
            DisplayEventCount(s);
        });
    });
}

void UpdateTriggeredSkipEvent(Scheduler& s, TriggerTable table, int index) {
    Guarded(s.logs, kSkipLocation, [&] {
        auto& list = s.triggerTable(table);
        const int16_t number = at(list, index).Number;
        upkeep(s, kSkipLocation, ReArmChange(at(list, index)), [&] {
            activateInEvents(s, number);
            for (AutomationEvent& ev : list)
                if (ev.Number == number) ev.Active = kActive;
        });
    });
}

void RearmSkipEventByNumber(Scheduler& s, const AutomationEvent& ev) {
    upkeep(s, kSkipLocation, ReArmChange(ev), [&] {
        activateInEvents(s, ev.Number);
        for (TriggerTable t : {TriggerTable::Opto, TriggerTable::Crosspoint, TriggerTable::Relay})
            for (AutomationEvent& row : s.triggerTable(t))
                if (row.Number == ev.Number) row.Active = kActive;
    });
}

void DeleteOneTimeEventByNumber(Scheduler& s, const AutomationEvent& ev) {
    upkeep(s, kDeleteLocation, DeleteChange(ev), [&] { removeFirstFromEvents(s, ev.Number); });
}

}  // namespace tarvo
