// The text form of the Automation table: one TOML [[event]] table per row, its keys the event
// form's (event_form.h) in the form's order, written so that a diff of two exports shows what
// changed, and read back to the same rows. Operators keep it under version control, review it
// and load it again with tarvo-engined --import.
#pragma once

#include <vector>

#include <QJsonValue>
#include <QString>

#include "store/automation_event.h"

namespace tarvo {

// The rows in Number order (rows of one Number in the order given), after a short header.
QString ExportText(const std::vector<AutomationEvent>& rows);

// A value of the form's key `key` as the text form writes it: 5, "News", { mode = "take", ... }.
QString FormValueText(const QString& key, const QJsonValue& value);

struct TextMistake {
    int line = 0;   // from 1; 0 when the text has no line for it
    QString field;  // "take.source", "" for the event or the file as a whole
    QString text;
    bool operator==(const TextMistake&) const = default;
};

struct ImportRead {
    std::vector<AutomationEvent> rows;  // in Number order; none when there is a mistake
    std::vector<TextMistake> mistakes;  // in the order of their lines
};

// Reads a text form: a TOML syntax error, a key or value the form does not take, and a Number
// given to two events are each a mistake, named by line and field.
ImportRead ReadText(const QString& text);

}  // namespace tarvo
