// The editing tool saves the table in the very second a timed event ran: the reload chooses
// the next event afresh, and the event just decided must not be chosen and run a second time.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarvo {
namespace {

using test::TimedRow;
using test::WeekMoment;

TEST(ReloadInTheSameSecond, DoesNotRunTheEventJustDecidedAgain) {
    // Ticks at 09:59:58.5, 59.0, 59.5, 10:00:00.0 (the event runs) and 00.5 (the fifth tick,
    // which looks at the file).
    test::Harness h(WeekMoment(2, 9, 59, 58, 2));
    h.folder.createDatabase({TimedRow(1, 2, "10:00:00", "Ten"),
                             TimedRow(2, 2, "10:00:00", "Ten as well"),
                             TimedRow(3, 2, "10:00:30", "Half a minute later")});
    h.startUp();
    h.tick(4);
    ASSERT_EQ(h.view.historyTitles(),
              (QStringList{"Ten - Not Executed", "Ten as well - Not Executed"}));

    h.folder.sql("UPDATE Automation SET Title = 'Half a minute later (edited)' WHERE Number = 3");
    const int linesBefore = h.folder.activityLines().size();
    h.tick(1);
    EXPECT_EQ(h.view.nextLine().title, "Half a minute later (edited)");
    h.runUntil(WeekMoment(2, 10, 0, 31));
    EXPECT_EQ(h.view.historyTitles(),
              (QStringList{"Ten - Not Executed", "Ten as well - Not Executed",
                           "Half a minute later (edited) - Not Executed"}));
    // The reload's own line, and the run's.
    EXPECT_EQ(h.folder.activityLines().size(), linesBefore + 2);
    EXPECT_TRUE(h.folder.activityLines().contains(
        "Automation table changed by another program: 0 added, 1 changed, 0 removed"));
}

TEST(ReloadInTheSameSecond, StillRunsAnEventOfThatSecondThatWasNotDecidedYet) {
    // The reload comes in the first tick of the second, before the event of that second has
    // been looked at: the event runs in that same tick, once.
    test::Harness h(WeekMoment(2, 9, 59, 57, 502));
    h.folder.createDatabase(
        {TimedRow(1, 2, "10:00:00", "Ten"), TimedRow(2, 2, "10:00:30", "Later")});
    h.startUp();
    h.tick(4);  // 58.0 .. 59.5
    h.folder.sql("UPDATE Automation SET Title = 'Later (edited)' WHERE Number = 2");
    h.tick(1);  // 10:00:00.0 reloads, then runs Ten
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Ten - Not Executed"});
    EXPECT_EQ(h.view.nextLine().title, "Later (edited)");
    h.tick(10);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Ten - Not Executed"});
}

}  // namespace
}  // namespace tarvo
