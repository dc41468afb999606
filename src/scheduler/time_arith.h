// Times of day, minutes of the week, and the millisecond waits.
#pragma once

#include <cstdint>
#include <optional>

#include <QDate>
#include <QString>

namespace tarvo {

class Engine;
class Clock;

constexpr int kMinutesPerWeek = 10080;

// Reads an event time "h:mm:ss", optionally followed by " AM" or " PM", into seconds since
// midnight. Text that is not a time of day is a failure.
int ParseTimeOfDay(const QString& text);
// The event's time of day in seconds; empty when its Time is "24:00:00" (not on the clock) or is
// not a time at all (such a row never falls due).
std::optional<int> EventSeconds(const QString& time);

// "hh:mm:ss", 24-hour, two digits each.
QString FormatTimeOfDay(int seconds);

// day × 1440 + hour × 60 + minute (16-bit). Reports "Error Converting Minutes" and gives 0 on
// failure.
int16_t ConvertToMinutes(Engine& e, int secondsOfDay, int day);
int16_t ConvertToMinutes(Engine& e, const QString& timeText, int day);

// True when more than `delay` ms have passed since the tick-count reading `start`. Handles the
// counter's wrap past 2147483647 by rewriting `start` once.
bool CheckDelay(Engine& e, int64_t& start, int64_t delay);
// The same rule on a bare clock, for callers without an engine.
bool CheckDelayOn(const Clock& clock, int64_t& start, int64_t delay);

// Returns after `delay` ms; while waiting, pending window and socket events are handled when
// `pumpEvents`. Never a busy wait: it sleeps in a nested event loop until the deadline.
void ProcessWait(Engine& e, int delay, bool pumpEvents = true);

// The live clock's time of day as "hh:mm:ss", for history lines of triggered runs.
QString NowText(Engine& e);

// The current day index from the clock: 0 Monday .. 6 Sunday.
int16_t DayIndexOf(const QDate& date);

}  // namespace tarvo
