// tarvo-engined --check and --preview: the database read as the engine reads it, without
// changing it, and what the checks and the preview find, as lines for a person or as one JSON
// document for other tools.
#pragma once

#include <cstddef>
#include <vector>

#include <QDateTime>
#include <QJsonDocument>
#include <QString>
#include <QTimeZone>

#include "scheduler/schedule_report.h"
#include "store/load_database.h"

namespace tarvo::cli {

using tarvo::CheckJson;
using tarvo::CountProblems;
using tarvo::CheckText;
using tarvo::PreviewJson;
using tarvo::PreviewText;

struct Report {
    int exitCode = 0;
    QString out;
    QString err;
};

// The database of `folder` read as --check reads it: read-only, not upgraded, nothing logged.
// `error` says why it could not be read (and the rest is empty).
struct FolderRead {
    QString appFolder;  // absolute, ending in the separator
    QString path;       // of the database
    DatabaseRead read;
    QString error;
};
FolderRead InspectFolder(const QString& folder);

// --check (`previewDays` 0) or --preview of the database in `folder`, from `now` in `zone`.
// Exit 2 when the database cannot be read, with what stopped it in `err`.
Report ScheduleReport(const QString& folder, int previewDays, bool json, const QDateTime& now,
                      const QTimeZone& zone);

}  // namespace tarvo::cli
