// The rows of a database that cannot do what they say: a row whose Number the engine cannot find
// it by, a timed row that never falls due, an action whose operands are always refused (not given,
// or beyond what its sender puts on the wire), a file that will not load or be sent, a peer or a
// serial port that is never reached, a condition or a trigger on a number the switcher cannot
// have, a row beyond the table's limit; and crosspoint-triggered rows that start one another
// without end. Nothing here runs an event or talks to the switcher; it only reads the rows
// and the files they name, so an operator can find what the engine would refuse before it does.
#pragma once

#include <cstdint>
#include <vector>

#include <QString>
#include <QStringList>

#include "store/automation_event.h"
#include "store/settings.h"

namespace tarvo {

// Opto, relay, source and output numbers are 14-bit on the wire: 1 .. 16384 counted from 1.
constexpr int kMaxSwitcherNumber = 16384;

struct RowProblem {
    int16_t number = 0;
    QString title;
    // The line the engine logs for it ("<Title> not executed - Invalid Crosspoint"), with what
    // makes it so where that is not plain; or, where the engine says nothing, what keeps the row
    // from doing what it says ("<Title>: never runs - ...").
    QString text;
    // What may hold only here and not on the machine it runs on (a serial device): said, but not
    // counted as a problem.
    bool warning = false;
    bool operator==(const RowProblem&) const = default;
};

// Every problem of every row, row by row in the order given (the read's Number order: the rows
// beyond kMaxEvents are the ones the engine leaves out), then one line for each group of
// crosspoint-triggered rows that start one another, under the group's first row. `appFolder` is the
// program folder, where relative file names are found; it ends in the separator.
std::vector<RowProblem> CheckSchedule(const std::vector<AutomationEvent>& rows,
                                      const QString& appFolder);

// What keeps the settings from working: the switcher's address never set.
QStringList CheckSettings(const EngineSettings& settings);

}  // namespace tarvo
