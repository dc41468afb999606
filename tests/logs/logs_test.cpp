#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <optional>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/resource.h>
#include <unistd.h>

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

// What follows the banner of a log: everything after its line of dashes.
QString body(const QString& log) {
    const QString dashes = QString(80, '-') + "\r\n";
    const qsizetype at = log.indexOf(dashes);
    return at < 0 ? QString() : log.mid(at + dashes.size());
}

// Files of this process may grow to `bytes` and no further while it lives: a write that crosses
// the limit is cut short, the next one fails with EFBIG ("File too large").
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = previous_;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousSignal_);
    }

  private:
    rlimit previous_{};
    void (*previousSignal_)(int) = nullptr;
};

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
}

TEST_F(LogFiles, ArchivesOfOneMinuteNeverReplaceEachOther) {
    e.MaxTallyFile = 1;
    e.ArchiveTally = true;
    clock.setNow(QDateTime(QDate(2026, 12, 9), QTime(3, 1, 5)));
    // Each line fills a log, so the next one archives it: three archives in one second, then
    // one later in the same minute.
    const QString full(1100, 'x');
    for (int i = 1; i <= 5; ++i) {
        if (i == 5) clock.setNow(QDateTime(QDate(2026, 12, 9), QTime(3, 1, 59)));
        WriteActivityLog(e, QString::number(i) + full);
    }
    QStringList files = QDir(folder.path()).entryList({"Tally*.dat"}, QDir::Files);
    files.sort();
    EXPECT_EQ(files,
              (QStringList{"Tally 120926 0301 05 2.dat", "Tally 120926 0301 05.dat",
                           "Tally 120926 0301 59.dat", "Tally 120926 0301.dat", "Tally.dat"}));
    QStringList lines;
    for (const QString& name : files)
        lines << body(folder.read(name)).split("\r\n", Qt::SkipEmptyParts);
    lines.sort();
    ASSERT_EQ(lines.size(), 5);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(lines[i - 1].mid(35), QString::number(i) + full);
    EXPECT_FALSE(QFile::exists(folder.file("Errorlog.txt")));
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

// A write cut short by a full disk is taken back whole: no torn line for the next one to be
// glued to, and the error log names the system's reason.
TEST_F(LogFiles, AWriteCutShortLeavesNoTornLine) {
    struct Fault {
        const char* name;
        bool tmpfs;  // a small file system filled up; else a file size limit
        QString reason;
    };
    const std::vector<Fault> faults = {
        {"a file size limit", false, "File too large"},
        {"a full file system", true, "No space left on device"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        test::Folder top;
        const QString dir = top.path() + "logs/";
        ASSERT_TRUE(QDir().mkpath(dir));
        struct Unmount {
            QByteArray dir;
            ~Unmount() {
                if (!dir.isEmpty()) ::umount2(dir.constData(), MNT_DETACH);
            }
        } unmount;
        if (fault.tmpfs) {
            if (geteuid() != 0 ||
                ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=64k") != 0)
                GTEST_SKIP() << "no tmpfs can be mounted here";
            unmount.dir = QFile::encodeName(dir);
        }
        Logs logs(clock, dir);
        // The error log made while there is room: its few lines go into the block it has.
        WriteErrorLog(logs, "start", "");
        WriteActivityLog(logs, "before");  // the banner, while there is room
        const qsizetype errorLinesBefore = top.read("logs/Errorlog.txt").count("\r\n");
        QString kept = ActivityLogLine(clock.now(), "before");

        std::optional<FileSizeLimit> limit;
        const QString filler = dir + "filler";
        if (fault.tmpfs) {
            QFile f(filler);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            const QByteArray block(512, 'f');
            while (f.write(block) == block.size() && f.flush()) {
            }
        } else {
            limit.emplace(4000);
        }
        // Lines go into the room the log's last block has left until one does not fit.
        for (int i = 0; i < 1000; ++i) {
            const QString message = QStringLiteral("line %1 ").arg(i) + QString(60, '.');
            WriteActivityLog(logs, message);
            if (top.read("logs/Errorlog.txt").count("\r\n") > errorLinesBefore) break;
            kept += ActivityLogLine(clock.now(), message);
        }
        limit.reset();
        QFile::remove(filler);
        WriteActivityLog(logs, "after");
        EXPECT_EQ(body(top.read("logs/Tally.dat")), kept + ActivityLogLine(clock.now(), "after"));

        QStringList errors = body(top.read("logs/Errorlog.txt")).split("\r\n", Qt::SkipEmptyParts);
        ASSERT_EQ(errors.size(), 3);
        errors.removeFirst();
        EXPECT_TRUE(errors[0].endsWith("Error #  61 - Unable to write " + dir +
                                       "Tally.dat: " + fault.reason))
            << errors[0].toStdString();
        EXPECT_TRUE(errors[1].endsWith("Activity log written again; 1 lines were lost"))
            << errors[1].toStdString();
    }
}

// A log whose banner could not be written leaves no file behind, so the log made later has it.
TEST_F(LogFiles, ALogMadeAfterAFailedFirstWriteHasItsBanner) {
    {
        FileSizeLimit limit(100);  // less than either banner
        WriteActivityLog(e, "lost");
        WriteErrorLog(e, "lost too", "");
        EXPECT_FALSE(QFile::exists(folder.file("Tally.dat")));
        EXPECT_FALSE(QFile::exists(folder.file("Errorlog.txt")));
    }
    WriteActivityLog(e, "kept");
    EXPECT_TRUE(tally().startsWith(kMakerBannerLine + "\r\n"));
    EXPECT_EQ(folder.activityLines(), QStringList{"kept"});
    EXPECT_TRUE(folder.read("Errorlog.txt").startsWith(kMakerBannerLine + "\r\n"));
    EXPECT_EQ(folder.errorLines().size(), 1);  // the activity log written again
}

TEST_F(LogFiles, AFailingErrorLogIsNeverReportedThroughItself) {
    QDir(folder.path()).mkdir("Errorlog.txt");
    WriteErrorLog(e, "dropped", "somewhere");  // must return, not recurse
    SUCCEED();
}

// Whatever takes a log's name in the program folder, nothing is written to it or through it and
// nothing waits for it: a line for each log goes nowhere, the status names the log, and a plain
// file put back in its place is written again.
TEST_F(LogFiles, ALogThatIsNotAPlainFileIsRefusedNeverFollowedNorWaitedOn) {
    struct Case {
        const char* name;
        std::function<bool(const QString& path, const QString& target)> make;
    };
    const Case cases[] = {
        {"a link to a file", [](const QString& p, const QString& t) {
             return QFile(t).open(QIODevice::WriteOnly) && QFile::link(t, p);
         }},
        {"a dangling link", [](const QString& p, const QString& t) { return QFile::link(t, p); }},
        {"a FIFO nobody reads", [](const QString& p, const QString&) {
             return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0;
         }},
        {"a folder", [](const QString& p, const QString&) { return QDir().mkdir(p); }},
        {"a device", [](const QString& p, const QString&) {
             return ::mknod(QFile::encodeName(p).constData(), S_IFCHR | 0600, makedev(1, 3)) == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Folder f;
        test::Folder elsewhere;
        Logs logs(clock, f.path());
        bool made = true;
        for (const QString& name : {kActivityLogName, kErrorLogName})
            made = made && c.make(f.file(name), elsewhere.file(name));
        if (!made) {
            ASSERT_STREQ(c.name, "a device") << "could not make it";
            continue;  // mknod needs privileges this run lacks
        }
        WriteActivityLog(logs, "Program Start");
        WriteErrorLog(logs, "a failure", "somewhere");
        EXPECT_EQ(RefusedLogs(logs), "Tally.dat, Errorlog.txt");
        for (const QString& name : {kActivityLogName, kErrorLogName})
            EXPECT_EQ(elsewhere.read(name), QString()) << name.toStdString();
        QDir(f.path()).removeRecursively();
        QDir().mkpath(f.path());
        WriteActivityLog(logs, "again");
        WriteErrorLog(logs, "again", "");
        EXPECT_EQ(RefusedLogs(logs), QString());
        EXPECT_EQ(f.activityLines().last(), "again");
        EXPECT_EQ(f.errorLines().last().trimmed(), "again");
    }
}

// The error log keeps itself small: a line that keeps coming is written once and then counted,
// the count written when its window ends, when another line comes, and at exit; the file rolls
// over at its limit, the one before kept. Control characters of any text show as escapes.
TEST_F(LogFiles, TheErrorLogCollapsesRepeatsRollsOverAndShowsControlCharacters) {
    struct Step {
        int64_t afterMs;  // the clock moved on first
        const char* message;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool close;
        QStringList lines;
    };
    const Case cases[] = {
        {"repeats end with their window", {{0, "x"}, {1000, "x"}, {1000, "x"}, {9000, "y"}}, false,
         {"x", "... repeated 2 times", "y"}},
        {"another line ends them", {{0, "x"}, {10, "x"}, {10, "y"}, {10, "x"}}, false,
         {"x", "... repeated 1 times", "y", "x"}},
        {"exit ends them", {{0, "x"}, {10, "x"}, {10, "x"}}, true, {"x", "... repeated 2 times"}},
        {"after the window the line is written again", {{0, "x"}, {10001, "x"}, {10, "x"}}, true,
         {"x", "x", "... repeated 1 times"}},
        {"control characters", {{0, "forged\r\nline \x1b[2J\tend"}}, false,
         {"forged\\r\\nline \\x1b[2J\\tend"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Folder f;
        Logs logs(clock, f.path());
        for (const Step& step : c.steps) {
            clock.advance(step.afterMs);
            WriteErrorLog(logs, QString::fromUtf8(step.message), "");
        }
        if (c.close) CloseLogs(logs);
        QStringList lines = f.errorLines();
        for (QString& l : lines) l = l.trimmed();
        EXPECT_EQ(lines, c.lines);
    }
    // A title's line break or escape in the activity log, and a location's.
    WriteActivityLog(e, "Title\nMon, Dec 07, 2026 - 05:41:55       Forged\x1b]0;x\x07");
    EXPECT_EQ(folder.activityLines(),
              QStringList{"Title\\nMon, Dec 07, 2026 - 05:41:55       Forged\\x1b]0;x\\x07"});
    EXPECT_EQ(ErrorLogLine(clock.now(), "a\nb", "c").mid(24, 4), "a\\nb");

    // Rolled over at the limit: the full log becomes the previous one, replacing the one before.
    e.MaxErrorLogBytes = 2000;
    for (int i = 0; i < 60; ++i) WriteErrorLog(e, QStringLiteral("line %1").arg(i), "");
    EXPECT_LT(QFileInfo(folder.file("Errorlog.txt")).size(), 2000 + 100);
    EXPECT_LT(QFileInfo(folder.file("Errorlog.1.txt")).size(), 2000 + 100);
    EXPECT_EQ(folder.errorLines().last().trimmed(), "line 59");
    const QStringList previous = body(folder.read("Errorlog.1.txt")).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_FALSE(previous.isEmpty());
    EXPECT_FALSE(previous.first().endsWith("line 0"));  // that one went with the first rollover
    EXPECT_TRUE(folder.read("Errorlog.txt").startsWith(kMakerBannerLine));
}

}  // namespace
}  // namespace tarvo
