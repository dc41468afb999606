// What the schedule's checks and preview find, as lines for a person or as one JSON document for
// other tools (tarvo-engined --check and --preview, and the web console).
#pragma once

#include <cstddef>
#include <vector>

#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include "scheduler/schedule_check.h"
#include "scheduler/schedule_preview.h"

namespace tarvo {

// The problems that count (settings problems, and row problems that are no warning).
std::size_t CountProblems(const std::vector<RowProblem>& problems, const QStringList& settings);

// One line per settings problem and per row problem (a warning says so), then one with the count
// of problems, warnings left out.
QString CheckText(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings = {});
QJsonDocument CheckJson(const std::vector<RowProblem>& problems, std::size_t rows, const QStringList& settings = {});

// A heading, a line per timed entry (date, day, time, title, what it does, its conditions and a
// note), then the triggered events under their triggers.
QString PreviewText(const SchedulePreview& p);
QJsonDocument PreviewJson(const SchedulePreview& p);

}  // namespace tarvo
