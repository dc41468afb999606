#pragma once

#include <QString>

namespace tarvo {

struct Logs;

constexpr int kCurrentSchemaVersion = 18;

// Brings the database at `path` up to the current schema version, one step per version. Each step is one transaction: a step that fails leaves the file
// as it was before that step, and the next call repeats it.
void CheckDatabaseVersion(Logs& logs, const QString& path);

}  // namespace tarvo
