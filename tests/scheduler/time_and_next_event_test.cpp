#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include "base/wait.h"
#include "scheduler/next_event.h"
#include "scheduler/time_arith.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

struct Sched : ::testing::Test {
    test::Folder folder;
    ManualClock clock{test::WeekMoment(2, 12, 0)};
    test::RecordingView view;
    Engine e{clock, view, folder.path()};

    void table(std::vector<AutomationEvent> rows) { e.scheduler.Events = std::move(rows); }
    static AutomationEvent ev(int day, const char* time, const char* title, int type = 0) {
        AutomationEvent a;
        a.Day = static_cast<int16_t>(day);
        a.DayName = DayNameOf(day);
        a.Time = QString::fromLatin1(time);
        a.Title = QString::fromLatin1(title);
        a.Type = static_cast<int16_t>(type);
        return a;
    }
    // The next event is chosen from this moment on (the current second is not yet past).
    void at(int day, int h, int m, int s = 0) {
        e.scheduler.CurrentDay = static_cast<int16_t>(day);
        e.scheduler.CurrentTime = h * 3600 + m * 60 + s;
        e.scheduler.horizon = QDateTime(test::WeekMoment(day, h, m, s).date(), QTime(h, m, s), Qt::UTC).addMSecs(-1);
    }
};

TEST_F(Sched, MinutesOfTheWeek) {
    EXPECT_EQ(ConvertToMinutes(e.logs, "00:00:00", 0), 0);
    EXPECT_EQ(ConvertToMinutes(e.logs, "23:59:59", 6), 10079);
    EXPECT_EQ(ConvertToMinutes(e.logs, "12:00:00 AM", 0), 0);
    EXPECT_EQ(ConvertToMinutes(e.logs, "12:00:00 PM", 0), 720);
    EXPECT_EQ(ConvertToMinutes(e.logs, "1:05:00 PM", 1), 2225);
    EXPECT_EQ(ConvertToMinutes(e.logs, 13 * 3600 + 5 * 60 + 59, 1), 2225);
    EXPECT_EQ(ConvertToMinutes(e.logs, "00:30:00", 7), 10110);
    // Text that is no time of day: reported, and 0.
    EXPECT_EQ(ConvertToMinutes(e.logs, "noon", 0), 0);
    ASSERT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.errorLines()[0].startsWith("Error Converting Minutes"));
    EXPECT_FALSE(EventSeconds(u"24:00:00"));
    EXPECT_FALSE(EventSeconds(u"25:00:00"));
    EXPECT_EQ(EventSeconds(u"7:05:09"), 7 * 3600 + 5 * 60 + 9);
}

TEST_F(Sched, CheckDelayIsStrictAndSurvivesTheCounterWrap) {
    clock.setTickCount(1000);
    int64_t start = clock.tickCount();
    EXPECT_FALSE(CheckDelay(e.logs, clock, start, 0));
    clock.advance(1);
    EXPECT_TRUE(CheckDelay(e.logs, clock, start, 0));

    // A 5000 ms wait started 1000 ms before the counter wraps.
    clock.setTickCount(2147483647 - 1000);
    start = clock.tickCount();
    int waited = 0;
    while (!CheckDelay(e.logs, clock, start, 5000)) {
        clock.advance(1);
        ++waited;
        ASSERT_LT(waited, 10000);
    }
    // The counter's wrap counts 2 × 2147483647 rather than 2^32: at most a couple of ms apart.
    EXPECT_GE(waited, 4998);
    EXPECT_LE(waited, 5003);
}

// A run that waits and notes, in `trace`, when it starts and when its wait is over.
Task<> Waiter(Clock& clock, int ms, QStringList& trace, QString name) {
    trace << name + " start";
    co_await ProcessWait(clock, ms);
    trace << name + " end";
}

TEST_F(Sched, AWaitSuspendsOnlyItsOwnRunAndEndsAtItsMoment) {
    QStringList trace;
    RunSet& runs = e.scheduler.runs;
    const QDateTime t0 = clock.now();
    ASSERT_TRUE(runs.start(Waiter(clock, 200, trace, "long")));
    // The start returns as soon as the run waits: the caller goes on meanwhile.
    EXPECT_EQ(trace, QStringList{"long start"});
    EXPECT_EQ(runs.count(), 1);
    clock.advance(50);
    ASSERT_TRUE(runs.start(Waiter(clock, 100, trace, "short")));
    EXPECT_EQ(runs.count(), 2);
    // Runs resume in the order their waits end, not the order they started in.
    clock.advance(99);
    EXPECT_EQ(trace, (QStringList{"long start", "short start"}));
    clock.advance(1);
    EXPECT_EQ(trace, (QStringList{"long start", "short start", "short end"}));
    EXPECT_EQ(t0.msecsTo(clock.now()), 150);
    clock.advance(49);
    EXPECT_EQ(runs.count(), 1);
    clock.advance(1);
    EXPECT_EQ(trace.last(), "long end");
    EXPECT_EQ(runs.count(), 0);
    EXPECT_EQ(clock.pendingAlarms(), 0u);
}

TEST_F(Sched, AWaitOnTheSystemClockHandsTheLoopBackUntilItEnds) {
    SystemClock real;
    RunSet runs;
    QStringList trace;
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(runs.start(Waiter(real, 60, trace, "w")));
    // No loop runs inside the wait: the start is back before the wait is over.
    EXPECT_EQ(trace, QStringList{"w start"});
    QTimer::singleShot(20, [&] { trace << "other"; });
    QDeadlineTimer deadline(5000);
    while (runs.count() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    ASSERT_EQ(runs.count(), 0);
    // The loop handled other events during the wait, and the wait lasted its time.
    EXPECT_EQ(trace, (QStringList{"w start", "other", "w end"}));
    EXPECT_GE(t.elapsed(), 60);
}

TEST_F(Sched, NextEventOfTheWeek) {
    table({ev(0, "08:00:00", "Mon 8"), ev(2, "09:00:00", "Wed 9"), ev(2, "17:00:00", "Wed 17"), ev(4, "06:00:00", "Fri 6")});
    at(2, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 2);
    at(2, 18, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 3);
    at(5, 10, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 0);  // next week's Monday
    at(2, 17, 0, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 2);  // the current second is not yet past
    at(2, 17, 0, 1);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 3);
}

TEST_F(Sched, RowsOffTheClockAreNeverChosen) {
    table({ev(2, "24:00:00", "off"), ev(2, "13:00:00", "opto", 1), ev(7, "13:00:00", "none"), ev(9, "13:00:00", "nine"),
           ev(-1, "13:00:00", "negative"), ev(3, "bad", "bad"), ev(4, "09:00:00", "Fri")});
    at(2, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 6);
    // Even when nothing later this week qualifies: a row that can never fall due is not taken.
    at(5, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 6);
}

TEST_F(Sched, EmptyAndSingleRowTables) {
    table({});
    e.scheduler.NextEventIndex = 3;
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 0);
    EXPECT_EQ(view.nextLine(), (ListLine{" ", " ", "No Events"}));
    table({ev(7, "24:00:00", "only", 3)});
    EXPECT_EQ(DetermineNextEvent(e.scheduler), 0);  // one row: 0, whatever it is
    e.scheduler.NextEventIndex = 0;
    DisplayNextEvent(e.scheduler);
    EXPECT_EQ(view.nextLine(), (ListLine{"None", "24:00:00", "only"}));
}

}  // namespace
}  // namespace tarvo
