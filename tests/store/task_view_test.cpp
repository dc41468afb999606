#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "store/load_database.h"
#include "store/sqlite.h"
#include "store/task_view.h"
#include "support/test_support.h"
#include "uploads/file_bytes.h"

namespace tarvo::test {
namespace {

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One column of every Automation row of a database file, in stored order, as text
// ("<null>" for Null).
QStringList columnOf(const QString& dbPath, const QString& column) {
    Database db(dbPath);
    Statement st(db, QStringLiteral("SELECT [%1] FROM Automation ORDER BY rowid").arg(column));
    QStringList out;
    while (st.next()) {
        const FieldValue v = st.value(0);
        out << (v.isNull() ? QStringLiteral("<null>") : ToText(v));
    }
    return out;
}

QVariant scalar(const QString& dbPath, const QString& sql) {
    Database db(dbPath);
    Statement st(db, sql);
    if (!st.next()) return {};
    const FieldValue v = st.value(0);
    return v.isNull() ? QVariant() : QVariant(ToText(v));
}

struct TaskView : ::testing::Test {
    TaskView() : h(WeekMoment(0, 9, 0)) {
        Row a = TimedRow(7, 0, "10:00:00", "Morning News");
        a["Days"] = "Mon";
        a["Priority"] = 3;
        a["FileChannel1"] = 16383;
        Row b = TimedRow(2, 1, "11:00:00", "Midday");
        b["Days"] = "Tue";
        b["Option"] = 2;
        Row c = TimedRow(5, 2, "12:00:00", "Noon");
        c["Title"] = QVariant();  // a Null stays Null in the copy
        h.folder.createDatabase({a, b, c});
        h.e().settings.TaskViewDB = viewer.path();
    }
    QString source() const { return h.folder.file(kDatabaseFileName); }
    void copyNow() {
        CopyTaskViewDatabase(h.e().logs, TaskViewPaths{h.e().AppFolder, source(), h.e().settings.TaskViewDB});
    }
    QString copy() const { return TaskViewCopyPath(viewer.path()); }
    QStringList viewerFiles() const {
        return QDir(viewer.path()).entryList(QDir::Files | QDir::Hidden);
    }

    Harness h;
    QTemporaryDir viewer;
};

TEST_F(TaskView, FirstRefreshCopiesTheFileByteForByte) {
    copyNow();
    EXPECT_EQ(bytesOf(copy()), bytesOf(source()));
    EXPECT_EQ(viewerFiles(), QStringList{kDatabaseFileName});
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(TaskView, LaterRefreshReplacesTheRowsInStoredOrder) {
    copyNow();
    // The viewer's copy has rows of its own by now; the engine's rows change.
    InsertRows(copy(),
               {TimedRow(90, 0, "01:00:00", "Stale"), TimedRow(91, 0, "02:00:00", "Stale")});
    h.folder.sql("DELETE FROM Automation WHERE Number = 2");
    Row d = TimedRow(1, 3, "13:00:00", "Afternoon");
    d["ReqSource2"] = 4;
    d["Template"] = 9;
    InsertRows(source(), {d});

    copyNow();
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
    // Stored order, not Number order.
    EXPECT_EQ(columnOf(copy(), "Number"), (QStringList{"7", "5", "1"}));
    EXPECT_EQ(columnOf(copy(), "Title"), (QStringList{"Morning News", "<null>", "Afternoon"}));
    EXPECT_EQ(columnOf(copy(), "Days"), (QStringList{"Mon", "<null>", "<null>"}));
    EXPECT_EQ(columnOf(copy(), "Time"), columnOf(source(), "Time"));
    EXPECT_EQ(scalar(copy(), "SELECT typeof(Title) FROM Automation WHERE Number = 5").toString(),
              "null");
    // The columns the viewer does not get stay empty.
    const QStringList empty(3, "<null>");
    for (const char* column : {"Priority", "FileChannel1", "Option", "ReqSource2", "Template"})
        EXPECT_EQ(columnOf(copy(), column), empty) << column;
    // Compacted, and nothing left beside it.
    EXPECT_EQ(scalar(copy(), "PRAGMA freelist_count").toInt(), 0);
    EXPECT_EQ(viewerFiles(), QStringList{kDatabaseFileName});
}

TEST_F(TaskView, AnOlderCopyIsUpgradedBeforeItIsRefreshed) {
    copyNow();
    {
        Database db(copy());
        db.exec("ALTER TABLE Automation DROP COLUMN FileChannel1");
        db.exec("UPDATE Info SET Version = '17'");
    }
    copyNow();
    EXPECT_EQ(scalar(copy(), "SELECT Version FROM Info").toString(), "18");
    EXPECT_EQ(columnOf(copy(), "FileChannel1"), QStringList(3, "<null>"));
    EXPECT_EQ(columnOf(copy(), "Number"), (QStringList{"7", "2", "5"}));
}

TEST_F(TaskView, NoFolderMeansNoCopy) {
    for (const QString& folder :
         {QString(), QStringLiteral(" "), viewer.path() + QStringLiteral("/missing")}) {
        h.e().settings.TaskViewDB = folder;
        copyNow();
        EXPECT_TRUE(viewerFiles().isEmpty()) << folder.toStdString();
    }
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

// Neither this engine's folder, however it is spelled, nor another engine's (known by its lock
// file, or by its record of an engine that ran before there was one) is copied into: their
// live rows would be replaced by this one's. Each refusal is one line.
TEST_F(TaskView, NoEnginesProgramFolderIsEverCopiedInto) {
    const QByteArray before = bytesOf(source());
    QTemporaryDir links;
    const QString link = links.path() + QStringLiteral("/program");
    ASSERT_TRUE(QFile::link(QDir(h.folder.path()).absolutePath(), link));
    const QString programFolder = QDir(h.folder.path()).absolutePath();
    Folder other, older;
    other.createDatabase({TimedRow(1, 0, "08:00:00", "Other engine's row")});
    WriteFile(other.file(kEngineLockFileName), QByteArray());
    older.createDatabase({TimedRow(1, 0, "08:00:00", "Other engine's row")});
    WriteFile(older.file(QStringLiteral("TarvoEngineState.db")), QByteArray());
    const QByteArray othersBefore = bytesOf(other.file(kDatabaseFileName));
    const QStringList folders = {h.e().AppFolder, programFolder,
                                 programFolder + "/../" + QDir(programFolder).dirName(), link,
                                 other.path(), older.path()};
    for (const QString& folder : folders) {
        h.e().settings.TaskViewDB = folder;
        copyNow();
        EXPECT_EQ(bytesOf(source()), before) << folder.toStdString();
    }
    EXPECT_EQ(columnOf(source(), "Number"), (QStringList{"7", "2", "5"}));
    EXPECT_EQ(bytesOf(other.file(kDatabaseFileName)), othersBefore);
    EXPECT_EQ(columnOf(older.file(kDatabaseFileName), "Title"), QStringList{"Other engine's row"});
    const QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), folders.size());
    for (int i = 0; i < folders.size(); ++i)
        EXPECT_EQ(errors[i].mid(36), "TaskViewDB " + folders[i] +
                                         " is the program folder of an engine; no copy is made there");
}

TEST_F(TaskView, AFailedRefreshLeavesTheCopyAsItWas) {
    copyNow();
    {
        // A copy the rows cannot be written into.
        Database db(copy());
        db.exec("ALTER TABLE Automation DROP COLUMN Days");
    }
    InsertRows(copy(), {TimedRow(90, 0, "01:00:00", "Viewer Row")});
    const QByteArray before = bytesOf(copy());
    copyNow();
    const QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Error Copying Database")) << errors[0].toStdString();
    EXPECT_EQ(bytesOf(copy()), before);
    EXPECT_EQ(viewerFiles(), QStringList{kDatabaseFileName});
}

TEST_F(TaskView, LeftoversOfACutShortRunDoNotStopTheRefresh) {
    for (const QString& name : {kTempCopyName, kTempCompactName}) {
        QFile junk(viewer.path() + "/" + name);
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("half a database");
    }
    copyNow();
    EXPECT_EQ(bytesOf(copy()), bytesOf(source()));
    for (const QString& name : {kTempCopyName, kTempCompactName}) {
        QFile junk(viewer.path() + "/" + name);
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("half a database");
    }
    copyNow();
    EXPECT_EQ(columnOf(copy(), "Number"), (QStringList{"7", "2", "5"}));
    EXPECT_EQ(viewerFiles(), QStringList{kDatabaseFileName});
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(TaskView, AViewerReadingTheCopyIsNeitherBlockedNorShownHalfARefresh) {
    copyNow();
    h.folder.sql("DELETE FROM Automation WHERE Number = 7");

    // The viewer sits in a read transaction on the copy while the engine refreshes it.
    Database reader(copy());
    reader.exec("BEGIN");
    Statement first(reader, "SELECT COUNT(*) FROM Automation");
    ASSERT_TRUE(first.next());
    EXPECT_EQ(ToInteger(first.value(0), 0, 100), 3);

    copyNow();
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join('\n').toStdString();
    // The viewer's snapshot is whole; a fresh look sees the refreshed copy.
    first.reset();
    ASSERT_TRUE(first.next());
    EXPECT_EQ(ToInteger(first.value(0), 0, 100), 3);
    EXPECT_EQ(columnOf(copy(), "Number"), (QStringList{"2", "5"}));
}

}  // namespace
}  // namespace tarvo::test
