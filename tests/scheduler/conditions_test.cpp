#include <gtest/gtest.h>

#include "logs/failure.h"
#include "scheduler/conditions.h"
#include "scheduler/time_arith.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

struct Conditions : ::testing::Test {
    test::Folder folder;
    ManualClock clock{test::WeekMoment(1, 10, 59, 45)};
    test::RecordingView view;
    Engine e{clock, view, folder.path()};

    void SetUp() override {
        e.switcher.master().Map.assign(4, OutputMap{});
        e.switcher.RelayState.assign(2049, 0);
        e.switcher.OptoState.assign(2049, 0);
        // Destination 3 fed by sources 1 and 5 (stored 0-based).
        e.switcher.master().Map[2].SourceCount = 2;
        e.switcher.master().Map[2].Sources[0] = 0;
        e.switcher.master().Map[2].Sources[1] = 4;
        e.switcher.RelayState[11] = 1;  // relay 12 on
        e.switcher.OptoState[6] = 1;    // opto 7 on
        e.switcher.OptoState[7] = 2;    // opto 8 in a state that is neither on nor off
        sample(test::WeekMoment(1, 10, 59, 45));
    }
    void sample(const QDateTime& t) {
        clock.setNow(t);
        e.scheduler.sampleClock();
    }
    static AutomationEvent cond(int c, int source, int dest, int relay, int opto) {
        AutomationEvent ev;
        ev.Title = "T";
        ev.Condition = static_cast<int16_t>(c);
        ev.ReqSource = static_cast<int16_t>(source);
        ev.ReqDest = static_cast<int16_t>(dest);
        ev.ReqRelay = static_cast<int16_t>(relay);
        ev.ReqOpto = static_cast<int16_t>(opto);
        return ev;
    }
    static AutomationEvent second(AutomationEvent ev, int c, int source, int dest, int relay, int opto) {
        ev.Condition2 = static_cast<int16_t>(c);
        ev.ReqSource2 = static_cast<int16_t>(source);
        ev.ReqDest2 = static_cast<int16_t>(dest);
        ev.ReqRelay2 = static_cast<int16_t>(relay);
        ev.ReqOpto2 = static_cast<int16_t>(opto);
        return ev;
    }
    AutomationEvent delayed(const char* title, int delay) {
        AutomationEvent ev;
        ev.Title = title;
        ev.Delay = static_cast<int16_t>(delay);
        ev.DayName = "Tuesday";
        return ev;
    }
    QStringList queue() const {
        QStringList out;
        for (const auto& d : e.scheduler.DelayedEvents)
            out << d.event.Title + "@" + QString::number(d.event.Day) + " " + d.event.Time;
        return out;
    }
};

TEST_F(Conditions, EachSelectorOnTheSwitcherPicture) {
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(0, 0, 0, 0, 0)));
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(1, 5, 3, 0, 0)));  // 4 + 1 = 5 feeds 3
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(1, 2, 3, 0, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(1, 5, 0, 0, 0)));  // an operand of 0 fails
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(2, 2, 3, 0, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(2, 1, 3, 0, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(2, 0, 3, 0, 0)));
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(3, 0, 0, 12, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(4, 0, 0, 12, 0)));
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(4, 0, 0, 13, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(3, 0, 0, 0, 0)));
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(5, 0, 0, 0, 7)));
    EXPECT_TRUE(VerifyConditions(e.scheduler, cond(6, 0, 0, 0, 6)));
    // A state that is neither 0 nor 1 satisfies neither test.
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(5, 0, 0, 0, 8)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(6, 0, 0, 0, 8)));
    // Only the first SourceCount entries count.
    e.switcher.master().Map[2].Sources[2] = 8;
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(1, 9, 3, 0, 0)));
    e.switcher.RelayState[11] = 0;
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(3, 0, 0, 12, 0)));
    EXPECT_TRUE(folder.errorLines().isEmpty());
}

TEST_F(Conditions, TheSecondGroupAndWhichReasonIsGiven) {
    EXPECT_TRUE(VerifyConditions(e.scheduler, second(cond(0, 0, 0, 0, 0), 5, 0, 0, 0, 7)));
    const ConditionCheck c =
        CheckConditions(e.scheduler, second(cond(3, 0, 0, 12, 0), 6, 0, 0, 0, 7));
    EXPECT_FALSE(c.holds);
    EXPECT_EQ(c.failedSelector, 6);  // the second condition's own reason
    EXPECT_EQ(ConditionRefusal(c.failedSelector), " not executed - Opto active");
    const ConditionCheck first =
        CheckConditions(e.scheduler, second(cond(4, 0, 0, 12, 0), 6, 0, 0, 0, 7));
    EXPECT_EQ(first.failedSelector, 4);
    EXPECT_EQ(ConditionRefusal(1), " not executed - Crosspoint inactive");
    EXPECT_EQ(ConditionRefusal(2), " not executed - Crosspoint active");
    EXPECT_EQ(ConditionRefusal(3), " not executed - Relay inactive");
    EXPECT_EQ(ConditionRefusal(5), " not executed - Opto inactive");
    EXPECT_EQ(ConditionRefusal(0), "");
}

TEST_F(Conditions, ACrosspointConditionBeforeAnyMapFailsWithItsReport) {
    e.logs.errorRepeatWindowMs = 0;  // each report its own line
    e.switcher.master().Map.assign(1, OutputMap{});
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(1, 5, 3, 0, 0)));
    EXPECT_FALSE(VerifyConditions(e.scheduler, cond(3, 0, 0, 3000, 0)));  // beyond the relay table
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].startsWith("Error Verifiying Conditional Requir"));  // cut at column 59
}

TEST_F(Conditions, DueMomentsAcrossAMinuteAnHourMidnightAndTheWeek) {
    AddDelayedEvent(e.scheduler, delayed("ninety", 90));
    EXPECT_EQ(queue(), QStringList{"ninety@1 11:01:15"});
    e.scheduler.DelayedEvents.clear();

    AddDelayedEvent(e.scheduler, delayed("two hours", 7200 + 61));
    AddDelayedEvent(e.scheduler, delayed("max", 32767));
    AddDelayedEvent(e.scheduler, delayed("negative", -20));
    EXPECT_EQ(queue(), (QStringList{"negative@1 10:59:45", "two hours@1 13:00:46", "max@1 20:05:52"}));

    e.scheduler.DelayedEvents.clear();
    sample(test::WeekMoment(6, 23, 59, 50));
    AddDelayedEvent(e.scheduler, delayed("after midnight", 30));
    AddDelayedEvent(e.scheduler, delayed("sunday", 5));
    AddDelayedEvent(e.scheduler, delayed("same second 1", 5));
    AddDelayedEvent(e.scheduler, delayed("same second 2", 5));
    // Due earlier runs earlier, across the turn of the week; ties keep their queuing order.
    EXPECT_EQ(queue(), (QStringList{"sunday@6 23:59:55", "same second 1@6 23:59:55", "same second 2@6 23:59:55",
                                    "after midnight@0 00:00:20"}));
}

TEST_F(Conditions, DueEntriesRunFromTheFrontAndLeaveTheQueue) {
    e.switcher.master().Connected = e.switcher.master().Online = true;
    AutomationEvent bad = delayed("bad crosspoint", 10);
    bad.xcontrol = 1;  // no source: refused, but still carried out as far as it goes
    bad.Active = 1;
    AddDelayedEvent(e.scheduler, bad);
    AddDelayedEvent(e.scheduler, delayed("later", 20));
    sample(test::WeekMoment(1, 10, 59, 54));
    RunDueDelayedEvents(e.scheduler);
    EXPECT_TRUE(view.history.empty());
    sample(test::WeekMoment(1, 10, 59, 55));
    RunDueDelayedEvents(e.scheduler);
    ASSERT_EQ(view.history.size(), 1u);
    EXPECT_EQ(view.history[0].line.title, "bad crosspoint - Not Executed");
    EXPECT_TRUE(view.history[0].red);
    EXPECT_EQ(view.history[0].line.day, "Tuesday");
    EXPECT_EQ(folder.activityLines(), QStringList{"bad crosspoint not executed - Invalid Crosspoint"});
    EXPECT_EQ(static_cast<int>(e.scheduler.DelayedEvents.size()), 1);
    // A missed entry still runs at the first tick after it fell due, even on the next day.
    sample(test::WeekMoment(2, 0, 0, 5));
    RunDueDelayedEvents(e.scheduler);
    EXPECT_EQ(static_cast<int>(e.scheduler.DelayedEvents.size()), 0);
    EXPECT_EQ(view.history.back().line.title, "later");
}

TEST_F(Conditions, AnEntryWhoseRunFailsIsNotRunAgain) {
    AddDelayedEvent(e.scheduler, delayed("fails", 1));
    sample(test::WeekMoment(1, 11, 0, 0));
    // Make the run fail part-way: the history line cannot be drawn past a thrown failure.
    struct Throwing : test::RecordingView {
        void addHistoryLine(const ListLine&, bool) override { throw TarvoError(9, "boom"); }
    } throwing;
    Engine f(clock, throwing, folder.path());
    Scheduler& fs = f.scheduler;
    fs.DelayedEvents = e.scheduler.DelayedEvents;
    fs.sampleClock();
    RunDueDelayedEvents(fs);
    EXPECT_TRUE(fs.DelayedEvents.empty());
    EXPECT_EQ(fs.runs.count(), 0);  // the failed run ended; nothing of it is left to resume
    ASSERT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.errorLines()[0].startsWith("Error Executing Delayed Event"));
    // The next tick finds nothing left to run.
    RunDueDelayedEvents(fs);
    EXPECT_EQ(folder.errorLines().size(), 1);
}

}  // namespace
}  // namespace tarvo
