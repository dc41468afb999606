// Daylight saving in two real zones: the hour the clock skips runs once right after the change,
// the hour it repeats runs once at its first pass, skip and one-time rows follow what ran, and a
// delay is elapsed time. A year with both changes and four manual jumps decides every occurrence
// exactly once, but for the repeats a backward jump asks for.
#include <gtest/gtest.h>

#include <map>

#include <QTimeZone>

#include "engine/main_loop.h"
#include "scheduler/clock_rules.h"
#include "scheduler/occurrence.h"
#include "scheduler/triggered.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Harness;
using test::Row;
using test::TimedRow;

struct Zone {
    const char* id;
    QDate spring;    // a Sunday
    int skipped;     // the hour the clock skips that day
    QDate autumn;    // a Sunday
    int repeated;    // the hour it goes through twice
};

const Zone kZones[] = {
    {"Europe/Helsinki", QDate(2027, 3, 28), 3, QDate(2027, 10, 31), 3},
    {"America/New_York", QDate(2027, 3, 14), 2, QDate(2027, 11, 7), 1},
};

QString at(int hour, int minute, int second = 0) {
    return QTime(hour, minute, second).toString(QStringLiteral("hh:mm:ss"));
}

TEST(DaylightSaving, TheSkippedHourRunsOnceRightAfterTheChangeInTableOrder) {
    for (const Zone& z : kZones) {
        SCOPED_TRACE(z.id);
        const QTimeZone zone(z.id);
        ASSERT_TRUE(zone.isValid()) << "time zone data missing";
        const int h = z.skipped;
        Harness t(QDateTime(z.spring, QTime(h - 1, 59, 50)), zone);
        t.folder.createDatabase({TimedRow(1, 6, at(h - 1, 59, 58), "Before"), TimedRow(2, 6, at(h, 0), "Skipped on the hour"),
                                 TimedRow(3, 6, at(h, 30), "Skipped skip", 2), TimedRow(4, 6, at(h, 45), "Skipped once", 3),
                                 TimedRow(5, 6, at(h + 1, 0), "First after"), TimedRow(6, 6, at(h + 1, 0, 1), "Second after")});
        t.startUp();
        t.runFor(20000);
        EXPECT_EQ(t.view.historyTitles(),
                  (QStringList{"Before - Not Executed", "Skipped on the hour - Not Executed", "Skipped skip - Not Executed",
                               "Skipped once - Not Executed", "First after - Not Executed", "Second after - Not Executed"}));
        // Everything skipped was decided at the change itself, the hour on the clock after it.
        for (int i = 1; i <= 4; ++i) EXPECT_EQ(t.historyAt[static_cast<std::size_t>(i)].time().hour(), h + 1);
        EXPECT_EQ(t.folder.query("SELECT Active FROM Automation WHERE Number = 3").toInt(), 1);
        EXPECT_EQ(t.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 4").toInt(), 0);
        // The skip was used up by this occurrence, not next week's: that one runs.
        t.clock.setNow(QDateTime(z.spring.addDays(7), QTime(h, 29, 58)));
        t.runFor(5000);
        EXPECT_EQ(t.view.historyTitles().last(), "Skipped skip - Not Executed");
    }
}

TEST(DaylightSaving, TheRepeatedHourRunsOnceAtItsFirstPassAndADelayIsElapsedTime) {
    for (const Zone& z : kZones) {
        SCOPED_TRACE(z.id);
        const QTimeZone zone(z.id);
        ASSERT_TRUE(zone.isValid()) << "time zone data missing";
        const int h = z.repeated;
        Harness t(QDateTime(z.autumn, QTime(h - 1, 59, 50)), zone);  // just before the first pass
        Row delayed{{"Number", 5}, {"Type", 1}, {"Opto", 5}, {"Day", 6}, {"Time", "24:00:00"},
                    {"Title", "Ten minutes on"}, {"Active", 1}, {"Delay", 600}};
        t.folder.createDatabase({TimedRow(1, 6, at(h, 30), "Repeated"), TimedRow(2, 6, at(h, 45), "Repeated skip", 2),
                                 TimedRow(3, 6, at(h, 50), "Repeated once", 3), TimedRow(4, 6, at(h + 1, 30), "After"),
                                 delayed});
        t.startUp();
        t.online();
        // A switcher that answers its pings keeps the link up all the while.
        const auto run = [&](int64_t ms) {
            for (; ms > 0; ms -= 60000) {
                t.runFor(std::min<int64_t>(ms, 60000));
                t.master().NoReplyCount = 0;
            }
        };
        run((55 * 60 + 10) * 1000);     // to h:55 of the first pass
        ProcessOptoEvent(t.s(), 4, 1);  // queued ten minutes of elapsed time ahead
        ASSERT_EQ(t.s().DelayedEvents.size(), 1u);
        const QDateTime due = t.s().DelayedEvents.front().due;
        run(100 * 60 * 1000);  // through the change, the second pass and h+1:30
        EXPECT_EQ(t.view.historyTitles(),
                  (QStringList{"Repeated", "Repeated skip - Not Executed", "Repeated once", "Ten minutes on", "After"}));
        ASSERT_EQ(t.historyAt.size(), 5u);
        // The delayed run came ten minutes after its queuing, in the second pass of the hour.
        EXPECT_EQ(t.historyAt[3].time().hour(), h);
        EXPECT_EQ(t.historyAt[3].time().minute(), 5);
        EXPECT_EQ(due.toTimeZone(zone).time().minute(), 5);
        EXPECT_EQ(t.folder.query("SELECT Active FROM Automation WHERE Number = 2").toInt(), 1);
        EXPECT_EQ(t.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 3").toInt(), 0);
    }
}

// A year in each zone, driven hour by hour: every occurrence decided once, at its moment, but
// for the occurrences a manual jump backward asks to run again.
class YearView : public test::RecordingView {
public:
    explicit YearView(Clock& c) : clock_(c) {}
    void addHistoryLine(const ListLine& line, bool red) override {
        decided[{line.title, clock_.now().date()}] += 1;
        test::RecordingView::addHistoryLine(line, red);
    }
    std::map<std::pair<QString, QDate>, int> decided;

private:
    Clock& clock_;
};

TEST(DaylightSaving, AYearWithBothChangesAndFourManualJumpsDecidesEachOccurrenceOnce) {
    const QStringList times = {"00:00:00", "01:30:00", "02:30:00", "03:30:00", "03:59:59", "12:00:00", "23:59:59"};
    for (const Zone& z : kZones) {
        SCOPED_TRACE(z.id);
        const QTimeZone zone(z.id);
        ASSERT_TRUE(zone.isValid()) << "time zone data missing";
        test::Folder folder;
        std::vector<Row> rows;
        int n = 1;
        for (int day = 0; day < 7; ++day)
            for (const QString& time : times) rows.push_back(TimedRow(n++, day, time, QStringLiteral("D%1 %2").arg(day).arg(time)));
        folder.createDatabase(rows);
        const QDate first(2027, 1, 4), last(2028, 1, 2);  // Monday to Sunday
        ManualClock clock(QDateTime(first, QTime(0, 0, 0, 500)), zone);
        YearView view(clock);
        Engine e(clock, view, folder.path());
        MainLoop loop(e);
        StartUp(e, loop);
        loop.disable();
        const QDateTime start = e.scheduler.horizon;  // what is due from the start's second on

        struct Jump {
            QDateTime from, to;  // local
        };
        const Jump jumps[] = {
            {QDateTime(QDate(2027, 2, 10), QTime(10, 0), zone), QDateTime(QDate(2027, 2, 10), QTime(12, 0), zone)},
            {QDateTime(QDate(2027, 4, 20), QTime(15, 0), zone), QDateTime(QDate(2027, 4, 20), QTime(11, 0), zone)},
            {QDateTime(QDate(2027, 7, 1), QTime(3, 25), zone), QDateTime(QDate(2027, 7, 1), QTime(3, 35), zone)},
            {QDateTime(QDate(2027, 12, 1), QTime(12, 0, 30), zone), QDateTime(QDate(2027, 11, 28), QTime(12, 0), zone)},
        };
        std::vector<std::pair<QDateTime, QDateTime>> passedOver, repeated;  // UTC (from, to]
        const QDateTime end = QDateTime(last, QTime(23, 59, 59, 900), zone).toUTC();
        auto driveTo = [&](const QDateTime& until) {
            while (clock.now().toUTC() < until) {
                clock.advance(std::min<qint64>(3600000, clock.now().toUTC().msecsTo(until)));
                TimerTick(e);
            }
        };
        for (const Jump& j : jumps) {
            driveTo(j.from.toUTC());
            const QDateTime before = clock.now().toUTC();
            clock.setNow(j.to);
            TimerTick(e);
            const QDateTime after = clock.now().toUTC();
            if (after > before)
                passedOver.emplace_back(before, after);
            else
                repeated.emplace_back(after.addMSecs(-after.time().msec() - 1), before);
        }
        driveTo(end);

        std::map<std::pair<QString, QDate>, int> expected;
        const auto within = [](const QDateTime& t, const std::pair<QDateTime, QDateTime>& span) {
            return t > span.first && t <= span.second;
        };
        for (QDate d = first; d <= last; d = d.addDays(1)) {
            for (const QString& time : times) {
                const int secs = QTime::fromString(time, "hh:mm:ss").msecsSinceStartOfDay() / 1000;
                const QDateTime occurs = OccurrenceInstant(d, secs, zone);
                if (occurs <= start || occurs > end) continue;
                int count = 1;
                for (const auto& span : passedOver) count -= within(occurs, span) ? 1 : 0;
                for (const auto& span : repeated) count += within(occurs, span) ? 1 : 0;
                const QString title = QStringLiteral("D%1 %2 - Not Executed").arg(d.dayOfWeek() - 1).arg(time);
                if (count > 0) expected[{title, occurs.toTimeZone(zone).date()}] = count;
            }
        }
        EXPECT_GT(expected.size(), 2500u);
        for (const auto& [key, count] : expected)
            EXPECT_EQ(view.decided[key], count) << key.first.toStdString() << " " << key.second.toString(Qt::ISODate).toStdString();
        for (const auto& [key, count] : view.decided)
            if (!expected.count(key))
                ADD_FAILURE() << "not expected: " << key.first.toStdString() << " " << key.second.toString(Qt::ISODate).toStdString();
        // Four lines, one for each jump.
        int changes = 0;
        for (const QString& l : folder.activityLines()) changes += l.startsWith("Clock set ") ? 1 : 0;
        EXPECT_EQ(changes, 4);
        EXPECT_FALSE(folder.activityLines().join('\n').contains(" - Missed"));
    }
}

}  // namespace
}  // namespace tarvo
