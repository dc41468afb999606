// The event table of a soak: timed events every few seconds over the whole run (takes, salvos,
// relay and opto actions, delays, conditions, one-time, skip and inactive rows), and
// opto-, relay- and crosspoint-triggered events for the inputs and outputs the chaos touches.
#pragma once

#include <vector>

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "soak_peers.h"
#include "support/test_support.h"

namespace tarvo::soak {

// One timed row and what its decision must look like.
struct TimedRow {
    QString title;
    QDateTime due;
    int active = 1;
    int delay = 0;
    // A take without condition or delay: once the link is back it must reach the switcher.
    bool plainTake = false;
    QByteArray takeFrame;  // the frame the switcher receives for it
};

struct SoakTable {
    std::vector<test::Row> rows;
    std::vector<TimedRow> timed;
    int editorNumber = 0;  // a row on another day that the "editing tool" keeps changing
};

// Timed rows from `first` to `last`, `spacingSec` apart; triggered rows for every day the run
// touches (`first` to `until`), among them rows whose actions wait on `targets` (messages,
// serial, uploads) and a pair on output 9 that trigger each other.
SoakTable BuildSoakTable(const QDateTime& first, const QDateTime& last, int spacingSec,
                         const QDateTime& until, const SoakTargets& targets);

// The base title of a history line's title column (" - Not Executed" and " - Inactive" cut).
QString BaseTitle(const QString& historyTitle);

}  // namespace tarvo::soak
