// The event database as the engine keeps it: its path, the modification time of the last load,
// and the engine's own changes to its rows (a skip event re-armed, a one-time event deleted).
#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "store/automation_event.h"
#include "store/sqlite.h"

namespace tarvo {

class EngineRecord;

inline const QString kDatabaseFileName = QStringLiteral("TarvoAutomation.mdb");

struct PendingRowChange {
    PendingRowChange() = default;
    // The re-arm or delete the engine's upkeep makes: it expects the row still Active 2 or 3.
    PendingRowChange(int16_t n, bool r) : number(n), remove(r), expectActive(r ? 3 : 2) {}
    int16_t number = 0;
    bool remove = false;  // delete the rows; otherwise set Active = 1
    // What the change expects to find: the row's Active (0: any), and for a timed delete the Day
    // and Time that were decided (Day -1: any).
    int16_t expectActive = 0;
    int16_t day = -1;
    QString time;
};

class EventStore {
public:
    explicit EventStore(const QString& databasePath) : DatabasePath(databasePath) {}

    QString DatabasePath;
    // The file's modification time at the last load, or after the engine's own last change.
    QString DatabaseFileTime;
    // How long the engine's own writes wait for a lock held by another writer.
    int busyTimeoutMs = kDefaultBusyTimeoutMs;
    // Changes that could not be written (the file was locked or missing). They are written at
    // the next chance, and a load in the meantime applies them to the rows it read, so an event
    // deleted or re-armed never runs again as before.
    std::vector<PendingRowChange> pending;
    // Where `pending` is kept across a restart (none in the tools that only read).
    EngineRecord* record = nullptr;
    // One-time events whose delayed run is still to come: deleted once it has been decided, and
    // left out of every load until then.
    std::vector<int16_t> awaitingDelete;

    // Re-arms or deletes every row carrying `number`, in one transaction. The file's new time
    // is taken as the engine's own, so it does not look like an outside edit; but when the file
    // had already changed from outside before this write, that edit is not hidden. A change the
    // file cannot take now is kept for later and the failure thrown.
    void changeRows(int16_t number, bool remove);
    // Writes the changes that could not be written before.
    void retryPending();
    // Applies the changes still waiting to rows just read.
    void applyPending(std::vector<AutomationEvent>& rows) const;

private:
    void writeRows(int16_t number, bool remove);
};

}  // namespace tarvo
