// The schedule run on the manual clock: the tick, the timed runner and the upkeep, a week at a
// time in seconds. The switcher links stay down here, so every event that runs is refused with
// its reason; what matters is which events are decided, when, in which order, and what happens
// to one-time and skip rows.
#include <gtest/gtest.h>

#include <QFile>

#include "engine/main_loop.h"
#include "message_peer.h"
#include "scheduler/timed_runner.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Harness;
using test::Row;
using test::TimedRow;
using test::WeekMoment;

QStringList titlesOf(const Harness& h) {
    QStringList t;
    for (const auto& l : h.view.history) t << l.line.title;
    return t;
}

TEST(Schedule, EveryTimedEventOfAWeekIsDecidedOnceAtItsSecondInTableOrder) {
    Harness h(WeekMoment(0, 0, 0, 0, 2));
    std::vector<Row> rows;
    int n = 1;
    // Two events at each of a few moments of every day; the second has the higher priority.
    for (int day = 0; day < 7; ++day) {
        for (const char* time : {"00:00:30", "06:15:00", "12:00:59", "23:59:59"}) {
            Row a = TimedRow(n++, day, time, QStringLiteral("D%1 %2 b").arg(day).arg(time));
            a["Priority"] = 2;
            Row b = TimedRow(n++, day, time, QStringLiteral("D%1 %2 a").arg(day).arg(time));
            b["Priority"] = 1;
            rows.push_back(a);
            rows.push_back(b);
        }
    }
    h.folder.createDatabase(rows);
    h.startUp();
    h.runUntil(WeekMoment(7, 0, 0, 10));

    QStringList expected;
    for (int day = 0; day < 7; ++day)
        for (const char* time : {"00:00:30", "06:15:00", "12:00:59", "23:59:59"})
            expected << QStringLiteral("D%1 %2 a - Not Executed").arg(day).arg(time)
                     << QStringLiteral("D%1 %2 b - Not Executed").arg(day).arg(time);
    const QStringList got = titlesOf(h);
    for (int i = 0; i < std::min(got.size(), expected.size()); ++i) ASSERT_EQ(got[i], expected[i]) << i;
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < h.view.history.size(); ++i) {
        const auto& line = h.view.history[i].line;
        EXPECT_TRUE(h.view.history[i].red);
        // Decided within the first tick of its second.
        const QDateTime at = h.historyAt[i];
        EXPECT_EQ(at.time().toString("hh:mm:ss"), line.time) << line.title.toStdString();
        EXPECT_EQ(DayNameOf(at.date().dayOfWeek() - 1), line.day);
        EXPECT_LT(at.time().msec(), 500);
    }
    // Each refusal carries its reason.
    const QStringList log = h.folder.activityLines();
    EXPECT_EQ(log.first(), "Program Start");
    EXPECT_EQ(log.size(), 1 + expected.size());
    EXPECT_TRUE(log[1].endsWith(" not executed - Server not connected"));
}

TEST(Schedule, ClockJumpsForwardSkipBackwardRepeatAndTheWeekTurnChangesNothing) {
    Harness h(WeekMoment(1, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 1, "10:00:00", "Ten"), TimedRow(2, 1, "10:30:00", "Half past"),
                             TimedRow(3, 1, "11:30:00", "Half eleven"), TimedRow(4, 6, "23:59:30", "Sunday late"),
                             TimedRow(5, 0, "00:00:10", "Monday early")});
    h.startUp();
    h.tick(8);
    ASSERT_EQ(titlesOf(h).size(), 1);  // Ten ran
    // Set forward one hour: 10:30 is skipped, 11:30 still comes.
    h.clock.setNow(WeekMoment(1, 11, 0, 0, 2));
    h.runUntil(WeekMoment(1, 11, 31));
    EXPECT_EQ(titlesOf(h), (QStringList{"Ten - Not Executed", "Half eleven - Not Executed"}));
    // Set back ten minutes: 11:30 runs again.
    h.clock.setNow(WeekMoment(1, 11, 25, 0, 2));
    h.runUntil(WeekMoment(1, 11, 31));
    EXPECT_EQ(titlesOf(h).size(), 3);
    EXPECT_EQ(titlesOf(h).last(), "Half eleven - Not Executed");
    // Across the turn of the week the pointer moved by the runner stays: Sunday's event, then
    // Monday's.
    h.clock.setNow(WeekMoment(6, 23, 59, 0, 2));
    h.tick();
    h.runUntil(WeekMoment(7, 0, 1));
    EXPECT_EQ(titlesOf(h).mid(3), (QStringList{"Sunday late - Not Executed", "Monday early - Not Executed"}));
}

TEST(Schedule, ALateDecisionRunsWithinThreeMinutesAndIsWrittenOffAfterThemRowZeroIncluded) {
    Harness h(WeekMoment(2, 7, 59, 59, 2));
    h.folder.createDatabase({TimedRow(1, 2, "08:00:00", "Zero"), TimedRow(2, 2, "08:00:10", "Ten past"),
                             TimedRow(3, 2, "08:30:00", "Half past"), TimedRow(4, 2, "09:00:00", "Nine")});
    h.startUp();
    ASSERT_EQ(h.s().NextEventIndex, 0);
    // The engine stalls over row 0's second and comes back 1.4 s late: it runs, late.
    h.clock.setTickCount(h.clock.tickCount() + 2400);
    h.clock.setNow(WeekMoment(2, 8, 0, 1, 402));
    h.tick();
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Zero - Not Executed"});
    h.runUntil(WeekMoment(2, 8, 0, 11));
    EXPECT_EQ(h.view.historyTitles().size(), 2);
    // Stalled from 08:29:59 to 08:33:00 (three minutes over its second): written off as missed,
    // and the pointer goes on to the next occurrence.
    h.runUntil(WeekMoment(2, 8, 29, 59));
    h.clock.setTickCount(h.clock.tickCount() + 181000);
    h.clock.setNow(WeekMoment(2, 8, 33, 0, 2));
    h.tick();
    EXPECT_EQ(h.view.historyTitles().last(), "Half past - Not Executed");
    EXPECT_TRUE(h.view.history.back().red);
    EXPECT_EQ(h.folder.activityLines().last(), "Half past not executed - Missed");
    EXPECT_EQ(h.view.nextLine().title, "Nine");
    h.runUntil(WeekMoment(2, 9, 0, 1));
    EXPECT_EQ(h.view.historyTitles().last(), "Nine - Not Executed");
    EXPECT_EQ(h.view.history.size(), 4u);
}

TEST(Schedule, DatabaseDeletedRestoredAndEditedWhileRunning) {
    Harness h(WeekMoment(3, 9, 0, 0, 2));
    h.folder.createDatabase({TimedRow(1, 3, "10:00:00", "Ten"), TimedRow(2, 3, "11:00:00", "Eleven")});
    h.startUp();
    const QString db = h.folder.file(kDatabaseFileName);
    const QString saved = h.folder.file("saved.mdb");
    ASSERT_TRUE(QFile::rename(db, saved));
    h.tick(5);  // within 2.5 s
    EXPECT_EQ(h.view.nextLine(), (ListLine{" ", " ", "No Events"}));
    EXPECT_EQ(h.view.panels[1], "0 Total Events");
    ASSERT_TRUE(QFile::rename(saved, db));
    h.tick(5);
    EXPECT_EQ(h.view.panels[1], "2 Total Events");
    EXPECT_EQ(h.view.nextLine().title, "Ten");

    // An outside edit is picked up within 2.5 s.
    h.clock.advance(1000);
    test::InsertRows(db, {TimedRow(3, 3, "09:30:00", "Half nine")});
    h.tick(5);
    EXPECT_EQ(h.view.panels[1], "3 Total Events");
    EXPECT_EQ(h.view.nextLine().title, "Half nine");
}

TEST(Schedule, OneTimeEventsAreDeletedInTheFileAndInMemory) {
    Harness h(WeekMoment(4, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 4, "09:00:00", "Before"), TimedRow(2, 4, "10:00:00", "Once", 3),
                             TimedRow(3, 4, "10:00:00", "Same moment"), TimedRow(4, 4, "11:00:00", "After")});
    h.startUp();
    int loads = 0;
    const auto fileTime = h.e().store.DatabaseIdentity;
    h.runUntil(WeekMoment(4, 10, 0, 5));
    // The one-time row went, and the row due at the same moment still ran in the same call.
    EXPECT_EQ(titlesOf(h), (QStringList{"Once - Not Executed", "Same moment - Not Executed"}));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 2").toInt(), 0);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 3);
    EXPECT_EQ(h.view.nextLine().title, "After");
    EXPECT_NE(h.e().store.DatabaseIdentity, fileTime);
    // The engine's own change does not cause a reload.
    const auto panelsBefore = h.view.captions.size();
    h.tick(10);
    EXPECT_EQ(h.view.captions.size(), panelsBefore + loads);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST(Schedule, TheOnlyRowRunOnceLeavesNoEvents) {
    Harness h(WeekMoment(4, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 4, "10:00:00", "Only once", 3)});
    h.startUp();
    h.runUntil(WeekMoment(4, 10, 0, 3));
    EXPECT_EQ(titlesOf(h), QStringList{"Only once - Not Executed"});
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 0);
    EXPECT_TRUE(h.e().scheduler.Events.empty());
    EXPECT_EQ(h.e().scheduler.NextEventIndex, 0);
    EXPECT_EQ(h.view.nextLine(), (ListLine{" ", " ", "No Events"}));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 0);
    // An empty table is safe to tick through: nothing runs in the catch-up window or later.
    h.runUntil(WeekMoment(4, 10, 5, 0));
    EXPECT_EQ(titlesOf(h).size(), 1);
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
}

TEST(Schedule, AfterTheLastTimedRowGoesTheClockNeverRunsATriggeredRow) {
    // Once the one-time row is deleted nothing is left on the clock and the pointer falls back
    // to row 0, an opto event of the same day. It must stay where it is, not run as if due.
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    auto opto = [](int number, const char* title) {
        Row r = TimedRow(number, 0, "24:00:00", title, 3);
        r["Type"] = 1;
        r["Opto"] = 4;
        return r;
    };
    h.folder.createDatabase({TimedRow(1, 0, "09:00:01", "Once", 3), opto(2, "Opto A"), opto(3, "Opto B")});
    h.startUp();
    h.runUntil(WeekMoment(0, 9, 0, 5));
    EXPECT_EQ(titlesOf(h), QStringList{"Once - Not Executed"});
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 2);
    EXPECT_EQ(static_cast<int>(h.e().scheduler.OptoEvents.size()), 2);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 2);
}

TEST(Schedule, SkipEventsAreReArmedAndRunAWeekLater) {
    Harness h(WeekMoment(5, 6, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 5, "07:00:00", "Skip me", 2), TimedRow(2, 5, "08:00:00", "Other")});
    h.startUp();
    h.runUntil(WeekMoment(5, 7, 0, 3));
    ASSERT_EQ(h.view.history.size(), 1u);
    EXPECT_EQ(h.view.history[0].line.title, "Skip me - Not Executed");
    EXPECT_TRUE(h.view.history[0].red);
    EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 1").toInt(), 1);
    EXPECT_EQ(h.e().scheduler.Events[0].Active, 1);
    // No reason is logged for a skip with the conditions empty... except the link's.
    EXPECT_EQ(h.folder.activityLines().last(), "Skip me not executed - Server not connected");
    // A week later it is an ordinary active event: decided again, and the file is not touched.
    const auto fileTime = h.e().store.DatabaseIdentity;
    h.clock.setNow(WeekMoment(12, 6, 59, 0, 2));
    h.tick();
    h.runUntil(WeekMoment(12, 7, 0, 3));
    EXPECT_EQ(h.view.history.size(), 2u);
    EXPECT_EQ(h.view.history.back().line.title, "Skip me - Not Executed");
    EXPECT_EQ(h.e().store.DatabaseIdentity, fileTime);
}

TEST(Schedule, InactiveEventsAreListedAsInactive) {
    Harness h(WeekMoment(0, 6, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 0, "07:00:00", "Sleeping", 0), TimedRow(2, 0, "08:00:00", "Other")});
    h.startUp();
    h.runUntil(WeekMoment(0, 7, 0, 3));
    ASSERT_EQ(h.view.history.size(), 1u);
    EXPECT_EQ(h.view.history[0].line.title, "Sleeping - Inactive");
    EXPECT_FALSE(h.view.history[0].red);
    // With the link down even an inactive event logs the link's reason.
    EXPECT_EQ(h.folder.activityLines().last(), "Sleeping not executed - Server not connected");
}

TEST(Schedule, TheOnlyEventIsDecidedOnceThoughTheTableIsReloadedInItsSecond) {
    Harness h(WeekMoment(0, 6, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 0, "07:00:00", "Only")});
    h.startUp();
    h.runUntil(WeekMoment(0, 7, 0, 0, 300));
    ASSERT_EQ(h.view.history.size(), 1u);
    // An edit saved in the same second: the reload chooses afresh, and the decided occurrence is
    // not chosen again, neither in its second nor in its catch-up window.
    test::InsertRows(h.folder.file(kDatabaseFileName), {TimedRow(2, 0, "08:00:00", "Added")});
    h.tick(5);
    ASSERT_EQ(h.e().scheduler.TotalEvents(), 2);
    h.runUntil(WeekMoment(0, 7, 10));
    EXPECT_EQ(h.view.history.size(), 1u);
    EXPECT_EQ(h.view.nextLine().title, "Added");
    // A week later it comes round again.
    h.clock.setNow(WeekMoment(7, 6, 59, 0));
    h.runUntil(WeekMoment(7, 7, 0, 1));
    EXPECT_EQ(h.view.historyTitles().last(), "Only - Not Executed");
}

// While the timed run waits on its message the ticks go on. In the event's second, and after it
// within its catch-up window (the event is not row 0), each of them would find it due again.
TEST(Schedule, ATimedRunThatWaitsIsNotStartedAgainInItsSecondOrItsCatchUpWindow) {
    test::TcpMessagePeer peer;
    Harness h(WeekMoment(0, 6, 59, 59, 2));
    h.folder.createDatabase(
        {TimedRow(1, 0, "06:00:00", "Earlier"),
         test::WithMessage(TimedRow(2, 0, "07:00:00", "Message"), test::kTcpMessage, peer.port()),
         TimedRow(3, 0, "08:00:00", "Later")});
    h.startUp();
    h.online();
    ASSERT_EQ(h.s().NextEventIndex, 1);
    h.tick(2);  // 07:00:00.002: the run starts and waits
    ASSERT_EQ(h.s().runs.count(), 1);

    const int16_t ticks = h.e().TimerTicks;
    h.tick(2);  // 07:00:00.502 (its second) and 07:00:01.002 (a second late)
    EXPECT_EQ(h.s().runs.count(), 1);
    EXPECT_TRUE(h.view.history.empty());
    EXPECT_EQ(h.s().NextEventIndex, 2);  // decided: the pointer is on the next one
    // The rest of each tick ran.
    EXPECT_EQ(h.e().TimerTicks, ticks + 2);
    EXPECT_EQ(h.view.panels[3], "07:00:01");

    h.runUntil(WeekMoment(0, 7, 0, 5));
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Message"});
    EXPECT_EQ(peer.connections, 1);
    EXPECT_TRUE(peer.received.contains("hello"));
    EXPECT_EQ(h.view.nextLine().title, "Later");
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
}

}  // namespace
}  // namespace tarvo
