// The engine's own database changes when the file cannot take them at once, when the editing tool
// changed the row first, and when the tool holds the file for a while.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <QElapsedTimer>
#include <QFile>

#include "engine/service_notify.h"
#include "engine/stop_signals.h"
#include "scheduler/upkeep.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Row;
using test::TimedRow;
using test::WeekMoment;

QStringList titles(const Engine& e) {
    QStringList out;
    for (const AutomationEvent& ev : e.scheduler.Events) out << ev.Title;
    return out;
}

TEST(UpkeepFaults, AOneTimeDeleteDuringAnotherWritersLockIsWrittenLaterAndNeverRunsTwice) {
    test::Harness h(test::WeekMoment(0, 9, 59, 58, 2));
    h.folder.createDatabase({test::TimedRow(1, 0, "10:00:00", "once", 3), test::TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();

    // The editing tool holds a write transaction across the event's moment.
    auto editor = std::make_unique<Database>(h.folder.file(kDatabaseFileName));
    editor->exec("BEGIN IMMEDIATE");
    editor->exec("UPDATE Automation SET Title = 'later (edited)' WHERE Number = 2");
    h.runUntil(test::WeekMoment(0, 10, 0, 2));
    ASSERT_EQ(h.view.historyTitles(), QStringList{"once - Not Executed"});
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);  // gone from memory at once
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith("Error Deleting One Time Event"));
    EXPECT_TRUE(h.folder.errorLines()[0].contains("database is locked"));
    EXPECT_EQ(h.e().store.pending.size(), 1u);

    // The editor commits: the engine reloads its edit, and the delete is still in force.
    editor->exec("COMMIT");
    editor.reset();
    h.tick(5);
    EXPECT_TRUE(h.e().store.pending.empty());
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);
    EXPECT_EQ(h.e().scheduler.Events[0].Title, "later (edited)");
    ASSERT_EQ(h.folder.errorLines().size(), 2);
    EXPECT_TRUE(h.folder.errorLines()[1].endsWith("Database no longer locked"));
}

TEST(UpkeepFaults, AReloadWhileADeleteWaitsKeepsTheEventOutOfTheTable) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    h.folder.createDatabase({test::TimedRow(1, 0, "10:00:00", "once", 3), test::TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.e().store.pending.push_back(DeleteChange(h.e().scheduler.Events[0]));
    LoadDatabase(h.e());
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 1);
    EXPECT_EQ(h.e().scheduler.Events[0].Title, "later");
    h.e().store.pending = {PendingRowChange{2, false, kSkipNext, false, 0, QString()}};
    h.folder.sql("UPDATE Automation SET Active = 2 WHERE Number = 2");
    LoadDatabase(h.e());
    EXPECT_EQ(h.e().scheduler.Events[1].Active, 1);
    // A change owed for a row the editing tool has changed since is not applied to it.
    h.e().store.pending = {PendingRowChange{1, true, kRunOnce, true, 0, "09:30:00"}};
    LoadDatabase(h.e());
    EXPECT_EQ(titles(h.e()), (QStringList{"once", "later"}));
}

// The editing tool writes the row in the last moment before its second, too late for the
// engine's file check: the engine decides the row as it read it, and its write, which names what
// it expects to find, gives way to the edit.
TEST(UpkeepFaults, AnEditJustBeforeTheSecondWinsOverTheEnginesWrite) {
    struct Case {
        const char* name;
        int active;         // the row as loaded
        const char* edit;   // what the editing tool writes into row 1 at 09:59:59.6
        const char* location;  // of the one error line; none when the engine's write goes ahead
        int rowsLeft;       // of Number 1 in the file
        int activeInFile;   // of row 1, when it is left
    };
    const Case cases[] = {
        {"a skip switched off", 2, "Active = 0", "Error Updating Skip Event", 1, 0},
        {"a one-time row turned weekly", 3, "Active = 1", "Error Deleting One Time Event", 1, 1},
        {"a one-time row moved to another time", 3, "Time = '10:30:00'",
         "Error Deleting One Time Event", 1, 3},
        {"a one-time row moved to another day", 3, "Day = 1", "Error Deleting One Time Event", 1, 3},
        {"a one-time row retitled", 3, "Title = 'renamed'", nullptr, 0, 0},
        {"a skip row retitled", 2, "Title = 'renamed'", nullptr, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Harness h(WeekMoment(0, 9, 59, 58, 2));
        h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "edited row", c.active),
                                 TimedRow(2, 0, "11:00:00", "later")});
        h.startUp();
        h.runUntil(WeekMoment(0, 9, 59, 59, 500));
        h.folder.sql(QStringLiteral("UPDATE Automation SET %1 WHERE Number = 1").arg(c.edit));
        h.tick();  // 10:00:00.002: decided from the table in memory
        ASSERT_EQ(h.view.historyTitles().size(), 1);

        EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), c.rowsLeft);
        if (c.rowsLeft > 0) {
            EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 1").toInt(),
                      c.activeInFile);
        }
        const QStringList errors = h.folder.errorLines();
        if (c.location) {
            ASSERT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
            EXPECT_TRUE(errors[0].startsWith(c.location)) << errors[0].toStdString();
            EXPECT_TRUE(errors[0].endsWith(
                "Row 1 was changed by the editing tool; its change is left as the tool made it"))
                << errors[0].toStdString();
        } else {
            EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
        }
        EXPECT_TRUE(h.e().store.pending.empty());

        // The next check reads the row as the tool left it (a retitled row was an outside edit
        // too, whatever the engine wrote after it).
        h.tick(5);
        EXPECT_EQ(h.view.historyTitles().size(), 1);  // not decided a second time
        const bool kept = c.rowsLeft > 0;
        EXPECT_EQ(h.e().scheduler.TotalEvents(), kept ? 2 : 1);
        if (kept) {
            const AutomationEvent& row = h.e().scheduler.Events[c.edit[0] == 'D' ? 1 : 0];
            EXPECT_EQ(row.Number, 1);
            EXPECT_EQ(row.Active, c.activeInFile);
            if (QByteArray(c.edit).startsWith("Title")) {
                EXPECT_EQ(row.Title, "renamed");
            }
        }
        EXPECT_EQ(h.folder.errorLines().size(), errors.size());
    }
}

// An edit committed after the load and before the engine's own write, or while that write waits
// for the editing tool's lock, is not taken for the engine's own: the next check loads it.
TEST(UpkeepFaults, AnOutsideEditAroundTheEnginesOwnWriteIsStillReloaded) {
    enum When { BeforeTheWrite, DuringTheWait };
    for (const When when : {BeforeTheWrite, DuringTheWait}) {
        SCOPED_TRACE(when == BeforeTheWrite ? "before the write" : "during the wait");
        test::Harness h(WeekMoment(0, 9, 59, 58, 2));
        h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "skip", 2), TimedRow(2, 0, "11:00:00", "later")});
        h.startUp();
        h.runUntil(WeekMoment(0, 9, 59, 59, 500));
        std::unique_ptr<Database> editor;
        std::thread committer;
        if (when == BeforeTheWrite) {
            h.folder.sql("UPDATE Automation SET Title = 'later (edited)' WHERE Number = 2");
        } else {
            // The tool holds its write lock with the edit made and commits while the engine's
            // write is waiting (or, on a slow machine, just after it gave up: the outcome must
            // be the same).
            editor = std::make_unique<Database>(h.folder.file(kDatabaseFileName));
            editor->exec("BEGIN IMMEDIATE");
            editor->exec("UPDATE Automation SET Title = 'later (edited)' WHERE Number = 2");
            committer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
                editor->exec("COMMIT");
            });
        }
        h.tick();  // 10:00:00.002: the skip re-arm writes the file
        if (committer.joinable()) committer.join();
        editor.reset();
        h.tick(10);
        EXPECT_EQ(titles(h.e()), (QStringList{"skip", "later (edited)"}));
        EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 1").toInt(), 1);
        EXPECT_EQ(h.e().scheduler.Events[0].Active, 1);
        EXPECT_TRUE(h.e().store.pending.empty());
    }
}

// Another database put in place of the engine's with the modification time the old one had:
// copied over it in place (as cp -p, rsync --inplace -t or an unpacked archive leave it) or
// renamed in. Either is a new table, and loaded.
TEST(UpkeepFaults, AFileMovedInWithTheSameModificationTimeIsLoaded) {
    enum How { CopiedOver, RenamedIn };
    for (const How how : {CopiedOver, RenamedIn}) {
        SCOPED_TRACE(how == CopiedOver ? "copied over" : "renamed in");
        test::Harness h(WeekMoment(0, 9, 0));
        h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "old"), TimedRow(2, 0, "11:00:00", "old later")});
        h.startUp();
        const QString target = h.folder.file(kDatabaseFileName);
        struct stat old {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &old), 0);

        // The same rows but for one title of the same length: a file of the same size.
        test::Folder aside;
        aside.createDatabase({TimedRow(1, 0, "10:00:00", "new"), TimedRow(2, 0, "11:00:00", "old later")});
        aside.sql("UPDATE Automation SET Title = 'NEW' WHERE Number = 1");
        const QString source = aside.file(kDatabaseFileName);
        const timespec times[2] = {old.st_atim, old.st_mtim};
        if (how == CopiedOver) {
            QFile in(source);
            ASSERT_TRUE(in.open(QIODevice::ReadOnly));
            const QByteArray bytes = in.readAll();
            ASSERT_EQ(bytes.size(), old.st_size);
            const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
            ASSERT_EQ(::futimens(fd, times), 0);
            ::close(fd);
        } else {
            ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), times, 0), 0);
            ASSERT_EQ(std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()), 0);
        }
        struct stat now {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &now), 0);
        ASSERT_EQ(now.st_mtim.tv_sec, old.st_mtim.tv_sec);
        ASSERT_EQ(now.st_mtim.tv_nsec, old.st_mtim.tv_nsec);

        h.tick(5);
        EXPECT_EQ(titles(h.e()), (QStringList{"NEW", "old later"}));
        EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
    }
}

// The editing tool holds the whole file (BEGIN EXCLUSIVE) from before the engine starts: the
// start-up load gives up at once and is tried at every check, the loop never waits, and the lock
// is one line in the error log when it starts and one when it ends.
TEST(UpkeepFaults, ALoadThatMeetsALockIsTriedAtEveryCheckAndReportedOnce) {
    test::Harness h(WeekMoment(0, 9, 0));
    h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "first"), TimedRow(2, 0, "11:00:00", "second")});
    auto editor = std::make_unique<Database>(h.folder.file(kDatabaseFileName));
    editor->exec("BEGIN EXCLUSIVE");

    QElapsedTimer spent;
    spent.start();
    h.startUp();
    h.tick(40);  // eight checks
    // Each try gives up within tens of milliseconds (waiting for the lock, each would take 5 s).
    EXPECT_LT(spent.elapsed(), 3000);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 0);
    EXPECT_TRUE(h.e().store.lock.locked());
    EXPECT_TRUE(ServiceNotifier::StatusText(h.e()).contains("; database locked"))
        << ServiceNotifier::StatusText(h.e()).toStdString();
    // The error line is in the status while it is under a minute old, and in SIGUSR1's line.
    EXPECT_TRUE(ServiceNotifier::StatusText(h.e()).contains(QRegularExpression(
        "; last error 09:00:0\\d [A-Za-z ]+ DB - .*database is locked.*; no events$")))
        << ServiceNotifier::StatusText(h.e()).toStdString();
    EXPECT_TRUE(StatusSignalLine(h.e().scheduler.runs, h.e().logs).contains("bytes; last error 09:00:0"));
    QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].contains("database is locked")) << errors[0].toStdString();

    editor->exec("ROLLBACK");
    editor.reset();
    h.tick(5);
    EXPECT_EQ(titles(h.e()), (QStringList{"first", "second"}));
    EXPECT_EQ(h.view.panels.value(1), "2 Total Events");
    EXPECT_FALSE(h.e().store.lock.locked());
    EXPECT_FALSE(ServiceNotifier::StatusText(h.e()).contains("; database locked"));
    errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[1].endsWith("Database no longer locked")) << errors[1].toStdString();
    h.tick(121);
    EXPECT_FALSE(ServiceNotifier::StatusText(h.e()).contains("last error"));
    EXPECT_TRUE(StatusSignalLine(h.e().scheduler.runs, h.e().logs).contains("Database no longer locked"));

    // Loaded once: the file is not read again while it stays as it is.
    const auto captions = h.view.captions.size();
    h.tick(20);
    EXPECT_EQ(h.view.captions.size(), captions);
}

}  // namespace
}  // namespace tarvo
