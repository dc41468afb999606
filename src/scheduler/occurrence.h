// Occurrences of timed events: a timed row on one calendar date, and the moment it falls at.
// Everything here is pure: rows, dates and zones in, moments out.
//
// A row's local time is read in the clock's zone. A time the clock passes twice (the hour
// repeated when daylight saving ends) falls at its first pass; a time the clock skips (the hour
// lost when it begins) falls at the moment of the change, so such events run right after it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include <QDate>
#include <QDateTime>
#include <QTimeZone>

#include "store/automation_event.h"

namespace tarvo {

// A row the clock runs: a timed event with a weekday and a time of day.
bool IsTimedRow(const AutomationEvent& ev);

// The Monday of the week `date` lies in.
QDate MondayOf(const QDate& date);

// The moment (UTC) at which `secondsOfDay` on `date` falls in `zone`.
QDateTime OccurrenceInstant(const QDate& date, int secondsOfDay, const QTimeZone& zone);

struct Occurrence {
    int index = 0;  // into the event table
    uint32_t id = 0;
    int16_t number = 0;
    QDate date;
    int seconds = 0;
    QDateTime at;  // UTC
};

// Which occurrence was decided: the row by its Number, the date, and its time (a row whose time
// was edited afterwards is another occurrence).
using OccurrenceKey = std::tuple<int16_t, qint64, int>;
OccurrenceKey KeyOf(const Occurrence& o);
using DecidedOccurrences = std::set<OccurrenceKey>;

// The earliest occurrence after `after` (UTC) that is not decided; ties go to the row that comes
// first in the table. Empty when the table holds no timed row.
std::optional<Occurrence> NextOccurrence(const std::vector<AutomationEvent>& events, const DecidedOccurrences& decided,
                                         const QDateTime& after, const QTimeZone& zone);

// Hands each undecided occurrence after `after` and at or before `until` (UTC) to `take`, in the
// order they fall, ties in table order, until it returns false.
void ForEachOccurrence(const std::vector<AutomationEvent>& events,
                       const DecidedOccurrences& decided, const QDateTime& after,
                       const QDateTime& until, const QTimeZone& zone,
                       const std::function<bool(const Occurrence&)>& take);

// The occurrences after `from` and at or before `to` (UTC), in the order they fall; for the
// count of a forward clock change.
int CountOccurrences(const std::vector<AutomationEvent>& events, const DecidedOccurrences& decided,
                     const QDateTime& from, const QDateTime& to, const QTimeZone& zone);

}  // namespace tarvo
