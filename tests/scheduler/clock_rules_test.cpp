// Each timed occurrence decided exactly once, whatever the clock does: stalls, small and large
// steps, daylight saving in two real zones, a year of it; and whatever the table does meanwhile.
#include <gtest/gtest.h>

#include <map>

#include <QTimeZone>

#include "engine/main_loop.h"
#include "message_peer.h"
#include "scheduler/clock_rules.h"
#include "scheduler/occurrence.h"
#include "scheduler/timed_runner.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Harness;
using test::Row;
using test::TimedRow;
using test::WeekMoment;

const QTimeZone kHelsinki("Europe/Helsinki");
const QTimeZone kNewYork("America/New_York");

QDateTime utc(int y, int mo, int d, int h, int mi, int s = 0) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC); }

TEST(ClockRules, ALocalTimeFallsAtItsFirstPassOrAtTheChange) {
    ASSERT_TRUE(kHelsinki.isValid() && kNewYork.isValid()) << "time zone data missing";
    struct Case {
        const QTimeZone& zone;
        QDate date;
        int h, m;
        QDateTime at;
    } cases[] = {
        {kHelsinki, QDate(2027, 3, 28), 2, 59, utc(2027, 3, 28, 0, 59)},   // before spring forward
        {kHelsinki, QDate(2027, 3, 28), 3, 0, utc(2027, 3, 28, 1, 0)},     // skipped: at the change
        {kHelsinki, QDate(2027, 3, 28), 3, 30, utc(2027, 3, 28, 1, 0)},    // skipped: at the change
        {kHelsinki, QDate(2027, 3, 28), 4, 0, utc(2027, 3, 28, 1, 0)},     // the first time after it
        {kHelsinki, QDate(2027, 10, 31), 3, 30, utc(2027, 10, 31, 0, 30)}, // repeated: first pass
        {kHelsinki, QDate(2027, 10, 31), 4, 0, utc(2027, 10, 31, 2, 0)},
        {kNewYork, QDate(2027, 3, 14), 2, 30, utc(2027, 3, 14, 7, 0)},
        {kNewYork, QDate(2027, 11, 7), 1, 30, utc(2027, 11, 7, 5, 30)},
        {kNewYork, QDate(2027, 11, 7), 2, 0, utc(2027, 11, 7, 7, 0)},
        {QTimeZone::utc(), QDate(2027, 3, 28), 3, 30, utc(2027, 3, 28, 3, 30)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OccurrenceInstant(c.date, c.h * 3600 + c.m * 60, c.zone), c.at)
            << c.zone.id().toStdString() << " " << c.date.toString(Qt::ISODate).toStdString() << " " << c.h << ":" << c.m;
}

Row optoOnce(int number, int day, const char* time, const char* title) {
    Row r = TimedRow(number, day, time, title, 3);
    r["Type"] = 1;
    r["Opto"] = 5;
    return r;
}

// The triggered delete during T1's wait: T2 and T3 still run at their seconds.
TEST(ClockRules, ATriggeredDeleteDuringATimedRunsWaitLosesNothing) {
    test::TcpMessagePeer peer;
    Harness h(WeekMoment(0, 8, 59, 59, 2));
    h.folder.createDatabase({optoOnce(1, 0, "00:00:00", "Opto once"),
                             test::WithMessage(TimedRow(2, 0, "09:00:00", "T1"), test::kTcpMessage, peer.port()),
                             TimedRow(3, 0, "09:00:20", "T2"), TimedRow(4, 0, "09:03:35", "T3")});
    h.startUp();
    h.online();
    h.runUntil(WeekMoment(0, 9, 0, 0, 400));
    ASSERT_EQ(h.s().runs.count(), 1);
    ProcessOptoEvent(h.s(), 4, 1);  // opto 5 on during T1's wait: the one-time row goes
    ASSERT_EQ(h.s().TotalEvents(), 3);
    h.runUntil(WeekMoment(0, 9, 4, 0));
    // (No switcher answers the keep-alive here: by T3 the link has been given up, so T3 is
    // refused; what matters is that it is decided, at its second.)
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Opto once", "T1", "T2", "T3 - Not Executed"}));
    const auto second = [&](int i) { return h.historyAt[static_cast<std::size_t>(i)].time().second(); };
    EXPECT_EQ(second(2), 20);
    EXPECT_EQ(second(3), 35);
}

TEST(ClockRules, AStallOverASecondRunsLateEvenAtRowZeroAndAcrossMidnight) {
    Harness h(WeekMoment(0, 23, 59, 57, 2));
    h.folder.createDatabase({TimedRow(1, 0, "23:59:59", "Last of Monday"), TimedRow(2, 1, "00:00:30", "Tuesday")});
    h.startUp();
    ASSERT_EQ(h.s().NextEventIndex, 0);
    // Five seconds without a tick or an alarm, over Monday's last second and midnight.
    h.clock.setTickCount(h.clock.tickCount() + 5000);
    h.clock.setNow(WeekMoment(1, 0, 0, 2, 2));
    h.tick();
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Last of Monday - Not Executed"});
    EXPECT_EQ(h.view.history[0].line.day, "Monday");
    h.runUntil(WeekMoment(1, 0, 0, 31));
    EXPECT_EQ(h.view.historyTitles().last(), "Tuesday - Not Executed");
    EXPECT_FALSE(h.folder.activityLines().join('\n').contains("Missed"));
}

// A clock four minutes slow is corrected: what fell in the last three minutes runs late, what
// fell before is written off, and nothing of the following week is lost.
TEST(ClockRules, AStepForwardOfFourMinutesRunsWhatItCanAndWritesOffTheRest) {
    Harness h(WeekMoment(3, 9, 59, 59, 2));
    h.folder.createDatabase({TimedRow(1, 3, "10:00:30", "In the first minute"), TimedRow(2, 3, "10:02:00", "Later"),
                             TimedRow(3, 3, "10:10:00", "After")});
    h.startUp();
    h.tick();
    h.clock.setNow(WeekMoment(3, 10, 4, 0, 502));
    h.tick();
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"In the first minute - Not Executed", "Later - Not Executed"}));
    EXPECT_TRUE(h.folder.activityLines().contains("In the first minute not executed - Missed"));
    EXPECT_FALSE(h.folder.activityLines().contains("Later not executed - Missed"));
    h.runUntil(WeekMoment(3, 10, 10, 1));
    EXPECT_EQ(h.view.historyTitles().last(), "After - Not Executed");
}

TEST(ClockRules, ManualChangesAreLoggedAndKeepTheirRules) {
    Harness h(WeekMoment(1, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 1, "10:00:00", "Ten"), TimedRow(2, 1, "10:30:00", "Half past"),
                             TimedRow(3, 1, "11:30:00", "Half eleven")});
    h.startUp();
    h.runUntil(WeekMoment(1, 10, 0, 1));
    h.clock.setNow(WeekMoment(1, 11, 0, 0, 2));  // forward an hour
    h.tick();
    h.runUntil(WeekMoment(1, 11, 30, 1));
    h.clock.setNow(WeekMoment(1, 11, 25, 0, 2));  // back ten minutes
    h.tick();
    h.runUntil(WeekMoment(1, 11, 30, 1));
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Ten - Not Executed", "Half eleven - Not Executed",
                                                   "Half eleven - Not Executed"}));
    const QStringList log = h.folder.activityLines();
    EXPECT_TRUE(log.contains("Clock set forward from 2026-12-08 10:00:01 to 2026-12-08 11:00:00 - 1 events passed over"))
        << log.join('\n').toStdString();
    EXPECT_TRUE(log.contains("Clock set back from 2026-12-08 11:30:01 to 2026-12-08 11:25:00 - the events from then on "
                             "run again"))
        << log.join('\n').toStdString();
}

// The count covers the whole step, however many weeks it spans.
TEST(ClockRules, AStepForwardOfWeeksCountsEveryOccurrencePassedOver) {
    Harness h(WeekMoment(1, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 1, "10:00:00", "Ten"), TimedRow(2, 3, "12:00:00", "Thursday noon")});
    h.startUp();
    h.runUntil(WeekMoment(1, 10, 0, 1));
    h.clock.setNow(WeekMoment(1, 11, 0, 0, 2).addDays(35));  // five weeks on: five of each
    h.tick();
    EXPECT_TRUE(h.folder.activityLines().contains(
        "Clock set forward from 2026-12-08 10:00:01 to 2027-01-12 11:00:00 - 10 events passed over"))
        << h.folder.activityLines().join('\n').toStdString();
}

// A one-time row 0 runs and goes; what comes to index 0 then is a triggered row with a real day
// and time, followed by an opto row at no time. Neither is ever run by the clock, and the
// Wednesday event after them runs on its day.
TEST(ClockRules, ThePointerDesignatesOnlyTimedRows) {
    Harness h(WeekMoment(0, 6, 59, 58, 2));
    Row trigger = TimedRow(2, 0, "08:00:00", "Triggered at eight");
    trigger["Type"] = 1;
    Row opto = TimedRow(3, 0, "24:00:00", "Opto at none");
    opto["Type"] = 1;
    h.folder.createDatabase({TimedRow(1, 0, "07:00:00", "Once", 3), trigger, opto, TimedRow(4, 2, "10:00:00", "Wednesday")});
    h.startUp();
    ASSERT_EQ(h.s().NextEventIndex, 0);
    h.runUntil(WeekMoment(0, 7, 0, 2));
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Once - Not Executed"});
    ASSERT_EQ(h.s().Events.at(0).Title, "Triggered at eight");
    EXPECT_EQ(h.view.nextLine().title, "Wednesday");
    h.runUntil(WeekMoment(0, 8, 0, 5));  // the triggered row's day and time
    h.clock.setNow(WeekMoment(2, 9, 59, 58, 2));
    h.runUntil(WeekMoment(2, 10, 0, 2));
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Once - Not Executed", "Wednesday - Not Executed"}));
}

// A reload while the timed run waits (an outside edit, or Setup's OK with a new task-view folder)
// does not keep the next events from running at their seconds.
TEST(ClockRules, AReloadWhileTheTimedRunWaitsKeepsTheNextSeconds) {
    for (const bool bySetup : {false, true}) {
        SCOPED_TRACE(bySetup ? "Setup" : "outside edit");
        test::TcpMessagePeer peer;
        QTemporaryDir viewer;
        Harness h(WeekMoment(0, 8, 59, 59, 2));
        h.folder.createDatabase({test::WithMessage(TimedRow(1, 0, "09:00:00", "Message"), test::kTcpMessage, peer.port()),
                                 TimedRow(2, 0, "09:00:01", "Next second"), TimedRow(3, 0, "09:00:05", "Five")});
        h.startUp();
        h.online();
        h.runUntil(WeekMoment(0, 9, 0, 0, 400));
        ASSERT_EQ(h.s().runs.count(), 1);
        if (bySetup) {
            EngineSettings edited = h.e().settings;
            edited.TaskViewDB = viewer.path();
            ASSERT_TRUE(StoreSetup(h.e(), edited, QString::number(edited.MaxTallyFile)));
        } else {
            test::InsertRows(h.folder.file(kDatabaseFileName), {TimedRow(4, 0, "09:00:03", "Added")});
            h.tick(5);
        }
        h.runUntil(WeekMoment(0, 9, 0, 6));
        QStringList expected{"Next second", "Message", "Five"};
        if (!bySetup) expected.insert(2, "Added");
        EXPECT_EQ(h.view.historyTitles(), expected);
        // Next second did not wait for Message's run (a second after sending); Five was on time.
        EXPECT_EQ(h.historyAt[0].time().second(), 1);
        EXPECT_EQ(h.historyAt.back().time().second(), 5);
    }
}

// A one-time event with a delay runs once and leaves the database once its delayed run has
// been decided; a reload meanwhile does not bring it back.
TEST(ClockRules, AOneTimeEventWithADelayRunsOnce) {
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    Row timed = TimedRow(1, 0, "09:00:00", "Timed once later", 3);
    timed["Delay"] = 10;
    Row opto = optoOnce(2, 0, "24:00:00", "Opto once later");
    opto["Delay"] = 10;
    h.folder.createDatabase({timed, opto, TimedRow(3, 0, "10:00:00", "Other")});
    h.startUp();
    h.online();
    h.runUntil(WeekMoment(0, 9, 0, 1));
    ProcessOptoEvent(h.s(), 4, 1);
    ProcessOptoEvent(h.s(), 4, 1);  // a second change while the first waits its delay
    EXPECT_EQ(h.s().DelayedEvents.size(), 2u);
    test::InsertRows(h.folder.file(kDatabaseFileName), {TimedRow(4, 0, "11:00:00", "Edited in")});
    h.tick(5);  // reloaded
    EXPECT_EQ(h.s().TotalEvents(), 2);
    EXPECT_TRUE(h.s().OptoEvents.empty());
    h.runUntil(WeekMoment(0, 9, 0, 15));
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Timed once later", "Opto once later"}));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number IN (1, 2)").toInt(), 0);
    h.tick(5);
    EXPECT_EQ(h.s().TotalEvents(), 2);
    EXPECT_TRUE(h.s().store.awaitingDelete.empty());
}

}  // namespace
}  // namespace tarvo
