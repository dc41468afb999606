// Changes to the Automation table made by an editor (the web console's, the text form's import),
// and the history of every change to it: an editor's, the engine's own upkeep, and what another
// program changed, found at a reload by comparing the table before and after.
//
// The history lives in the engine's record file (TarvoEngineState.db), in tables of its own. An
// editor holds the operators' database alone (no reader) from the check of the versions it saw
// until its commit, and writes its history entry in between; the engine reads the entries while
// its load holds its read lock. So every entry the engine sees has its rows in the table the
// engine reads, and a change it finds that no entry explains is another program's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <QDateTime>
#include <QString>

#include "store/automation_event.h"

namespace tarvo {

class Database;

// A row's version: a digest of every column the engine reads or keeps, as 32 hex digits. Two
// rows have one version exactly when a load reads them as the same row.
QString RowVersion(const AutomationEvent& row);

// One row before and after a change; nothing before: added; nothing after: removed.
struct RowChange {
    int16_t number = 0;
    std::optional<AutomationEvent> before, after;
};

// Who made a change, as the history names it.
inline const QString kEngineEditor = QStringLiteral("engine");
inline const QString kOutsideEditor = QStringLiteral("outside");

struct ScheduleChange {
    int64_t id = 0;
    QDateTime at;  // UTC
    QString who;   // a console user's name, "engine", "outside", "import by NAME"
    QString what;  // a few words: "edit", "import of FILE", "undo of change 12", "one-time row deleted"
    std::vector<RowChange> rows;
};

// The differences between two tables, each in Number order: rows of one Number are paired by
// version, what is left over of each Number is changed (paired in order), added or removed.
std::vector<RowChange> DiffRows(const std::vector<AutomationEvent>& before,
                                const std::vector<AutomationEvent>& after);
// Applies `changes` to `rows` (in Number order, kept so): a before row is found by its version.
void ApplyChanges(std::vector<AutomationEvent>& rows, const std::vector<RowChange>& changes);

// The history in the record file. Every call is one statement or one transaction on `db`.
class ScheduleHistory {
public:
    // The newest entries kept; an older one goes when a new one comes.
    static constexpr int64_t kKept = 20000;
    explicit ScheduleHistory(Database& db, int64_t kept = kKept);
    // Returns the new entry's id.
    int64_t append(const ScheduleChange& change);
    struct Filter {
        std::optional<int16_t> number;  // changes of rows of this Number (before or after)
        std::optional<int16_t> day;     // changes of rows of this Day (before or after)
        int64_t beforeId = 0;           // only entries older than this (0: from the newest)
        // Only entries made at or after `fromMs` and before `toMs` (UTC, ms since the epoch;
        // 0 and 0: whenever).
        qint64 fromMs = 0, toMs = 0;
        int limit = 50;
    };
    // Newest first.
    std::vector<ScheduleChange> list(const Filter& filter);
    std::optional<ScheduleChange> get(int64_t id);
    // Oldest first: every entry after `id`.
    std::vector<ScheduleChange> since(int64_t id);
    int64_t lastId();

private:
    Database& db_;
    int64_t kept_;
};

// Opens the history of the record file at `path` (made when there is none) on a connection of
// its own, for an editor outside the engine's loop.
std::unique_ptr<Database> OpenHistory(const QString& path, int busyTimeoutMs);

// One row an editor wants changed: the row of `number` whose version is `version` (empty: a new
// row), to be made `after` (nothing: removed).
struct RowEdit {
    int16_t number = 0;
    QString version;
    std::optional<AutomationEvent> after;
};

struct EditOutcome {
    enum Result {
        Done,      // committed and in the history as `changeId`
        Stale,     // some rows are no longer as the editor saw them; nothing changed
        Invalid,   // the edits together leave two rows on one Number; nothing changed
        Locked,    // another writer held the file longer than the wait
        Failed,    // nothing changed; `failure` says why
    };
    Result result = Failed;
    int64_t changeId = 0;
    std::vector<RowChange> changes;
    // Stale: each edit whose row has changed, with the rows of its Number as they are now
    // (none: the row is gone; for a new row, the row that took its Number meanwhile).
    struct StaleRow {
        std::size_t edit = 0;
        std::vector<AutomationEvent> current;
    };
    std::vector<StaleRow> stale;
    // Invalid: the Numbers left on more than one row.
    std::vector<int16_t> doubled;
    QString failure;
};

// Makes `edits` in one transaction on the database at `databasePath` and records them, as one
// change by `who`, in the history at `recordPath`. Waits at most `busyTimeoutMs` for other
// writers and readers. Edits that change nothing are left out; when none is left nothing is
// written (Done with changeId 0).
EditOutcome ApplyScheduleEdit(const QString& databasePath, const QString& recordPath,
                              const QString& who, const QString& what,
                              const std::vector<RowEdit>& edits, int busyTimeoutMs);

// Every row of the Automation table, read as a load reads it, in Number order.
std::vector<AutomationEvent> ReadAllRows(Database& db);

}  // namespace tarvo
