#include "scheduler/upkeep.h"

#include "logs/logs.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

const QString kSkipLocation = QStringLiteral("Error Updating Skip Event");
const QString kDeleteLocation = QStringLiteral("Error Deleting One Time Event");

// Every Automation row carrying `number` is re-armed or deleted, in one transaction. The file's
// new modification time is taken as the engine's own, so that it does not look like an outside
// edit; but when the file had already changed from outside before this write, that edit is not
// hidden: the time is left alone and the next check reloads.
void writeRows(Engine& e, int16_t number, bool remove) {
    const bool unchangedSinceLoad = FileTimeIfExists(e.DatabasePath) == e.DatabaseFileTime;
    {
        Database db(e.DatabasePath, e.databaseBusyTimeoutMs);
        db.useRollbackJournal();
        Transaction t(db);
        Statement st(db, remove ? QStringLiteral("DELETE FROM Automation WHERE [Number] = ?1")
                                : QStringLiteral("UPDATE Automation SET Active = 1 WHERE [Number] = ?1"));
        st.bind(1, static_cast<int64_t>(number));
        st.run();
        t.commit();
    }
    if (unchangedSinceLoad) e.DatabaseFileTime = FileTimeText(e.DatabasePath);
}

// Writes the change, or keeps it for later when the file cannot take it now; the failure is
// still reported under the caller's location text.
void changeRows(Engine& e, int16_t number, bool remove) {
    try {
        writeRows(e, number, remove);
    } catch (const TarvoError&) {
        e.pendingUpkeep.push_back({number, remove});
        throw;
    }
}

void activateInEvents(Engine& e, int16_t number) {
    for (int32_t i = 0; i < e.TotalEvents; ++i)
        if (at(e.Events, i).Number == number) e.Events[static_cast<std::size_t>(i)].Active = kActive;
}

// Removes entry `index` of a table with `count` entries in use. A table that becomes empty keeps
// one empty element, as a load leaves an empty table.
void removeEntry(std::vector<AutomationEvent>& table, int32_t& count, int32_t index) {
    at(table, index);
    table.erase(table.begin() + index);
    count -= 1;
    if (count < 0) count = 0;
    table.resize(static_cast<std::size_t>(count));
    if (table.empty()) table.resize(1);
}

// The first Events entry with this Number leaves (only an entry that carries it: an unrelated
// event is never dropped). When it lay before the pointer, the pointer moves back with the
// entries so it still designates the same event.
void removeFirstFromEvents(Engine& e, int16_t number) {
    for (int32_t i = 0; i < e.TotalEvents; ++i) {
        if (at(e.Events, i).Number != number) continue;
        removeEntry(e.Events, e.TotalEvents, i);
        if (i < e.NextEventIndex) e.NextEventIndex = to16(e.NextEventIndex - 1);
        if (e.NextEventIndex >= e.TotalEvents) e.NextEventIndex = 0;
        return;
    }
}

// Runs `write` (which may fail and keep the change for later); the change in memory is made
// either way, so a one-time event never runs twice because its file was locked.
template <typename Write, typename InMemory>
void upkeep(Engine& e, const QString& location, Write write, InMemory inMemory) {
    Guarded(e, location, write);
    Guarded(e, location, inMemory);
}

}  // namespace

void UpdateSkipEvent(Engine& e) {
    Guarded(e, kSkipLocation, [&] {
        const int16_t number = at(e.Events, e.NextEventIndex).Number;
        upkeep(
            e, kSkipLocation, [&] { changeRows(e, number, false); }, [&] { activateInEvents(e, number); });
    });
}

void DeleteOneTimeEvent(Engine& e) {
    Guarded(e, kDeleteLocation, [&] {
        const int16_t number = at(e.Events, e.NextEventIndex).Number;
        upkeep(
            e, kDeleteLocation, [&] { changeRows(e, number, true); },
            [&] {
                // Only the entry at the pointer leaves memory; others with the same Number stay
                // until the next load.
                const int32_t index = e.NextEventIndex;
                if (e.TotalEvents <= 1) {
                    e.TotalEvents = 0;
                    e.Events.assign(1, AutomationEvent{});
                    e.Events[0].Time = QStringLiteral("23:59:59");
                    e.Events[0].Active = kInactive;
                } else {
                    removeEntry(e.Events, e.TotalEvents, index);
                }
                // So that the runner's next move lands on the entry that followed the deleted one.
                e.NextEventIndex = e.TotalEvents < 1 ? int16_t{0} : to16(e.NextEventIndex - 1);
            });
    });
}

void UpdateTriggeredSkipEvent(Engine& e, TriggerTable table, int index) {
    Guarded(e, kSkipLocation, [&] {
        auto& list = e.triggerTable(table);
        const int32_t count = e.triggerCount(table);
        if (index >= count) failSubscript();
        const int16_t number = at(list, index).Number;
        upkeep(
            e, kSkipLocation, [&] { changeRows(e, number, false); },
            [&] {
                activateInEvents(e, number);
                for (int32_t i = 0; i < count; ++i)
                    if (at(list, i).Number == number) list[static_cast<std::size_t>(i)].Active = kActive;
            });
    });
}

void DeleteTriggeredOneTimeEvent(Engine& e, TriggerTable table, int index) {
    Guarded(e, kDeleteLocation, [&] {
        auto& list = e.triggerTable(table);
        int32_t& count = e.triggerCount(table);
        if (index >= count) failSubscript();
        const int16_t number = at(list, index).Number;
        upkeep(
            e, kDeleteLocation, [&] { changeRows(e, number, true); },
            [&] {
                removeFirstFromEvents(e, number);
                removeEntry(list, count, index);
            });
    });
}

void DeleteOneTimeEventByNumber(Engine& e, int16_t number) {
    upkeep(
        e, kDeleteLocation, [&] { changeRows(e, number, true); }, [&] { removeFirstFromEvents(e, number); });
}

void RetryPendingUpkeep(Engine& e) {
    std::vector<Engine::PendingUpkeep> still;
    for (const Engine::PendingUpkeep& p : e.pendingUpkeep) {
        try {
            writeRows(e, p.number, p.remove);
        } catch (const TarvoError&) {
            still.push_back(p);  // reported when it first failed; tried again at the next check
        }
    }
    e.pendingUpkeep = std::move(still);
}

void ApplyPendingUpkeep(Engine& e) {
    for (const Engine::PendingUpkeep& p : e.pendingUpkeep) {
        for (int32_t i = 0; i < e.TotalEvents;) {
            AutomationEvent& ev = e.Events[static_cast<std::size_t>(i)];
            if (ev.Number != p.number) {
                ++i;
            } else if (p.remove) {
                removeEntry(e.Events, e.TotalEvents, i);
            } else {
                ev.Active = kActive;
                ++i;
            }
        }
    }
}

}  // namespace tarvo
