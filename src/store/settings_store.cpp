#include "store/settings_store.h"

#include <sqlite3.h>

#include "logs/failure.h"
#include "store/settings.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

constexpr int kErrNoCurrentRecord = 3021;

int64_t flag(bool b) {
    return b ? -1 : 0;
}

// Updates the first stored row of `table`; a table without rows is a failure, as writing to a
// row that is not there would be.
void updateFirstRow(Database& db, const QString& table, const QString& assignments,
                    const std::vector<FieldValue>& values) {
    Statement st(
        db, QStringLiteral(
                "UPDATE [%1] SET %2 WHERE rowid = (SELECT rowid FROM [%1] ORDER BY rowid LIMIT 1)")
                .arg(table, assignments));
    for (std::size_t i = 0; i < values.size(); ++i) st.bind(static_cast<int>(i) + 1, values[i]);
    st.run();
    if (sqlite3_changes(db.handle()) != 1)
        fail(kErrNoCurrentRecord, QStringLiteral("No current record"));
}

}  // namespace

void StoreSetupSettings(const QString& databasePath, const EngineSettings& s, int busyTimeoutMs) {
    Database db(databasePath, busyTimeoutMs);
    Transaction t(db);
    updateFirstRow(
        db, QStringLiteral("Info"),
        QStringLiteral("[StartMin] = ?1, [ArchiveTally] = ?2, [MaxTallyFile] = ?3, [Future1] = ?4"),
        {FieldValue{flag(s.StartMin)}, FieldValue{flag(s.ArchiveTally)},
         FieldValue{static_cast<int64_t>(s.MaxTallyFile)}, FieldValue{s.Future1}});
    updateFirstRow(db, QStringLiteral("Server"), QStringLiteral("[TaskViewDB] = ?1"),
                   {FieldValue{s.TaskViewDB}});
    t.commit();
}

}  // namespace tarvo
