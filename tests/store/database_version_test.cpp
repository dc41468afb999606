#include <gtest/gtest.h>

#include <QFile>

#include "store/database_version.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

// A file as the first editing tool wrote it: the base columns only, no Info table.
void createVersion1(const QString& path, int rows) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.close();
    Database db(path);
    db.exec("CREATE TABLE Type (Type TEXT); INSERT INTO Type VALUES ('Automation');"
            "CREATE TABLE Server (IPPort INTEGER, IPAddr TEXT); INSERT INTO Server VALUES (1250, '10.0.0.1');"
            "CREATE TABLE Automation (Number INTEGER, Day INTEGER, Days TEXT, Time TEXT, Title TEXT,"
            " SourceChan INTEGER, DestChan INTEGER, ReqSource INTEGER, ReqDest INTEGER, Active INTEGER,"
            " Relay INTEGER, Opto INTEGER, Salvo INTEGER, VChan INTEGER, Gain INTEGER, xcontrol INTEGER,"
            " rcontrol INTEGER, scontrol INTEGER, vcontrol INTEGER, Type INTEGER, Condition INTEGER,"
            " FileName TEXT, FileType INTEGER)");
    for (int i = 0; i < rows; ++i)
        db.exec(QStringLiteral("INSERT INTO Automation (Number, Day, Time, Title) VALUES (%1, 0, "
                               "'08:00:00', 'Row')")
                    .arg(i + 1));
}

struct Upgrade : ::testing::Test {
    test::Folder folder;
    ManualClock clock{test::WeekMoment(0, 8, 0)};
    test::RecordingView view;
    Engine e{clock, view, folder.path()};
    QString path() const { return folder.file(kDatabaseFileName); }
    QString version() const { return folder.query("SELECT Version FROM Info").toString(); }
};

TEST_F(Upgrade, AFileWithoutInfoIsBroughtToTheCurrentSchema) {
    createVersion1(path(), 2);
    CheckDatabaseVersion(e.logs, e.store.DatabasePath);
    EXPECT_EQ(version(), "18");
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Info").toInt(), 1);
    EXPECT_EQ(folder.query("SELECT StartMin FROM Info").toInt(), 0);
    EXPECT_EQ(folder.query("SELECT MaxTallyFile FROM Info").toInt(), 1000);
    EXPECT_EQ(folder.query("SELECT ArchiveTally FROM Info").toInt(), -1);
    EXPECT_TRUE(folder.query("SELECT Future1 FROM Info").isNull());
    // Every row got every default.
    EXPECT_EQ(folder.query("SELECT Message FROM Automation").toString(), "None");
    EXPECT_EQ(folder.query("SELECT MIPAddress FROM Automation").toString(), "0.0.0.0");
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE Color = 16777215").toInt(), 2);
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE FileChannel1 = 16383").toInt(), 2);
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE Delay = 0 AND Priority = 0 AND ssControl = 0").toInt(), 2);
    // The new file has every column the current schema has.
    Database db(path());
    test::Folder reference;
    reference.createDatabase();
    Database ref(reference.file(kDatabaseFileName));
    for (const QString& table : {QStringLiteral("Automation"), QStringLiteral("Server"), QStringLiteral("Info")})
        for (const QString& col : ref.columns(table))
            EXPECT_TRUE(db.hasColumn(table, col)) << table.toStdString() << "." << col.toStdString();
    EXPECT_TRUE(folder.errorLines().isEmpty());
    // And the engine reads it.
    LoadDatabase(e);
    EXPECT_EQ(e.scheduler.TotalEvents(), 2);
    EXPECT_EQ(e.settings.IPAddr, "10.0.0.1");
}

TEST_F(Upgrade, FromSeventeenOnlyTheChannelColumnIsAdded) {
    folder.createDatabase({test::TimedRow(1, 0, "08:00:00", "A"), test::TimedRow(2, 0, "09:00:00", "B")});
    folder.sql("ALTER TABLE Automation DROP COLUMN FileChannel1");
    folder.sql("UPDATE Info SET Version = '17'");
    const QStringList before = Database(path()).columns("Automation");
    CheckDatabaseVersion(e.logs, e.store.DatabasePath);
    const QStringList after = Database(path()).columns("Automation");
    EXPECT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.last(), "FileChannel1");
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE FileChannel1 = 16383").toInt(), 2);
    EXPECT_EQ(version(), "18");
}

TEST_F(Upgrade, CurrentOrNewerFilesAndUnknownVersionsAreLeftAlone) {
    for (const char* v : {"18", "25", "0"}) {
        folder.createDatabase({test::TimedRow(1, 0, "08:00:00", "A")});
        folder.sql(QStringLiteral("UPDATE Info SET Version = '%1'").arg(QLatin1String(v)));
        const QStringList before = Database(path()).columns("Automation");
        CheckDatabaseVersion(e.logs, e.store.DatabasePath);
        EXPECT_EQ(Database(path()).columns("Automation"), before) << v;
        EXPECT_EQ(version(), QLatin1String(v));
    }
    EXPECT_TRUE(folder.errorLines().isEmpty());
}

TEST_F(Upgrade, VersionTwoPassesThroughTheEmptyStep) {
    createVersion1(path(), 1);
    {
        Database db(path());
        db.exec("CREATE TABLE Info (Version TEXT, Future1 TEXT, Future2 TEXT, Future3 TEXT, Future4 TEXT, Future5 TEXT);"
                "INSERT INTO Info (Version) VALUES ('2');"
                "ALTER TABLE Automation ADD COLUMN TriggerSource INTEGER; ALTER TABLE Automation ADD COLUMN TriggerDest INTEGER;"
                "ALTER TABLE Automation ADD COLUMN TControl INTEGER; ALTER TABLE Automation ADD COLUMN Message TEXT;"
                "ALTER TABLE Automation ADD COLUMN MControl INTEGER; ALTER TABLE Automation ADD COLUMN MType INTEGER;"
                "ALTER TABLE Automation ADD COLUMN Method TEXT; ALTER TABLE Automation ADD COLUMN Future1 TEXT;"
                "ALTER TABLE Automation ADD COLUMN Future2 TEXT; ALTER TABLE Automation ADD COLUMN Future3 TEXT;"
                "ALTER TABLE Automation ADD COLUMN Future4 TEXT; ALTER TABLE Automation ADD COLUMN Future5 TEXT;");
    }
    CheckDatabaseVersion(e.logs, e.store.DatabasePath);
    EXPECT_EQ(version(), "18");
    // The step from 1 did not run again: Message stayed Null.
    EXPECT_TRUE(folder.query("SELECT Message FROM Automation").isNull());
    EXPECT_TRUE(folder.errorLines().isEmpty());
}

TEST_F(Upgrade, AnEmptyAutomationTableStillGetsTheColumns) {
    createVersion1(path(), 0);
    CheckDatabaseVersion(e.logs, e.store.DatabasePath);
    EXPECT_TRUE(Database(path()).hasColumn("Automation", "FileChannel1"));
    EXPECT_EQ(version(), "18");
}

TEST_F(Upgrade, AFailedStepLeavesTheFileAsBeforeTheStepAndIsReported) {
    createVersion1(path(), 1);
    {
        Database db(path());
        // A column of the step from 3 already exists: that step cannot complete.
        db.exec("ALTER TABLE Automation ADD COLUMN MPort INTEGER");
    }
    CheckDatabaseVersion(e.logs, e.store.DatabasePath);
    EXPECT_EQ(version(), "3");
    EXPECT_FALSE(Database(path()).hasColumn("Automation", "MIPAddress"));  // nothing half-added
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Error Checking DB Version"));
}

TEST_F(Upgrade, AFileThatCannotBeOpenedIsReported) {
    CheckDatabaseVersion(e.logs, folder.file("absent.mdb"));
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Invalid Automation DB"));
}

}  // namespace
}  // namespace tarvo
