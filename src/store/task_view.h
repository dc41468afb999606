// The copy of the event table that the task-viewer program reads, kept in the folder the
// operator chose in Setup (TaskViewDB).
#pragma once

#include <QString>

#include "store/sqlite.h"

namespace tarvo {

struct Logs;

// Where the copy is made from and to.
struct TaskViewPaths {
    QString appFolder;     // the program folder, ending in the separator
    QString databasePath;  // the engine's database
    QString taskViewDb;    // the folder chosen in Setup
    // How long a read of the engine's database waits for another writer's lock.
    int busyTimeoutMs = kDefaultBusyTimeoutMs;
};

inline const QString kCopyErrorLocation = QStringLiteral("Error Copying Database");
inline const QString kCompactErrorLocation = QStringLiteral("Error Compacting Automation DB");
inline const QString kTempCompactName = QStringLiteral("TempCompact.mdb");
inline const QString kTempCopyName = QStringLiteral("TempCopy.mdb");

// TaskViewDB followed by the database's file name.
QString TaskViewCopyPath(const QString& taskViewDb);

// Refreshes the copy: the first time a byte-for-byte copy of the engine's database, afterwards
// the copy's schema brought up to date, its event rows replaced and the file compacted. The
// copy file is only ever replaced whole (written beside it, then renamed over it), so the
// task viewer never opens a half-written file.
void CopyTaskViewDatabase(Logs& logs, const TaskViewPaths& paths);
// Compacts the copy into a temporary file in the copy's own folder and renames it over the copy.
void CompactTaskViewDatabase(Logs& logs, const TaskViewPaths& paths);

}  // namespace tarvo
