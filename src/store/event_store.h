// The event database as the engine keeps it: its path, the identity of the file as the last load
// read it, and the engine's own changes to its rows (a skip event re-armed, a one-time event
// deleted).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QString>

#include "store/automation_event.h"
#include "store/lock_watch.h"
#include "store/sqlite.h"

namespace tarvo {

class EngineRecord;
struct Logs;

inline const QString kDatabaseFileName = QStringLiteral("TarvoAutomation.mdb");
// The file an engine holds an advisory lock on for as long as it runs on its program folder;
// left there when it ends, it marks the folder as one an engine runs on.
inline const QString kEngineLockFileName = QStringLiteral("TarvoEngine.lock");

// One change the engine makes to the rows of one Number, with what it expects to find there: the
// row as the engine decided on it. A row the editing tool has changed since is not the one the
// decision was about, and is left as the tool made it. A plain value, complete in itself.
struct PendingRowChange {
    int16_t number = 0;
    bool remove = false;  // delete the rows; otherwise set Active = 1
    // The Active the row must still hold: 2 (skip next) for a re-arm, 3 (run once) for a delete.
    int16_t active = 0;
    // A timed row's delete: the row must still fall on the Day and at the Time that were
    // decided, as a load reads them.
    bool timed = false;
    int16_t day = 0;
    QString time;
    friend bool operator==(const PendingRowChange&, const PendingRowChange&) = default;
};

// The delete of a one-time row held back for its delayed run: the copy's Day and Time are those
// of the delayed run, so only its Number and Active 3 are expected.
PendingRowChange HeldBackDelete(int16_t number);

// The re-arm of a skip row and the delete of a one-time row, as `row` (the entry the runner
// decided on) expects them.
PendingRowChange ReArmChange(const AutomationEvent& row);
PendingRowChange DeleteChange(const AutomationEvent& row);
// Whether `row`, read as a load reads it, is still the one `change` was decided on.
bool ExpectedBy(const PendingRowChange& change, const AutomationEvent& row);

class EventStore {
public:
    explicit EventStore(const QString& databasePath) : DatabasePath(databasePath) {}

    QString DatabasePath;
    // The file as the last load read it, or as the engine's own write after it left it; nothing
    // when the file is to be read again at the next check.
    std::optional<FileIdentity> DatabaseIdentity;
    // How long the engine's statements wait for a lock held by another writer.
    int busyTimeoutMs = kEngineBusyTimeoutMs;
    // Whether the last of the engine's statements met another writer's lock.
    LockWatch lock;
    // Changes that could not be written (the file was locked or missing). They are written at
    // the next chance, and a load in the meantime applies them to the rows it read, so an event
    // deleted or re-armed never runs again as before.
    std::vector<PendingRowChange> pending;
    // Where `pending` is kept across a restart (none in the tools that only read).
    EngineRecord* record = nullptr;
    // One-time events whose delayed run is still to come: deleted once it has been decided, and
    // left out of every load until then.
    std::vector<PendingRowChange> awaitingDelete;

    // The table as the history last saw it (in Number order), and the history's last entry
    // applied to it; nothing before the first load with a record. A load finds in the file what
    // no entry explains: another program's change.
    std::optional<std::vector<AutomationEvent>> seenRows;
    int64_t seenHistoryId = 0;
    // Called by a load with the rows just read (in Number order, the changes still owed not yet
    // applied), while it holds its read lock: the entries written since are applied to the
    // table last seen, and what is left of the difference goes in the history as "outside",
    // with one activity-log line.
    void noteTable(Logs& logs, const std::vector<AutomationEvent>& rows);

    // Makes `change` in one transaction, on the rows of its Number that are still as it expects
    // them. A failure is reported (a lock once while it lasts) and the change kept for later; a
    // row the editing tool changed meanwhile is reported and left as it is, and the file is read
    // again at the next check. The file's new identity is taken as the engine's own only when
    // nothing else committed since the last load.
    void changeRows(Logs& logs, const PendingRowChange& change);
    // Writes the changes that could not be written before, until one meets a lock (the others
    // would meet it too; they wait for the next check).
    void retryPending(Logs& logs);
    // Applies the changes still waiting to rows just read.
    void applyPending(std::vector<AutomationEvent>& rows) const;
    // The delayed run of one-time event `number` has been decided: the row held back for it is
    // deleted.
    void deleteHeldBack(Logs& logs, int16_t number);

private:
    // False when no row was as the change expects it.
    bool writeRows(const PendingRowChange& change);
    void write(Logs& logs, const PendingRowChange& change, bool retry, bool& lockMet);
};

}  // namespace tarvo
