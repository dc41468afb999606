// The engine runs for months beside files that other programs replace, cut short, remove and
// put back, on disks that fill up and folders it may not write. Whatever its files do, it keeps
// running its events, says once and clearly what went wrong, and loses none of its own database
// changes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include <unistd.h>

#include <QDir>
#include <QFile>

#include "logs/logs.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"
#include "switcher/commands.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Row;
using test::TimedRow;
using test::WeekMoment;

QStringList titles(const Engine& e) {
    QStringList out;
    for (int32_t i = 0; i < e.scheduler.TotalEvents(); ++i) out << e.scheduler.Events[static_cast<std::size_t>(i)].Title;
    return out;
}

int linesStartingWith(const QStringList& lines, const QString& head) {
    int n = 0;
    for (const QString& l : lines) n += l.startsWith(head) ? 1 : 0;
    return n;
}

// Puts `source` in place of `target` the way a saving program does: one rename, so the engine
// sees either the old file or the new one, never a mix.
void renameOver(const QString& source, const QString& target) {
    ASSERT_EQ(
        std::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()),
        0);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// ---------------------------------------------------------------------------------------------
// The database file replaced, broken, removed and put back.

class ReplacedDatabase : public ::testing::Test {
  protected:
    ReplacedDatabase() : h(WeekMoment(0, 9, 59, 58, 2)) {}
    QString dbPath() const { return h.folder.file(kDatabaseFileName); }
    // A complete database with these rows, made aside and renamed over the engine's file.
    void saveOver(const std::vector<Row>& rows) {
        test::Folder aside;
        aside.createDatabase(rows);
        renameOver(aside.file(kDatabaseFileName), dbPath());
    }
    test::Harness h;
};

TEST_F(ReplacedDatabase, ANewFileRenamedOverTheOldIsLoadedAndTakesTheEnginesOwnWrites) {
    h.clock.setNow(WeekMoment(0, 9, 0));
    h.folder.createDatabase(
        {TimedRow(1, 0, "10:00:00", "old once", 3), TimedRow(2, 0, "11:00:00", "old later")});
    h.startUp();
    // The old file stays reachable under another name, to show that nothing is written to it.
    const QString oldFile = h.folder.file("old.mdb");
    ASSERT_EQ(
        ::link(QFile::encodeName(dbPath()).constData(), QFile::encodeName(oldFile).constData()), 0);
    const QByteArray oldBytes = readFile(oldFile);

    saveOver({TimedRow(1, 0, "10:00:00", "new once", 3), TimedRow(2, 0, "10:30:00", "new skip", 2),
              TimedRow(3, 0, "11:00:00", "new later")});
    h.tick(5);
    EXPECT_EQ(titles(h.e()), (QStringList{"new once", "new skip", "new later"}));

    h.runUntil(WeekMoment(0, 10, 30, 5));
    EXPECT_EQ(h.view.historyTitles(),
              (QStringList{"new once - Not Executed", "new skip - Not Executed"}));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 2").toInt(), 1);
    EXPECT_EQ(readFile(oldFile), oldBytes);
    EXPECT_EQ(titles(h.e()), (QStringList{"new skip", "new later"}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
}

// The editing tool holds the old file while the engine waits to write its delete, then renames
// its new file over it. The delete must reach the new file, and the new file must be loaded
// (SQLite refuses the write to a file that lost its name; the change then waits like any other).
TEST_F(ReplacedDatabase, AFileReplacedDuringTheEnginesOwnWriteGetsThatWriteToo) {
    h.folder.createDatabase(
        {TimedRow(1, 0, "10:00:00", "once", 3), TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.runUntil(WeekMoment(0, 9, 59, 59, 500));

    // The editor's new file was made from the table before the event ran: it still holds row 1.
    test::Folder aside;
    aside.createDatabase(
        {TimedRow(1, 0, "10:00:00", "once", 3), TimedRow(2, 0, "11:00:00", "later (edited)")});
    auto editor = std::make_unique<Database>(dbPath());
    editor->exec("BEGIN IMMEDIATE");
    std::thread saver([&] {
        // Whether the engine is already waiting for the lock or not yet at its write, the result
        // must be the same; this pause only makes the first (harder) case the usual one.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        renameOver(aside.file(kDatabaseFileName), dbPath());
        editor->exec("ROLLBACK");
    });
    h.tick();  // 10:00:00.002: the event runs and its delete waits for the editor
    saver.join();
    editor.reset();
    ASSERT_EQ(h.view.historyTitles(), QStringList{"once - Not Executed"});

    h.tick(10);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(titles(h.e()), QStringList{"later (edited)"});
    // The write to the old file gives up on the lock, or is refused (the file no longer has a
    // name), and is reported; the delete waits and goes to the new file. A lock is reported
    // again when it ends.
    const QStringList errors = h.folder.errorLines();
    const int ended = static_cast<int>(errors.filter("Database no longer locked").size());
    EXPECT_LE(ended, 1);
    EXPECT_LE(errors.size(), 1 + ended) << errors.join('\n').toStdString();
    EXPECT_EQ(linesStartingWith(errors, "Error Deleting One Time Event"), errors.size() - ended);
    EXPECT_TRUE(h.e().store.pending.empty());
}

// A replacement that is no database, or a damaged one, is reported when it is found (not on
// every check after), and the engine runs on from the last table it read in full. When a sound
// file comes back, it is loaded and the changes the broken file could not take are written to it.
TEST_F(ReplacedDatabase, ABrokenReplacementIsReportedOnceAndTheLastFullTableRunsOn) {
    struct Broken {
        const char* name;
        std::function<void(const QString& path)> make;
        bool takesWrites;  // whether the engine's own delete can still be written to it
    };
    const std::vector<Broken> cases = {
        {"not a database",
         [](const QString& p) { writeFile(p, QByteArray("Title;Time\r\nnews;10:00:00\r\n")); },
         false},
        {"empty", [](const QString& p) { writeFile(p, QByteArray()); }, false},
        {"cut short",
         [](const QString& p) {
             const QByteArray whole = readFile(p);
             writeFile(p, whole.left(whole.size() / 2));
         },
         false},
        {"damaged inside the rows",
         [](const QString& p) {
             // A long title runs over a chain of overflow pages; one of them loses its link to the
             // next. The row count still reads; the rows do not.
             QByteArray bytes = readFile(p);
             const int pageSize =
                 (static_cast<uchar>(bytes[16]) << 8) | static_cast<uchar>(bytes[17]);
             const qsizetype inTitle = bytes.indexOf(QByteArray(64, 'Z')) + 2 * pageSize;
             const qsizetype page = inTitle / pageSize * pageSize;
             bytes.replace(page, 4, QByteArray(4, '\0'));
             writeFile(p, bytes);
         },
         true},
    };
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.name);
        test::Harness run(WeekMoment(0, 9, 59, 50, 2));
        run.folder.createDatabase(
            {TimedRow(1, 0, "10:00:00", "once", 3), TimedRow(2, 0, "11:00:00", "later")});
        run.startUp();

        // Its row 1 is the same one-time row, so that a file that takes writes takes its delete.
        test::Folder aside;
        aside.createDatabase({TimedRow(1, 0, "10:00:00", "new", 3),
                              TimedRow(2, 0, "10:30:00", "new 2"),
                              TimedRow(3, 0, "12:00:00", QString(20000, 'Z'))});
        c.make(aside.file(kDatabaseFileName));
        renameOver(aside.file(kDatabaseFileName), run.folder.file(kDatabaseFileName));
        run.tick(5);
        const int reported = run.folder.errorLines().size();
        EXPECT_GT(reported, 0);
        EXPECT_EQ(titles(run.e()), (QStringList{"once", "later"}));
        EXPECT_EQ(run.view.panels.value(1), "2 Total Events");

        // The one-time event runs from the table in memory; the broken file cannot take its delete.
        run.runUntil(WeekMoment(0, 10, 0, 10));
        EXPECT_EQ(run.view.historyTitles(), QStringList{"once - Not Executed"});
        EXPECT_EQ(titles(run.e()), QStringList{"later"});
        EXPECT_EQ(run.view.panels.value(1), "1 Total Events");  // the count follows it out
        const QStringList errors = run.folder.errorLines();
        EXPECT_EQ(errors.size(), reported + (c.takesWrites ? 0 : 1))
            << errors.join('\n').toStdString();
        EXPECT_EQ(run.e().store.pending.size(), c.takesWrites ? 0u : 1u);

        // A sound file comes back: loaded, and without the event that already ran.
        test::Folder restored;
        restored.createDatabase({TimedRow(1, 0, "10:00:00", "once", 3),
                                 TimedRow(2, 0, "11:00:00", "later (restored)")});
        renameOver(restored.file(kDatabaseFileName), run.folder.file(kDatabaseFileName));
        run.tick(10);
        EXPECT_TRUE(run.e().store.pending.empty());
        if (!c.takesWrites) {
            EXPECT_EQ(run.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(),
                      0);
            EXPECT_EQ(titles(run.e()), QStringList{"later (restored)"});
        }
    }
}

// The file taken away just before an event and put back later: the event runs from memory, and
// its delete is written to the file when it returns.
TEST_F(ReplacedDatabase, ADeleteWhileTheFileIsAwayIsWrittenWhenItComesBack) {
    h.folder.createDatabase(
        {TimedRow(1, 0, "10:00:00", "once", 3), TimedRow(2, 0, "11:00:00", "later")});
    h.startUp();
    h.runUntil(WeekMoment(0, 9, 59, 59, 500));  // the next check is after the event's tick
    const QString away = h.folder.file("away.mdb");
    renameOver(dbPath(), away);
    h.tick();
    ASSERT_EQ(h.view.historyTitles(), QStringList{"once - Not Executed"});
    ASSERT_EQ(linesStartingWith(h.folder.errorLines(), "Error Deleting One Time Event"), 1);

    h.tick(10);
    EXPECT_EQ(h.e().scheduler.TotalEvents(), 0);
    renameOver(away, dbPath());
    h.tick(10);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(titles(h.e()), QStringList{"later"});
    EXPECT_EQ(h.folder.errorLines().size(), 1);
}

// ---------------------------------------------------------------------------------------------
// Logs that cannot be written.

// Messages Qt passes to standard error (the error log's last resort) during a test.
class WarningCounter {
  public:
    WarningCounter() {
        previous_ = qInstallMessageHandler(&WarningCounter::handle);
        count() = 0;
    }
    ~WarningCounter() { qInstallMessageHandler(previous_); }
    static int& count() {
        static int n = 0;
        return n;
    }

  private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString&) {
        if (type == QtWarningMsg) ++count();
    }
    QtMessageHandler previous_;
};

// An engine with timed takes at 10:00:00, :01 and :02 to a switcher on loopback.
struct TakeRig {
    TakeRig() : h(WeekMoment(0, 9, 59, 58, 2)) {
        std::vector<Row> rows;
        for (int i = 0; i < 3; ++i) {
            Row r = TimedRow(i + 1, 0, QStringLiteral("10:00:0%1").arg(i),
                             QStringLiteral("take %1").arg(i + 1));
            r["xcontrol"] = 1;
            r["SourceChan"] = i + 1;
            r["DestChan"] = 7;
            rows.push_back(r);
        }
        h.folder.createDatabase(rows);
        h.folder.sql(
            QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(peer.port()));
    }
    void startOnline() {
        h.startUp();
        ASSERT_TRUE(test::waitUntil([&] { return h.e().switcher.master().Connected; }));
        ASSERT_TRUE(peer.waitForClient());
        h.e().switcher.master().Online = true;
    }
    // Runs the three takes and checks that each reached the switcher.
    void runTakes() {
        h.runUntil(WeekMoment(0, 10, 0, 3));
        for (int i = 0; i < 3; ++i) {
            AutomationEvent ev;
            ev.xcontrol = 1;
            ev.SourceChan = static_cast<int16_t>(i + 1);
            ev.DestChan = 7;
            EXPECT_TRUE(peer.waitForBytes(CrosspointCommand(ev)->frame)) << "take " << i + 1;
        }
        EXPECT_EQ(h.view.historyTitles(), (QStringList{"take 1", "take 2", "take 3"}));
    }
    test::Harness h;
    test::Peer peer;
};

// A log that cannot be written is reported when it starts failing and when it works again, not
// for every line: a report per lost line would move the whole activity into the error log. (A
// full disk itself: LogFiles.AWriteCutShortLeavesNoTornLine.)
TEST(UnwritableLogs, AnActivityLogThatCannotBeWrittenIsReportedOnceAndTakesGoOut) {
    struct Fault {
        const char* name;
        std::function<bool(const QString& path)> make;
        QString reason;
    };
    const std::vector<Fault> faults = {
        {"a folder in its place", [](const QString& p) { return QDir().mkdir(p); },
         "Tally.dat is a folder, not a regular file"},
        {"a link to a full disk", [](const QString& p) { return QFile::link("/dev/full", p); },
         "Tally.dat is a symbolic link, not a regular file"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        TakeRig rig;
        const QString tally = rig.h.folder.file(kActivityLogName);
        ASSERT_TRUE(f.make(tally));
        WarningCounter warnings;
        rig.startOnline();
        rig.runTakes();
        rig.h.tick(20);

        QStringList errors = rig.h.folder.errorLines();
        ASSERT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
        EXPECT_TRUE(errors[0].startsWith("Error Writing to Activity Log"))
            << errors[0].toStdString();
        EXPECT_NE(errors[0].indexOf(f.reason), -1) << errors[0].toStdString();
        EXPECT_EQ(WarningCounter::count(), 0);

        // The fault cleared: the log starts afresh, and the error log says how much was lost.
        ASSERT_TRUE(QFile::remove(tally) || QDir().rmdir(tally));
        WriteActivityLog(rig.h.e().logs, "after");
        EXPECT_EQ(rig.h.folder.activityLines(), QStringList{"after"});
        errors = rig.h.folder.errorLines();
        ASSERT_EQ(errors.size(), 2);
        // Program Start and three takes.
        EXPECT_TRUE(errors[1].endsWith("Activity log written again; 4 lines were lost"))
            << errors[1].toStdString();
    }
}

// No log can be written at all (a folder not even root may write in): standard error gets one
// warning for the failing activity log, not one for every line, and the events go on.
TEST(UnwritableLogs, AFolderWhereNoLogCanBeWrittenCostsOneWarning) {
    TakeRig rig;
    rig.startOnline();
    rig.h.e().logs.folder = QStringLiteral("/proc/self/");
    ASSERT_FALSE(QFile(rig.h.e().logs.folder + kActivityLogName).open(QIODevice::WriteOnly));
    WarningCounter warnings;
    rig.runTakes();
    rig.h.tick(20);
    EXPECT_EQ(WarningCounter::count(), 1);
}

}  // namespace
}  // namespace tarvo
