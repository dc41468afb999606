// A row of the Automation table as the operators edit it: named fields in their own words
// ("take = { mode = "take", source = 5, output = 12 }") instead of 69 numbered columns. The same
// form is the web editor's JSON and one [[event]] table of the text form (text_form.h).
//
// A key is left out when its value is the one a Null column reads as, except number, title, day
// and state; a table of an action, a condition or a trigger is written when any of its columns
// is not at its default, and then always with its selector ("mode", "when", ...), "none" for 0.
// Reading takes what writing gives back as the same row, field for field, and names every
// mistake by its field's path ("take.source").
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include "store/automation_event.h"

namespace tarvo {

// The form's keys and values in the form's order. A table's value is a QJsonObject, whose keys
// are sorted: FormTableKeys gives their order.
using OrderedFields = std::vector<std::pair<QString, QJsonValue>>;
OrderedFields OrderedForm(const AutomationEvent& row);
QJsonObject FormOf(const AutomationEvent& row);

// Every key the form knows, in the form's order (`table` empty), or the keys of one of its tables
// ("take") in their order; empty for a key that is no table.
const QStringList& FormTableKeys(const QString& table = QString());

struct FieldProblem {
    QString field;  // "take.source"; "" for the row as a whole
    QString text;
    bool warning = false;
    bool operator==(const FieldProblem&) const = default;
};

// The row the form describes; nothing when it has a mistake, each one in `problems`. Keys left
// out read as a Null column does; "number" and "state" must be given. A value that is not a JSON
// type the form uses may arrive as an object with the one key kForeignType, naming its kind ("a
// date"): it is reported as of that kind.
std::optional<AutomationEvent> RowFromForm(const QJsonObject& form,
                                           std::vector<FieldProblem>& problems);
inline const QString kForeignType = QStringLiteral("\x01type");

// What --check finds wrong with `row` when it takes the place of the rows of its Number in
// `table` (or joins it), each problem on the field it is about. `appFolder` ends in the
// separator; relative file names are found there.
std::vector<FieldProblem> CheckRowInTable(const AutomationEvent& row,
                                          const std::vector<AutomationEvent>& table,
                                          const QString& appFolder);

// The field of the form a --check problem of `row` is about ("" when none is).
QString ProblemField(const AutomationEvent& row, const QString& problemText);

}  // namespace tarvo
