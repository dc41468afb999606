// Times of day, minutes of the week, and the millisecond waits.
#pragma once

#include <cstdint>
#include <optional>

#include <QDate>
#include <QString>

namespace tarvo {

struct Logs;
class Clock;

constexpr int kMinutesPerWeek = 10080;

// Reads an event time "h:mm:ss", optionally followed by " AM" or " PM", into seconds since
// midnight. Text that is not a time of day is a failure.
int ParseTimeOfDay(QStringView text);
// The event's time of day in seconds; empty when its Time is "24:00:00" (not on the clock) or is
// not a time at all (such a row never falls due).
std::optional<int> EventSeconds(QStringView time);

// "hh:mm:ss", 24-hour, two digits each.
QString FormatTimeOfDay(int seconds);

// day × 1440 + hour × 60 + minute (16-bit). Reports "Error Converting Minutes" and gives 0 on
// failure.
int16_t ConvertToMinutes(Logs& logs, int secondsOfDay, int day);
int16_t ConvertToMinutes(Logs& logs, const QString& timeText, int day);

// True when more than `delay` ms have passed since the tick-count reading `start` (the rule of
// CheckDelayOn), reporting a failure under "Error checking Delay".
bool CheckDelay(Logs& logs, const Clock& clock, int64_t& start, int64_t delay);

// The live clock's time of day as "hh:mm:ss", for history lines of triggered runs.
QString NowText(const Clock& clock);

// The current day index from the clock: 0 Monday .. 6 Sunday.
int16_t DayIndexOf(const QDate& date);

}  // namespace tarvo
