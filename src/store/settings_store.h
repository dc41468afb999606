// Writing the settings that the Setup dialog edits back into the database.
#pragma once

#include <QString>

#include "store/sqlite.h"

namespace tarvo {

struct EngineSettings;

// Writes StartMin, ArchiveTally, MaxTallyFile and Future1 into the first row of Info and
// TaskViewDB into the first row of Server, both or neither. A failure (no database, no such
// table, no first row, a locked file) throws; another writer's lock is waited for up to
// `busyTimeoutMs`.
void StoreSetupSettings(const QString& databasePath, const EngineSettings& settings,
                        int busyTimeoutMs = kDefaultBusyTimeoutMs);

}  // namespace tarvo
