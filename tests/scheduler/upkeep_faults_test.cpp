// The engine's own database changes when the file cannot take them at once.
#include <gtest/gtest.h>

#include "scheduler/upkeep.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

TEST(UpkeepFaults, AOneTimeDeleteDuringAnotherWritersLockIsWrittenLaterAndNeverRunsTwice) {
    test::Harness h(test::WeekMoment(0, 9, 59, 58, 2));
    h.folder.createDatabase({test::TimedRow(1, 0, "10:00:00", "once", 3), test::TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.e().store.busyTimeoutMs = 100;

    // The editing tool holds a write transaction across the event's moment.
    auto editor = std::make_unique<Database>(h.folder.file(kDatabaseFileName));
    editor->exec("BEGIN IMMEDIATE");
    editor->exec("UPDATE Automation SET Title = 'later (edited)' WHERE Number = 2");
    h.runUntil(test::WeekMoment(0, 10, 0, 2));
    ASSERT_EQ(h.view.historyTitles(), QStringList{"once - Not Executed"});
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);  // gone from memory at once
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith("Error Deleting One Time Event"));
    EXPECT_EQ(h.e().store.pending.size(), 1u);

    // The editor commits: the engine reloads its edit, and the delete is still in force.
    editor->exec("COMMIT");
    editor.reset();
    h.tick(5);
    EXPECT_TRUE(h.e().store.pending.empty());
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);
    EXPECT_EQ(h.e().scheduler.Events[0].Title, "later (edited)");
    EXPECT_EQ(h.folder.errorLines().size(), 1);
}

TEST(UpkeepFaults, AReloadWhileADeleteWaitsKeepsTheEventOutOfTheTable) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    h.folder.createDatabase({test::TimedRow(1, 0, "10:00:00", "once", 3), test::TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.e().store.pending.push_back({1, true});
    LoadDatabase(h.e());
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);
    EXPECT_EQ(h.e().scheduler.Events[0].Title, "later");
    h.e().store.pending = {{2, false}};
    h.folder.sql("UPDATE Automation SET Active = 2 WHERE Number = 2");
    LoadDatabase(h.e());
    EXPECT_EQ(h.e().scheduler.Events[1].Active, 1);
}

TEST(UpkeepFaults, AnOutsideEditJustBeforeTheEnginesOwnWriteIsStillReloaded) {
    test::Harness h(test::WeekMoment(0, 9, 59, 58, 2));
    h.folder.createDatabase({test::TimedRow(1, 0, "10:00:00", "skip", 2), test::TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.clock.advance(10);
    h.folder.sql("UPDATE Automation SET Title = 'later (edited)' WHERE Number = 2");
    h.runUntil(test::WeekMoment(0, 10, 0, 1));  // the skip re-arm writes the file
    h.tick(5);
    EXPECT_EQ(h.e().scheduler.Events[1].Title, "later (edited)");
}

}  // namespace
}  // namespace tarvo
