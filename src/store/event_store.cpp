#include "store/event_store.h"

#include <algorithm>

#include "logs/logs.h"
#include "store/engine_record.h"
#include "store/load_database.h"
#include "store/schedule_edit.h"

namespace tarvo {

namespace {

const QString kSkipLocation = QStringLiteral("Error Updating Skip Event");
const QString kDeleteLocation = QStringLiteral("Error Deleting One Time Event");

const QString& locationOf(const PendingRowChange& change) {
    return change.remove ? kDeleteLocation : kSkipLocation;
}

}  // namespace

PendingRowChange ReArmChange(const AutomationEvent& row) {
    return PendingRowChange{row.Number, false, kSkipNext, false, 0, QString()};
}

PendingRowChange DeleteChange(const AutomationEvent& row) {
    const bool timed = row.Type == kTimed;
    return PendingRowChange{row.Number, true, kRunOnce, timed, timed ? row.Day : int16_t{0},
                            timed ? QString(row.Time) : QString()};
}

PendingRowChange HeldBackDelete(int16_t number) { return PendingRowChange{number, true, kRunOnce, false, 0, QString()}; }

bool ExpectedBy(const PendingRowChange& change, const AutomationEvent& row) {
    if (row.Number != change.number || row.Active != change.active) return false;
    return !change.timed || (row.Day == change.day && row.Time == change.time);
}

bool EventStore::writeRows(const PendingRowChange& change) {
    Database db(DatabasePath, busyTimeoutMs);
    db.useRollbackJournal();
    Transaction t(db);
    // Under the engine's write lock: nobody commits until this transaction ends, so what is read
    // here is what is changed, and the file as it is now tells whether anyone committed since the
    // last load.
    const std::optional<FileIdentity> before = db.identity();
    const bool unchangedSinceLoad = before && before == DatabaseIdentity;
    std::vector<int64_t> rowids;
    std::vector<StoredRow> rows = ReadRowsNumbered(db, change.number);
    std::erase_if(rows, [&](const StoredRow& row) { return !ExpectedBy(change, row.event); });
    for (const StoredRow& row : rows) rowids.push_back(row.rowid);
    if (rowids.empty()) {
        // The editing tool changed the row: it stands, and the table is read again.
        DatabaseIdentity.reset();
        return false;
    }
    Statement st(db, change.remove ? QStringLiteral("DELETE FROM Automation WHERE rowid = ?1")
                                   : QStringLiteral("UPDATE Automation SET Active = 1 WHERE rowid = ?1"));
    for (int64_t rowid : rowids) {
        st.bind(1, rowid);
        st.run();
        st.reset();
    }
    if (record) {
        // In the history before the commit, so that no load finds the change unexplained.
        ScheduleChange entry;
        entry.at = QDateTime::currentDateTimeUtc();
        entry.who = kEngineEditor;
        entry.what = change.remove ? QStringLiteral("one-time row deleted after its run")
                                   : QStringLiteral("skip row re-armed");
        for (const StoredRow& row : rows) {
            RowChange c{row.event.Number, row.event, std::nullopt};
            if (!change.remove) {
                c.after = row.event;
                c.after->Active = kActive;
            }
            entry.rows.push_back(std::move(c));
        }
        record->appendHistory(entry);
    }
    t.commit();
    // The commit moved the counter on by one; a commit by another writer between this one and the
    // look at the file shows as more, and the file is read again.
    if (unchangedSinceLoad) {
        const std::optional<FileIdentity> after = db.identity();
        if (after && after->changeCounter == before->changeCounter + 1)
            DatabaseIdentity = after;
        else
            DatabaseIdentity.reset();
    }
    return true;
}

void EventStore::write(Logs& logs, const PendingRowChange& change, bool retry, bool& lockMet) {
    try {
        const bool written = writeRows(change);
        lock.answered(logs);
        if (!written)
            WriteErrorLog(logs,
                          QStringLiteral("Row %1 was changed by the editing tool; its change is left "
                                         "as the tool made it")
                              .arg(change.number),
                          locationOf(change));
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        pending.push_back(change);
        // Kept across a restart; a retry keeps them all at its end.
        if (record && !retry) record->setOwed(pending);
        lockMet = IsLockFailure(failure);
        // Another failure of a change written again was reported when it first failed.
        if (!retry || lockMet)
            lock.report(logs, locationOf(change), failure);
        else
            lock.answered(logs);
    }
}

void EventStore::changeRows(Logs& logs, const PendingRowChange& change) {
    bool lockMet = false;
    write(logs, change, false, lockMet);
}

void EventStore::retryPending(Logs& logs) {
    std::vector<PendingRowChange> owed;
    owed.swap(pending);
    bool lockMet = false;
    for (PendingRowChange& change : owed) {
        if (lockMet)
            pending.push_back(std::move(change));
        else
            write(logs, change, true, lockMet);
    }
    if (record && pending.size() != owed.size()) record->setOwed(pending);
}

void EventStore::deleteHeldBack(Logs& logs, int16_t number) {
    const auto held = std::find_if(awaitingDelete.begin(), awaitingDelete.end(),
                                   [&](const PendingRowChange& c) { return c.number == number; });
    PendingRowChange change;
    if (held != awaitingDelete.end()) {
        change = *held;
        awaitingDelete.erase(held);
    } else {
        change = HeldBackDelete(number);
    }
    changeRows(logs, change);
}

void EventStore::noteTable(Logs& logs, const std::vector<AutomationEvent>& rows) {
    if (!record || !record->isOpen()) return;
    if (!seenRows) {
        // The first table this run reads is where its history starts.
        seenHistoryId = record->lastHistoryId();
        seenRows = rows;
        return;
    }
    for (const ScheduleChange& entry : record->historySince(seenHistoryId)) {
        ApplyChanges(*seenRows, entry.rows);
        seenHistoryId = entry.id;
    }
    std::vector<RowChange> outside = DiffRows(*seenRows, rows);
    seenRows = rows;
    if (outside.empty()) return;
    int added = 0, changed = 0, removed = 0;
    for (const RowChange& c : outside) ++(c.before && c.after ? changed : c.after ? added : removed);
    ScheduleChange entry;
    entry.at = QDateTime::currentDateTimeUtc();
    entry.who = kOutsideEditor;
    entry.what = QStringLiteral("found at a reload");
    entry.rows = std::move(outside);
    if (const int64_t id = record->appendHistory(entry)) seenHistoryId = id;
    WriteActivityLog(logs, QStringLiteral("Automation table changed by another program: %1 added, %2 changed, %3 removed")
                               .arg(added)
                               .arg(changed)
                               .arg(removed));
}

void EventStore::applyPending(std::vector<AutomationEvent>& rows) const {
    for (const PendingRowChange& held : awaitingDelete)
        std::erase_if(rows, [&](const AutomationEvent& ev) { return ExpectedBy(held, ev); });
    for (const PendingRowChange& p : pending) {
        if (p.remove) {
            std::erase_if(rows, [&](const AutomationEvent& ev) { return ExpectedBy(p, ev); });
        } else {
            for (AutomationEvent& ev : rows)
                if (ExpectedBy(p, ev)) ev.Active = kActive;
        }
    }
}

}  // namespace tarvo
