#include "scheduler/occurrence.h"

#include <algorithm>
#include <functional>
#include <limits>

#include <QTime>

#include "scheduler/time_arith.h"

namespace tarvo {

namespace {

constexpr qint64 kDay = 86400;
constexpr qint64 kWeek = 7 * kDay;
// More than any change of a zone's offset: a local time this far before a moment cannot fall
// after it.
constexpr qint64 kOffsetMargin = 3 * 3600;

qint64 floorDiv(qint64 a, qint64 b) {
    const qint64 q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// A slot of one row: its local date and time as seconds from the Monday the search counts from.
struct Slot {
    qint64 local;
    int index;
    int seconds;
    bool operator>(const Slot& o) const { return std::tie(local, index) > std::tie(o.local, o.index); }
};

}  // namespace

bool IsTimedRow(const AutomationEvent& ev) {
    return ev.Type == kTimed && IsWeekday(ev.Day) && EventSeconds(ev.Time.view()).has_value();
}

QDate MondayOf(const QDate& date) { return date.addDays(1 - date.dayOfWeek()); }

QDateTime OccurrenceInstant(const QDate& date, int secondsOfDay, const QTimeZone& zone) {
    const QDateTime naive(date, QTime::fromMSecsSinceStartOfDay(secondsOfDay * 1000), Qt::UTC);
    if (!zone.isValid() || zone == QTimeZone::utc()) return naive;
    // The offsets in force around that day; a change of offset happens at most once near it.
    const int early = zone.offsetFromUtc(naive.addSecs(-kDay / 2));
    const int late = zone.offsetFromUtc(naive.addSecs(kDay / 2));
    QDateTime first;
    for (int offset : {early, late}) {
        const QDateTime utc = naive.addSecs(-offset);
        if (zone.offsetFromUtc(utc) != offset) continue;  // that reading does not exist
        if (!first.isValid() || utc < first) first = utc;
    }
    if (first.isValid()) return first;
    // A local time the clock skips: the moment of the change.
    return zone.nextTransition(naive.addSecs(-std::max(early, late))).atUtc.toUTC();
}

OccurrenceKey KeyOf(const Occurrence& o) { return {o.number, o.date.toJulianDay(), o.seconds}; }

namespace {

// Walks the occurrences after `after` in the order they fall, ties in table order, and hands
// each undecided one to `take` until it returns false, or until the slots are more than `span`
// seconds of local time past the first one looked at.
void walkOccurrences(const std::vector<AutomationEvent>& events, const DecidedOccurrences& decided,
                     const QDateTime& after, qint64 span, const QTimeZone& zone,
                     const std::function<bool(const Occurrence&)>& take) {
    const QDateTime local = zone == QTimeZone::utc() ? after : after.toTimeZone(zone);
    const QDate monday = MondayOf(local.date());
    const qint64 from = monday.daysTo(local.date()) * kDay + local.time().msecsSinceStartOfDay() / 1000 - kOffsetMargin;

    // Each row's first slot at or after `from`. Local order is the order the slots fall in: a
    // skipped time falls at the change, a repeated one at its first pass.
    std::vector<Slot> heap;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const AutomationEvent& ev = events[i];
        if (ev.Type != kTimed || !IsWeekday(ev.Day)) continue;
        const std::optional<int> seconds = EventSeconds(ev.Time.view());
        if (!seconds) continue;
        qint64 slot = ev.Day * kDay + *seconds - kWeek;
        while (slot < from) slot += kWeek;
        heap.push_back({slot, static_cast<int>(i), *seconds});
    }
    std::make_heap(heap.begin(), heap.end(), std::greater<>());
    // A row whose slot is passed or decided comes back a week later.
    const qint64 end = from + span;
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), std::greater<>());
        Slot s = heap.back();
        heap.pop_back();
        if (s.local > end) return;
        const AutomationEvent& ev = events[static_cast<std::size_t>(s.index)];
        Occurrence o;
        o.index = s.index;
        o.id = ev.id;
        o.number = ev.Number;
        o.date = monday.addDays(floorDiv(s.local, kDay));
        o.seconds = s.seconds;
        o.at = OccurrenceInstant(o.date, o.seconds, zone);
        if (o.at > after && !decided.count(KeyOf(o))) {
            if (!take(o)) return;
        }
        s.local += kWeek;
        heap.push_back(s);
        std::push_heap(heap.begin(), heap.end(), std::greater<>());
    }
}

}  // namespace

std::optional<Occurrence> NextOccurrence(const std::vector<AutomationEvent>& events, const DecidedOccurrences& decided,
                                         const QDateTime& after, const QTimeZone& zone) {
    std::optional<Occurrence> found;
    // Two weeks of slots are always enough, since only occurrences after `after` can be
    // undecided.
    walkOccurrences(events, decided, after, 3 * kWeek, zone, [&](const Occurrence& o) {
        found = o;
        return false;
    });
    return found;
}

void ForEachOccurrence(const std::vector<AutomationEvent>& events,
                       const DecidedOccurrences& decided, const QDateTime& after,
                       const QDateTime& until, const QTimeZone& zone,
                       const std::function<bool(const Occurrence&)>& take) {
    if (until <= after) return;
    // The local reading of `until` lies at most one change of offset beyond `after`'s.
    walkOccurrences(events, decided, after, after.secsTo(until) + 2 * kOffsetMargin, zone,
                    [&](const Occurrence& o) { return o.at <= until && take(o); });
}

int CountOccurrences(const std::vector<AutomationEvent>& events, const DecidedOccurrences& decided,
                     const QDateTime& from, const QDateTime& to, const QTimeZone& zone) {
    int n = 0;
    ForEachOccurrence(events, decided, from, to, zone, [&](const Occurrence&) {
        ++n;
        return true;
    });
    return n;
}

}  // namespace tarvo
