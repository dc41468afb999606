#include "scheduler/row_number.h"

#include <algorithm>

#include <QStringList>

#include "logs/logs.h"

namespace tarvo {

namespace {

// Titles named in the error-log line; the rest are counted.
constexpr std::size_t kNamedRows = 5;

}  // namespace

QString RowNumberProblem(const AutomationEvent& ev) {
    if (IsRowNumber(ev.Number)) return QString();
    return QStringLiteral(
               "Number %1 is outside 1 to %2 (a stored Number that is not a whole "
               "number of that range reads as 0)")
        .arg(ev.Number)
        .arg(kMaxRowNumber);
}

std::vector<AutomationEvent> TakeOutUnnumberedRows(std::vector<AutomationEvent>& rows) {
    std::vector<AutomationEvent> out;
    const auto kept = std::stable_partition(
        rows.begin(), rows.end(), [](const AutomationEvent& ev) { return IsRowNumber(ev.Number); });
    out.assign(std::make_move_iterator(kept), std::make_move_iterator(rows.end()));
    rows.erase(kept, rows.end());
    return out;
}

void ReportUnnumberedRows(Logs& logs, const QString& location,
                          const std::vector<AutomationEvent>& rows) {
    if (rows.empty()) return;
    QStringList titles;
    for (std::size_t i = 0; i < rows.size() && i < kNamedRows; ++i)
        titles << QLatin1Char('"') + rows[i].Title.toString() + QLatin1Char('"');
    if (rows.size() > kNamedRows) titles << QStringLiteral("...");
    WriteErrorLog(logs,
                  QStringLiteral("%1 %2 not run, Number not 1 to %3: %4")
                      .arg(rows.size())
                      .arg(rows.size() == 1 ? QStringLiteral("row is") : QStringLiteral("rows are"))
                      .arg(kMaxRowNumber)
                      .arg(titles.join(QStringLiteral(", "))),
                  location);
}

}  // namespace tarvo
