#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "logs/logs.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

// The first banner line of both logs.
const QString kMakerBannerLine =
    QString(13, ' ') + "T A R V O    A U T O M A T E D     S Y S T E M S";

struct LogFiles : ::testing::Test {
    test::Folder folder;
    ManualClock clock{QDateTime(QDate(2026, 12, 7), QTime(5, 41, 55))};
    tarvo::Logs e{clock, folder.path()};
    QString tally() const { return folder.read("Tally.dat"); }
};

TEST_F(LogFiles, ActivityLineLayout) {
    EXPECT_EQ(ActivityLogLine(QDateTime(QDate(2026, 12, 7), QTime(5, 41, 55)), "Program Start"),
              "Mon, Dec 07, 2026 - 05:41:55       Program Start\r\n");
    // English names whatever the machine's language.
    EXPECT_TRUE(ActivityLogLine(QDateTime(QDate(2027, 5, 2), QTime(23, 0, 1)), "x").startsWith("Sun, May 02, 2027 - 23:00:01 "));
}

TEST_F(LogFiles, ActivityLogIsCreatedWithItsBanner) {
    WriteActivityLog(e, "Program Start");
    const QStringList lines = tally().split("\r\n");
    ASSERT_GE(lines.size(), 14);
    EXPECT_EQ(lines[0], kMakerBannerLine);
    EXPECT_EQ(lines[1], "");
    for (int i = 2; i <= 4; ++i) EXPECT_TRUE(lines[i].startsWith(QString(19, ' ') + "T") || lines[i].startsWith(QString(19, ' ') + "h"));
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "Tarvo Automation Logfile");
    EXPECT_EQ(lines[8], "Version: Version 02.00.0011 - 06/04/2015");
    EXPECT_EQ(lines[9], "");
    EXPECT_EQ(lines[10], " DATE              TIME             MESSAGE DESCRIPTION");
    EXPECT_EQ(lines[10].indexOf("TIME"), 19);
    EXPECT_EQ(lines[10].indexOf("MESSAGE"), 36);
    EXPECT_EQ(lines[11], QString(80, '-'));
    EXPECT_EQ(lines[12], "Mon, Dec 07, 2026 - 05:41:55       Program Start");
    EXPECT_TRUE(tally().endsWith("Program Start\r\n"));
}

TEST_F(LogFiles, ErrorLineLayoutAndBanner) {
    EXPECT_EQ(ErrorMessageText(53, "File not found"), "Error #  53 - File not found");
    EXPECT_EQ(ErrorMessageText(-7, "x"), "Error # -7 - x");
    const QDateTime at(QDate(2026, 12, 7), QTime(5, 41, 55));
    const QString line = ErrorLogLine(at, "Error Reading Automation DB", "Error #  53 - File not found");
    EXPECT_EQ(line, QString("12/7/2026 5:41:55 AM").leftJustified(24, ' ') + QString("Error Reading Automation DB").leftJustified(36, ' ') +
                        "Error #  53 - File not found\r\n");
    // A long location is cut so that the message always starts at column 60.
    const QString longLine = ErrorLogLine(at, QString(50, 'L'), "msg");
    EXPECT_EQ(longLine.indexOf("msg"), 60);
    EXPECT_EQ(longLine.mid(24, 36), QString(35, 'L') + ' ');

    ReportError(e, "Error Loading Form", TarvoError(53, "File not found"));
    const QStringList lines = folder.read("Errorlog.txt").split("\r\n");
    EXPECT_EQ(lines[0], kMakerBannerLine);
    EXPECT_EQ(lines[7], "Tarvo Automation Engine Error Logfile");
    EXPECT_EQ(lines[9], " DATE     TIME           LOCATION                      MESSAGE DESCRIPTION");
    EXPECT_EQ(lines[9].indexOf("TIME"), 10);
    EXPECT_EQ(lines[9].indexOf("LOCATION"), 25);
    EXPECT_EQ(lines[9].indexOf("MESSAGE"), 55);
    EXPECT_EQ(lines[10], QString(80, '-'));
    EXPECT_TRUE(lines[11].endsWith("Error #  53 - File not found"));
}

TEST_F(LogFiles, LogsWrittenEarlierKeepTheBannerTheyHave) {
    // Files from before the maker's line changed: lines are appended, the head stays as it is.
    const QByteArray oldHead = QByteArray(13, ' ') +
                               "P E L L A M    A U T O M A T E D     S Y S T E M S\r\n\r\n" +
                               QByteArray(80, '-') + "\r\n";
    for (const char* name : {"Tally.dat", "Errorlog.txt"}) {
        QFile f(folder.file(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(oldHead);
    }
    WriteActivityLog(e, "Program Start");
    WriteErrorLog(e, "x", "");
    for (const char* name : {"Tally.dat", "Errorlog.txt"})
        EXPECT_TRUE(folder.read(name).startsWith(QString::fromLatin1(oldHead))) << name;
    EXPECT_EQ(folder.activityLines(), QStringList{"Program Start"});
    EXPECT_EQ(folder.errorLines().size(), 1);
}

TEST_F(LogFiles, ErrorLogDeletedWhileRunningIsRecreated) {
    WriteErrorLog(e, "first", "");
    QFile::remove(folder.file("Errorlog.txt"));
    WriteErrorLog(e, "second", "");
    EXPECT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.read("Errorlog.txt").startsWith(kMakerBannerLine + "\r\n"));
}

TEST_F(LogFiles, ArchivesWhenTheLimitIsReached) {
    e.MaxTallyFile = 1;
    e.ArchiveTally = true;
    WriteActivityLog(e, QString(400, 'a'));  // banner + line: still under 1024 bytes
    ASSERT_LT(QFileInfo(folder.file("Tally.dat")).size(), 1024);
    EXPECT_FALSE(QFile::exists(folder.file("Tally 120726 0541.dat")));
    WriteActivityLog(e, "crosses the limit" + QString(80, '.'));  // written to the old file
    ASSERT_GE(QFileInfo(folder.file("Tally.dat")).size(), 1024);
    EXPECT_FALSE(QFile::exists(folder.file("Tally 120726 0541.dat")));
    WriteActivityLog(e, "first of the new file");
    EXPECT_TRUE(QFile::exists(folder.file("Tally 120726 0541.dat")));
    EXPECT_TRUE(folder.read("Tally 120726 0541.dat").contains("crosses the limit"));
    EXPECT_EQ(folder.activityLines(), QStringList{"first of the new file"});

    // A second rollover in the same minute replaces the same archive.
    WriteActivityLog(e, QString(1100, 'b'));
    WriteActivityLog(e, "third file");
    EXPECT_TRUE(folder.read("Tally 120726 0541.dat").contains("first of the new file"));
    EXPECT_EQ(folder.activityLines(), QStringList{"third file"});
}

TEST_F(LogFiles, WithoutArchivingTheFullLogIsDropped) {
    e.MaxTallyFile = 1;
    e.ArchiveTally = false;
    WriteActivityLog(e, QString(1100, 'a'));
    WriteActivityLog(e, "new");
    EXPECT_EQ(folder.activityLines(), QStringList{"new"});
    EXPECT_EQ(QDir(folder.path()).entryList({"Tally *.dat"}).size(), 0);
}

TEST_F(LogFiles, NoLimitAndHugeLimitsNeverCut) {
    for (int32_t limit : {0, -5, 2097152, 2147483647}) {
        e.MaxTallyFile = limit;
        e.ArchiveTally = true;
        WriteActivityLog(e, QString(1100, 'a'));
        WriteActivityLog(e, "next");
    }
    EXPECT_EQ(folder.activityLines().size(), 8);
    EXPECT_FALSE(QFile::exists(folder.file("Errorlog.txt")));  // no overflow failure
}

TEST_F(LogFiles, AnUnwritableActivityLogIsReportedAndTheEngineGoesOn) {
    QDir(folder.path()).mkdir("Tally.dat");  // a folder where the file should be
    WriteActivityLog(e, "lost");
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Error Writing to Activity Log")) << errors[0].toStdString();
}

TEST_F(LogFiles, AFailingErrorLogIsNeverReportedThroughItself) {
    QDir(folder.path()).mkdir("Errorlog.txt");
    WriteErrorLog(e, "dropped", "somewhere");  // must return, not recurse
    SUCCEED();
}

}  // namespace
}  // namespace tarvo
