// The database content beyond tables of values: a file described as for the loader, then given
// views (in a table's place, or beside them, some on endless queries), triggers on the tables
// the engine writes (each would leave a row in a table of its own and move the switcher's
// address), indexes on expressions, generated columns, and WAL mode. The engine loads it, makes
// its own row changes, loads it again, and the check reads it.
//
// Nothing the file stores may run: no trigger fires, no view is read through (an endless one
// would never return, which the fuzzer reports as a timeout), and every failure is one the
// engine raised and reported.
//
//   byte 0        the number of additions (low 3 bits)
//   per addition  kind, argument
//   the rest      the database, as fuzz_loader reads it
#include <sqlite3.h>

#include <QDir>

#include "base/clock.h"
#include "store/event_store.h"
#include "database_writer.h"
#include "engine/engine.h"
#include "fuzz_engine.h"
#include "loader_input.h"
#include "store/load_database.h"

using namespace tarvo;

namespace {

const QDate kMonday(2026, 12, 7);
const char* const kTables[] = {"Automation", "Server", "Info", "Type"};
const char* const kEndless =
    "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT n AS Number, n AS "
    "Type, n AS IPAddr, n AS Version FROM r";

// Runs `sql` on a connection of its own; a statement the file's tables do not allow (a column
// that is not there, a view where a table was) is simply not added.
void tryExec(const QString& path, const QString& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
}

QString addition(uint8_t kind, uint8_t arg, int index) {
    const QString table = QLatin1String(kTables[arg % 4]);
    const QString name = QStringLiteral("x%1").arg(index);
    const QString fires = QStringLiteral(
        " BEGIN INSERT INTO Fired VALUES ('%1'); UPDATE Server SET IPAddr = '10.9.9.9'; END");
    switch (kind % 9) {
        case 0:  // the table itself an endless view
            return QStringLiteral("DROP TABLE IF EXISTS [%1]; CREATE VIEW [%1] AS %2").arg(table, kEndless);
        case 1:  // the table a plain view of one row
            return QStringLiteral("DROP TABLE IF EXISTS [%1]; CREATE VIEW [%1] AS SELECT %2 AS Number, "
                                  "'Automation' AS Type, '127.0.0.1' AS IPAddr, 1250 AS IPPort, '18' AS Version")
                .arg(table)
                .arg(arg);
        case 2:
            return QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON [%2]").arg(name, table) + fires.arg(name);
        case 3:
            return QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON [%2]").arg(name, table) + fires.arg(name);
        case 4:
            return QStringLiteral("CREATE TRIGGER %1 BEFORE INSERT ON [%2]").arg(name, table) + fires.arg(name);
        case 5:
            return QStringLiteral("PRAGMA journal_mode=WAL");
        case 6:
            return QStringLiteral("CREATE INDEX %1 ON Automation (abs(Number) + %2)").arg(name).arg(arg);
        case 7:
            return QStringLiteral("ALTER TABLE Automation ADD COLUMN %1 GENERATED ALWAYS AS (Number * %2) VIRTUAL")
                .arg(name)
                .arg(arg);
        default:  // an endless view beside the tables
            return QStringLiteral("CREATE VIEW %1 AS %2").arg(name, kEndless);
    }
}

int64_t firedCount(const QString& path) {
    sqlite3* db = nullptr;
    int64_t n = 0;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM Fired", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close_v2(db);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString program = fuzz::SubFolder(QStringLiteral("schema"));
    static const QString taskView = fuzz::SubFolder(QStringLiteral("schema-taskview"));
    const int additions = size > 0 ? data[0] & 7 : 0;
    const std::size_t head = std::min<std::size_t>(size, 1 + 2 * static_cast<std::size_t>(additions));

    QDir(program).removeRecursively();
    QDir().mkpath(program);
    QDir(taskView).removeRecursively();
    QDir().mkpath(taskView);
    const QString path = program + kDatabaseFileName;
    const fuzz::Description d = fuzz::ReadDescription(data + head, size - head);
    fuzz::WriteDatabase(path, d, {QString(), taskView, program});
    tryExec(path, QStringLiteral("CREATE TABLE Fired (what TEXT)"));
    for (int i = 0; i < additions; ++i) {
        const std::size_t at = 1 + 2 * static_cast<std::size_t>(i);
        tryExec(path, addition(at < size ? data[at] : 0, at + 1 < size ? data[at + 1] : 0, i));
    }

    try {
        ManualClock clock(QDateTime(kMonday.addDays(std::min<int>(d.day, 6)), QTime(d.hour, d.minute)));
        fuzz::QuietView view;
        Engine e(clock, view, program);
        LoadDatabase(e);
        LoadDatabase(e);
        // The engine's own writes, as the upkeep makes them: every one-time row deleted, every
        // skip row re-armed. (No run is started: a row's message would go to whatever address
        // the input names.)
        const std::vector<AutomationEvent> rows = e.scheduler.Events;
        for (const AutomationEvent& ev : rows) {
            if (ev.Active == kRunOnce) e.store.changeRows(e.logs, DeleteChange(ev));
            if (ev.Active == kSkipNext) e.store.changeRows(e.logs, ReArmChange(ev));
        }
        e.store.retryPending(e.logs);
        LoadDatabase(e);
    } catch (...) {
        fuzz::Broken("an exception escaped the engine");
    }
    (void)InspectAutomationDatabase(path);
    fuzz::Require(firedCount(path) == 0, "a trigger of the file ran");
    fuzz::CheckErrorLog(program);
    return 0;
}
