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

#include "scheduler/schedule_check.h"
#include "scheduler/schedule_preview.h"

namespace tarvo::cli {

// One line per settings problem and per row problem (a warning says so), then one with the count
// of problems, warnings left out.
QString CheckText(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings = {});
QJsonDocument CheckJson(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings = {});

// A heading, a line per timed entry (date, day, time, title, what it does, its conditions and a
// note), then the triggered events under their triggers.
QString PreviewText(const SchedulePreview& p);
QJsonDocument PreviewJson(const SchedulePreview& p);

struct Report {
    int exitCode = 0;
    QString out;
    QString err;
};

// --check (`previewDays` 0) or --preview of the database in `folder`, from `now` in `zone`.
// Exit 2 when the database cannot be read, with what stopped it in `err`.
Report ScheduleReport(const QString& folder, int previewDays, bool json, const QDateTime& now,
                      const QTimeZone& zone);

}  // namespace tarvo::cli
