// tarvo-engined --export and --import: the events of a folder's database as text (one TOML
// [[event]] table each, scheduler/text_form.h), and that text made the database's events again
// as one change in the schedule's history.
#pragma once

#include <vector>

#include <QString>

#include "schedule_report.h"
#include "store/schedule_edit.h"

namespace tarvo::cli {

// The text form of the database in `folder`, read as --check reads it. Exit 2 when the database
// cannot be read.
Report ExportCommand(const QString& folder);

// Reads `file`; its mistakes, one "FILE:LINE: field: text" line each, leave everything as it is
// (exit 2). Otherwise says what --check finds in the new table (which does not stop the import)
// and what changes; then, unless `dryRun`, makes the change as `who` and says its number.
Report ImportCommand(const QString& file, const QString& folder, bool dryRun, const QString& who);

// What `changes` do, row by row, in the form's words: a changed row with one line per field.
QString ChangeText(const std::vector<RowChange>& changes);

}  // namespace tarvo::cli
