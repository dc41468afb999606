#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

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

    void table(std::vector<AutomationEvent> rows) {
        e.Events = std::move(rows);
        e.TotalEvents = static_cast<int32_t>(e.Events.size());
        if (e.Events.empty()) e.Events.resize(1);
    }
    static AutomationEvent ev(int day, const char* time, const char* title, int type = 0) {
        AutomationEvent a;
        a.Day = static_cast<int16_t>(day);
        a.DayName = DayNameOf(day);
        a.Time = QString::fromLatin1(time);
        a.Title = QString::fromLatin1(title);
        a.Type = static_cast<int16_t>(type);
        return a;
    }
    void at(int day, int h, int m, int s = 0) {
        e.CurrentDay = static_cast<int16_t>(day);
        e.CurrentTime = h * 3600 + m * 60 + s;
    }
};

TEST_F(Sched, MinutesOfTheWeek) {
    EXPECT_EQ(ConvertToMinutes(e, "00:00:00", 0), 0);
    EXPECT_EQ(ConvertToMinutes(e, "23:59:59", 6), 10079);
    EXPECT_EQ(ConvertToMinutes(e, "12:00:00 AM", 0), 0);
    EXPECT_EQ(ConvertToMinutes(e, "12:00:00 PM", 0), 720);
    EXPECT_EQ(ConvertToMinutes(e, "1:05:00 PM", 1), 2225);
    EXPECT_EQ(ConvertToMinutes(e, 13 * 3600 + 5 * 60 + 59, 1), 2225);
    EXPECT_EQ(ConvertToMinutes(e, "00:30:00", 7), 10110);
    // Text that is no time of day: reported, and 0.
    EXPECT_EQ(ConvertToMinutes(e, "noon", 0), 0);
    ASSERT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.errorLines()[0].startsWith("Error Converting Minutes"));
    EXPECT_FALSE(EventSeconds("24:00:00"));
    EXPECT_FALSE(EventSeconds("25:00:00"));
    EXPECT_EQ(EventSeconds("7:05:09"), 7 * 3600 + 5 * 60 + 9);
}

TEST_F(Sched, CheckDelayIsStrictAndSurvivesTheCounterWrap) {
    clock.setTickCount(1000);
    int64_t start = clock.tickCount();
    EXPECT_FALSE(CheckDelay(e, start, 0));
    clock.advance(1);
    EXPECT_TRUE(CheckDelay(e, start, 0));

    // A 5000 ms wait started 1000 ms before the counter wraps.
    clock.setTickCount(2147483647 - 1000);
    start = clock.tickCount();
    int waited = 0;
    while (!CheckDelay(e, start, 5000)) {
        clock.advance(1);
        ++waited;
        ASSERT_LT(waited, 10000);
    }
    // The counter's wrap counts 2 × 2147483647 rather than 2^32: at most a couple of ms apart.
    EXPECT_GE(waited, 4998);
    EXPECT_LE(waited, 5003);
}

TEST_F(Sched, ProcessWaitOnTheManualClockAdvancesItAndRunsEvents) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    const QDateTime before = clock.now();
    ProcessWait(e, 200);
    EXPECT_TRUE(ran);
    EXPECT_GE(before.msecsTo(clock.now()), 200);
    EXPECT_LE(before.msecsTo(clock.now()), 202);
}

TEST_F(Sched, ProcessWaitOnTheSystemClockSleepsInANestedLoop) {
    SystemClock real;
    Engine r(real, view, folder.path());
    bool ran = false;
    QTimer::singleShot(20, [&] { ran = true; });
    QElapsedTimer t;
    t.start();
    ProcessWait(r, 60);
    EXPECT_TRUE(ran);  // events are handled during the wait
    EXPECT_GE(t.elapsed(), 60);
}

TEST_F(Sched, NextEventOfTheWeek) {
    table({ev(0, "08:00:00", "Mon 8"), ev(2, "09:00:00", "Wed 9"), ev(2, "17:00:00", "Wed 17"), ev(4, "06:00:00", "Fri 6")});
    at(2, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e), 2);
    at(2, 18, 0);
    EXPECT_EQ(DetermineNextEvent(e), 3);
    at(5, 10, 0);
    EXPECT_EQ(DetermineNextEvent(e), 0);  // next week's Monday
    at(2, 17, 0, 0);
    EXPECT_EQ(DetermineNextEvent(e), 2);  // the current second is not yet past
    at(2, 17, 0, 1);
    EXPECT_EQ(DetermineNextEvent(e), 3);
}

TEST_F(Sched, RowsOffTheClockAreNeverChosen) {
    table({ev(2, "24:00:00", "off"), ev(2, "13:00:00", "opto", 1), ev(7, "13:00:00", "none"), ev(9, "13:00:00", "nine"),
           ev(-1, "13:00:00", "negative"), ev(3, "bad", "bad"), ev(4, "09:00:00", "Fri")});
    at(2, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e), 6);
    // Even when nothing later this week qualifies: a row that can never fall due is not taken.
    at(5, 12, 0);
    EXPECT_EQ(DetermineNextEvent(e), 6);
}

TEST_F(Sched, EmptyAndSingleRowTables) {
    table({});
    e.NextEventIndex = 3;
    EXPECT_EQ(DetermineNextEvent(e), 0);
    EXPECT_EQ(view.nextLine(), (ListLine{" ", " ", "No Events"}));
    table({ev(7, "24:00:00", "only", 3)});
    EXPECT_EQ(DetermineNextEvent(e), 0);  // one row: 0, whatever it is
    e.NextEventIndex = 0;
    DisplayNextEvent(e);
    EXPECT_EQ(view.nextLine(), (ListLine{"None", "24:00:00", "only"}));
}

}  // namespace
}  // namespace tarvo
