#include "scheduler/upkeep.h"

#include "logs/logs.h"
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

// Writes the change (which may fail and be kept for later); the change in memory is made either
// way, so a one-time event never runs twice because its file was locked.
template <typename InMemory>
void upkeep(Scheduler& s, const QString& location, int16_t number, bool remove, InMemory inMemory) {
    Guarded(s.logs, location, [&] { s.store.changeRows(number, remove); });
    Guarded(s.logs, location, inMemory);
}

}  // namespace

void RemoveFromEvents(Scheduler& s, int32_t index) {
    at(s.Events, index);
    s.Events.erase(s.Events.begin() + index);
    if (index < s.NextEventIndex) s.NextEventIndex = to16(s.NextEventIndex - 1);
    if (s.NextEventIndex >= s.TotalEvents()) s.NextEventIndex = 0;
}

void UpdateSkipEvent(Scheduler& s) {
    Guarded(s.logs, kSkipLocation, [&] {
        const int16_t number = at(s.Events, s.NextEventIndex).Number;
        upkeep(s, kSkipLocation, number, false, [&] { activateInEvents(s, number); });
    });
}

void DeleteOneTimeEvent(Scheduler& s) {
    Guarded(s.logs, kDeleteLocation, [&] {
        const int16_t number = at(s.Events, s.NextEventIndex).Number;
        upkeep(s, kDeleteLocation, number, true, [&] {
            // Only the entry at the pointer leaves memory; others with the same Number stay
            // until the next load.
            s.Events.erase(s.Events.begin() + s.NextEventIndex);
            // So that the runner's next move lands on the entry that followed the deleted one.
            s.NextEventIndex = s.TotalEvents() < 1 ? int16_t{0} : to16(s.NextEventIndex - 1);
        });
    });
}

void UpdateTriggeredSkipEvent(Scheduler& s, TriggerTable table, int index) {
    Guarded(s.logs, kSkipLocation, [&] {
        auto& list = s.triggerTable(table);
        const int16_t number = at(list, index).Number;
        upkeep(s, kSkipLocation, number, false, [&] {
            activateInEvents(s, number);
            for (AutomationEvent& ev : list)
                if (ev.Number == number) ev.Active = kActive;
        });
    });
}

void DeleteTriggeredOneTimeEvent(Scheduler& s, TriggerTable table, int index) {
    Guarded(s.logs, kDeleteLocation, [&] {
        auto& list = s.triggerTable(table);
        const int16_t number = at(list, index).Number;
        upkeep(s, kDeleteLocation, number, true, [&] {
            removeFirstFromEvents(s, number);
            list.erase(list.begin() + index);
        });
    });
}

void DeleteWithheldOneTimeEvent(Scheduler& s, int16_t number) {
    std::erase(s.store.awaitingDelete, number);
    Guarded(s.logs, kDeleteLocation, [&] { s.store.changeRows(number, true); });
}

void RearmSkipEventByNumber(Scheduler& s, int16_t number) {
    upkeep(s, kSkipLocation, number, false, [&] {
        activateInEvents(s, number);
        for (TriggerTable t : {TriggerTable::Opto, TriggerTable::Crosspoint, TriggerTable::Relay})
            for (AutomationEvent& ev : s.triggerTable(t))
                if (ev.Number == number) ev.Active = kActive;
    });
}

void DeleteOneTimeEventByNumber(Scheduler& s, int16_t number) {
    upkeep(s, kDeleteLocation, number, true, [&] { removeFirstFromEvents(s, number); });
}

}  // namespace tarvo
