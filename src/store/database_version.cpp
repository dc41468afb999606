#include "store/database_version.h"

#include <optional>
#include <vector>

#include "logs/logs.h"
#include "store/lock_watch.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

struct Column {
    const char* name;
    const char* kind;  // SQLite type: INTEGER for Integer and Long, TEXT for Text(n)
    std::optional<FieldValue> rowDefault;  // written to every Automation row
};

struct UpgradeStep {
    int from;
    const char* table;
    std::vector<Column> columns;
    const char* secondTable = nullptr;  // the step from 6 adds to Server and to Info
    std::vector<Column> secondColumns = {};
    std::vector<std::pair<const char*, FieldValue>> infoDefaults = {};
};

FieldValue I(int64_t v) { return FieldValue{v}; }
FieldValue T(const char* s) { return FieldValue{QString::fromLatin1(s)}; }

const std::vector<UpgradeStep>& steps() {
    static const std::vector<UpgradeStep> kSteps = {
        {1, "Automation",
         {{"TriggerSource", "INTEGER", I(0)}, {"TriggerDest", "INTEGER", I(0)}, {"TControl", "INTEGER", I(0)},
          {"Message", "TEXT", T("None")}, {"MControl", "INTEGER", I(0)}, {"MType", "INTEGER", I(0)},
          {"Method", "TEXT", T("None")}, {"Future1", "TEXT", {}}, {"Future2", "TEXT", {}}, {"Future3", "TEXT", {}},
          {"Future4", "TEXT", {}}, {"Future5", "TEXT", {}}}},
        {2, nullptr, {}},
        {3, "Automation",
         {{"MIPAddress", "TEXT", T("0.0.0.0")}, {"MIPPort", "INTEGER", I(0)}, {"MFrame", "INTEGER", I(0)},
          {"MSlot", "INTEGER", I(0)}, {"MPort", "INTEGER", I(0)}, {"MCommPort", "INTEGER", I(0)},
          {"MBaudRate", "INTEGER", I(0)}}},
        {4, "Server", {{"SlaveIPPort", "TEXT", {}}, {"SlaveIPAddr", "TEXT", {}}}},
        {5, "Automation", {{"Color", "INTEGER", I(16777215)}}},
        {6, "Server", {{"TaskViewDB", "TEXT", {}}}, "Info", {{"StartMin", "INTEGER", {}}}, {{"StartMin", I(0)}}},
        {7, "Automation", {{"FFrame", "INTEGER", I(0)}, {"FSlot", "INTEGER", I(0)}}},
        {8, "Automation", {{"OptoOut", "INTEGER", I(0)}, {"OControl", "INTEGER", I(0)}}},
        {9, "Info", {{"MaxTallyFile", "INTEGER", {}}, {"ArchiveTally", "INTEGER", {}}}, nullptr, {},
         {{"MaxTallyFile", I(1000)}, {"ArchiveTally", I(-1)}}},
        {10, "Automation",
         {{"ReqOpto", "INTEGER", I(0)}, {"ReqRelay", "INTEGER", I(0)}, {"OptoCondition", "INTEGER", I(0)},
          {"RelayCondition", "INTEGER", I(0)}}},
        {11, "Automation", {{"Template", "INTEGER", I(0)}}},
        {12, "Automation", {{"RcControl", "INTEGER", I(0)}, {"RcOpto", "INTEGER", I(0)}, {"RcRelay", "INTEGER", I(0)}}},
        {13, "Automation",
         {{"ReqSource2", "INTEGER", I(0)}, {"ReqDest2", "INTEGER", I(0)}, {"Condition2", "INTEGER", I(0)},
          {"ReqOpto2", "INTEGER", I(0)}, {"ReqRelay2", "INTEGER", I(0)}, {"OptoCondition2", "INTEGER", I(0)},
          {"RelayCondition2", "INTEGER", I(0)}, {"Priority", "INTEGER", I(0)}}},
        {14, "Automation", {{"Delay", "INTEGER", I(0)}}},
        {15, "Automation", {{"Option", "INTEGER", I(0)}}},
        {16, "Automation", {{"ssSource", "INTEGER", I(0)}, {"ssDeviceID", "INTEGER", I(0)}, {"ssControl", "INTEGER", I(0)}}},
        {17, "Automation", {{"FileChannel1", "INTEGER", I(16383)}}},
    };
    return kSteps;
}

const QString kFirstInfoRow = QStringLiteral("rowid = (SELECT min(rowid) FROM Info)");

int readVersion(Database& db) {
    Statement st(db, QStringLiteral("SELECT Version FROM Info WHERE ") + kFirstInfoRow);
    if (!st.next()) fail(3021, QStringLiteral("No current record"));
    return static_cast<int>(ToInteger(st.value(0), INT32_MIN, INT32_MAX));
}

void addColumns(Database& db, const char* table, const std::vector<Column>& columns) {
    for (const Column& c : columns)
        db.exec(QStringLiteral("ALTER TABLE [%1] ADD COLUMN [%2] %3")
                    .arg(QLatin1String(table), QLatin1String(c.name), QLatin1String(c.kind)));
}

void fillRows(Database& db, const UpgradeStep& step) {
    if (QLatin1String(step.table) != QLatin1String("Automation")) return;
    for (const Column& c : step.columns) {
        if (!c.rowDefault) continue;
        Statement st(db, QStringLiteral("UPDATE Automation SET [%1] = ?1").arg(QLatin1String(c.name)));
        st.bind(1, *c.rowDefault);
        st.run();
    }
}

void setVersion(Database& db, int version, const UpgradeStep& step) {
    Statement st(db, QStringLiteral("UPDATE Info SET Version = ?1 WHERE ") + kFirstInfoRow);
    st.bind(1, QString::number(version));
    st.run();
    for (const auto& [column, value] : step.infoDefaults) {
        Statement d(db, QStringLiteral("UPDATE Info SET [%1] = ?1 WHERE ").arg(QLatin1String(column)) + kFirstInfoRow);
        d.bind(1, value);
        d.run();
    }
}

}  // namespace

bool CheckDatabaseVersion(Logs& logs, const QString& file, int busyTimeoutMs, LockWatch* lock) {
    bool locked = false;
    // Each part under its own error handler, as Guarded would; a lock goes to the watch.
    auto guarded = [&](const QString& location, auto&& body) {
        try {
            body();
        } catch (...) {
            const TarvoError failure = CurrentFailure(std::current_exception());
            if (lock)
                locked = lock->report(logs, location, failure);
            else
                ReportError(logs, location, failure);
        }
    };
    std::optional<Database> db;
    // 1. Opening.
    guarded(QStringLiteral("Invalid Automation DB"), [&] {
        db.emplace(file, busyTimeoutMs);
        const bool rollback = db->useRollbackJournal();
        if (lock) lock->journalMode(logs, file, !rollback);
    });
    if (!db || locked) return !locked;
    guarded(QStringLiteral("Error Checking DB Version"), [&] {
        // 2. A file without Info gets one, at version 1.
        if (!db->tableExists(QStringLiteral("Info"))) {
            Transaction t(*db);
            db->exec(QStringLiteral("CREATE TABLE Info (Version TEXT, Future1 TEXT, Future2 TEXT, Future3 TEXT, "
                                    "Future4 TEXT, Future5 TEXT)"));
            db->exec(QStringLiteral("INSERT INTO Info (Version) VALUES ('1')"));
            t.commit();
        }
        // 3, 4. Every step from the file's version up to the current one.
        if (readVersion(*db) >= kCurrentSchemaVersion) return;
        for (const UpgradeStep& step : steps()) {
            if (readVersion(*db) != step.from) continue;
            Transaction t(*db);
            if (step.table) addColumns(*db, step.table, step.columns);
            if (step.secondTable) addColumns(*db, step.secondTable, step.secondColumns);
            if (step.from == 5) {
                setVersion(*db, step.from + 1, step);
                fillRows(*db, step);
            } else {
                fillRows(*db, step);
                setVersion(*db, step.from + 1, step);
            }
            t.commit();
        }
    });
    return !locked;
}

}  // namespace tarvo
