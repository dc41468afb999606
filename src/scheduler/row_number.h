// A row's Number is the key by which the engine finds the row again: in the file, for a one-time
// row's delete and a skip row's re-arm, and in its tables after a reload. A stored Number that
// the 16-bit field cannot hold (40000, text, Null) reads as 0, which would make those changes
// miss the row (a one-time row that runs again after every edit) or land on another. So the
// engine keeps to 1 .. 32767: a row outside that is left out of every table and never runs, and
// the check says so.
#pragma once

#include <vector>

#include <QString>

#include "store/automation_event.h"

namespace tarvo {

struct Logs;

constexpr int kMaxRowNumber = 32767;

constexpr bool IsRowNumber(int number) {
    return number >= 1 && number <= kMaxRowNumber;
}

// What is wrong with the row's Number, in words; empty when it is a row number.
QString RowNumberProblem(const AutomationEvent& ev);

// Takes the rows whose Number is no row number out of `rows`, keeping the order of the others;
// returns them in the order they were met.
std::vector<AutomationEvent> TakeOutUnnumberedRows(std::vector<AutomationEvent>& rows);

// The load's one error-log line for the rows it left out (nothing when there are none).
void ReportUnnumberedRows(Logs& logs, const QString& location,
                          const std::vector<AutomationEvent>& rows);

}  // namespace tarvo
