// What the schedule will do from a moment on, in words: every timed occurrence in the order the
// timed runner decides it, with the one-time, skip, inactive and delay rules applied as time
// passes and the clock rules of daylight saving, then the triggered events by their trigger.
// Pure: rows, a moment and a zone in, a preview out. It assumes a switcher that is connected
// throughout, and says what each row asks for; whether a condition holds is the switcher's.
#pragma once

#include <cstdint>
#include <vector>

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include "store/automation_event.h"

namespace tarvo {

// One row as the preview shows it.
struct PreviewRow {
    int16_t number = 0;
    QString title;
    QString time;  // as the row holds it
    int16_t day = 0;
    int16_t active = 0;
    int16_t delay = 0;
    QStringList actions;     // "take 5 to 12", ...; an action refused for its operands says so
    QStringList conditions;  // "if source 3 is on output 7", ...
};

enum class PreviewState {
    Runs,      // carried out (when its conditions hold)
    Skipped,   // a skip row's occurrence: passed over, the row runs from the next one on
    Inactive,  // decided, and shown as inactive
    NotRun,    // an Active value the timed runner does not run
};

struct TimedEntry {
    // When it is decided (UTC); a run from the delayed queue is at its due moment instead,
    // `delayed` seconds after its decision.
    QDateTime at;
    int row = 0;  // into SchedulePreview::rows
    PreviewState state = PreviewState::Runs;
    bool lastRun = false;  // a one-time row: gone from the schedule after this
    bool fromQueue = false;
    int delayed = 0;
};

// The events one trigger starts, in the order the engine starts them on a day.
struct TriggerGroup {
    QString trigger;        // "opto 5 on", "source 3 to output 12", ...
    std::vector<int> rows;  // into SchedulePreview::rows, by day
};

struct SchedulePreview {
    QDateTime from;  // UTC: occurrences after this
    QDateTime to;    // UTC: and at or before this
    QTimeZone zone;
    std::vector<PreviewRow> rows;
    std::vector<TimedEntry> timed;
    std::vector<TriggerGroup> triggered;
};

constexpr int kMaxPreviewDays = 366;

// The preview of `rows` (as read, any order: the first kMaxEvents in Number order are the
// engine's) for `days` days from `from`, in `zone`.
SchedulePreview PreviewSchedule(const std::vector<AutomationEvent>& rows, const QDateTime& from,
                                int days, const QTimeZone& zone);

// What an entry's state, a delay and daylight saving mean for it, in words; empty for a plain run.
QString EntryNote(const SchedulePreview& p, const TimedEntry& e);
// The same for a triggered row: its delay and its Active state.
QString TriggeredNote(const PreviewRow& row);

// The moment in the preview's zone.
QDateTime LocalMoment(const SchedulePreview& p, const QDateTime& at);

// The row's actions and conditions in words.
QStringList ActionWords(const AutomationEvent& ev);
QStringList ConditionWords(const AutomationEvent& ev);

}  // namespace tarvo
