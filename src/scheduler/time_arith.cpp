#include "scheduler/time_arith.h"

#include <QDate>

#include "base/clock.h"
#include "logs/logs.h"

namespace tarvo {

namespace {

[[noreturn]] void badTime(QStringView text) {
    fail(kErrTypeMismatch, QStringLiteral("Type mismatch: '") + text.toString() + QStringLiteral("' is not a time"));
}

int readNumber(const QString& s, QStringView whole) {
    bool ok = false;
    const int v = s.trimmed().toInt(&ok);
    if (!ok || s.trimmed().isEmpty()) badTime(whole);
    return v;
}

}  // namespace

int ParseTimeOfDay(QStringView text) {
    // The editing tool writes "HH:MM:SS"; read that form without allocating: every walk over
    // the week's occurrences reads the time of every row.
    if (text.size() == 8 && text[2] == QLatin1Char(':') && text[5] == QLatin1Char(':')) {
        auto digit = [&](int i) { return text[i].unicode() >= '0' && text[i].unicode() <= '9'; };
        if (digit(0) && digit(1) && digit(3) && digit(4) && digit(6) && digit(7)) {
            auto two = [&](int i) { return (text[i].unicode() - '0') * 10 + (text[i + 1].unicode() - '0'); };
            const int h = two(0), m = two(3), sec = two(6);
            if (h > 23 || m > 59 || sec > 59) badTime(text);
            return h * 3600 + m * 60 + sec;
        }
    }
    QString t = text.trimmed().toString();
    int designator = 0;  // 1 AM, 2 PM
    if (t.endsWith(QLatin1String("AM"), Qt::CaseInsensitive)) designator = 1;
    if (t.endsWith(QLatin1String("PM"), Qt::CaseInsensitive)) designator = 2;
    if (designator) t = t.left(t.size() - 2).trimmed();
    const QStringList parts = t.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 3) badTime(text);
    int h = readNumber(parts[0], text);
    const int m = readNumber(parts[1], text);
    const int s = parts.size() == 3 ? readNumber(parts[2], text) : 0;
    if (designator) {
        if (h < 1 || h > 12) badTime(text);
        if (designator == 1 && h == 12) h = 0;
        if (designator == 2 && h != 12) h += 12;
    }
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) badTime(text);
    return h * 3600 + m * 60 + s;
}

std::optional<int> EventSeconds(QStringView time) {
    if (time == QLatin1String("24:00:00")) return std::nullopt;
    try {
        return ParseTimeOfDay(time);
    } catch (const TarvoError&) {
        return std::nullopt;
    }
}

QString FormatTimeOfDay(int seconds) {
    const int parts[3] = {seconds / 3600, seconds / 60 % 60, seconds % 60};
    QString out(8, QLatin1Char(':'));
    for (int i = 0; i < 3; ++i) {
        out[i * 3] = QLatin1Char(static_cast<char>('0' + parts[i] / 10 % 10));
        out[i * 3 + 1] = QLatin1Char(static_cast<char>('0' + parts[i] % 10));
    }
    return out;
}

int16_t ConvertToMinutes(Logs& logs, int secondsOfDay, int day) {
    return Guarded(logs, QStringLiteral("Error Converting Minutes"), int16_t{0}, [&] {
        return to16(static_cast<long long>(day) * 1440 + secondsOfDay / 3600 * 60 + secondsOfDay / 60 % 60);
    });
}

int16_t ConvertToMinutes(Logs& logs, const QString& timeText, int day) {
    return Guarded(logs, QStringLiteral("Error Converting Minutes"), int16_t{0}, [&] {
        const int secs = ParseTimeOfDay(timeText);
        return to16(static_cast<long long>(day) * 1440 + secs / 3600 * 60 + secs / 60 % 60);
    });
}

bool CheckDelay(Logs& logs, const Clock& clock, int64_t& start, int64_t delay) {
    return Guarded(logs, QStringLiteral("Error checking Delay"), false,
                   [&] { return CheckDelayOn(clock, start, delay); });
}

QString NowText(const Clock& clock) { return clock.now().time().toString(QStringLiteral("hh:mm:ss")); }

int16_t DayIndexOf(const QDate& date) { return static_cast<int16_t>(date.dayOfWeek() - 1); }

}  // namespace tarvo
