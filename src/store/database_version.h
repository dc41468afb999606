#pragma once

#include <QString>

#include "store/sqlite.h"

namespace tarvo {

struct Logs;
class LockWatch;

constexpr int kCurrentSchemaVersion = 18;

// Brings the database at `path` up to the current schema version, one step per version. Each
// step is one transaction: a step that fails leaves the file as it was before that step, and the
// next call repeats it. Another writer's lock is waited for up to `busyTimeoutMs`; with `lock`,
// a lock is reported through it (once while it lasts). False when a lock stopped the check.
bool CheckDatabaseVersion(Logs& logs, const QString& path, int busyTimeoutMs = kDefaultBusyTimeoutMs,
                          LockWatch* lock = nullptr);

}  // namespace tarvo
