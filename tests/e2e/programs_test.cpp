// The programs as an operator and a service manager meet them: their command lines, the empty
// program folder of --init, and the real tarvo-engined reporting to a notify socket.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include <tuple>

#include <sys/stat.h>

#include <csignal>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include "store/sqlite.h"
#include "support/notify_socket.h"
#include "support/source_docs.h"
#include "support/test_support.h"
#include "uploads/file_bytes.h"

namespace tarvo::test {
namespace {

const QString kBin = QStringLiteral(TARVO_BINARY_DIR "/bin/");

struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
};

Ran runProgram(const QString& program, const QStringList& args) {
    QProcess p;
    // No display: --help and --version of the desktop program must not need one.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(kBin + program, args);
    Ran r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

TEST(Programs, AnswerHelpAndVersionAndRefuseWhatTheyDoNotKnow) {
    const QString version =
        QStringLiteral("Tarvo Automation Engine\nVersion 02.00.0011 - 06/04/2015\n");
    for (const char* name : {"tarvo-engined", "tarvo-engine", "tarvo-switcher-sim"}) {
        const QString program = QString::fromLatin1(name);
        SCOPED_TRACE(name);
        if (!QFileInfo::exists(kBin + program)) continue;  // a build without the desktop program

        const Ran help = runProgram(program, {QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: ") + program))
            << help.out.toStdString();
        EXPECT_TRUE(help.out.contains(QStringLiteral("--version"))) << help.out.toStdString();

        const Ran shown = runProgram(program, {QStringLiteral("--version")});
        EXPECT_EQ(shown.exitCode, 0);
        EXPECT_EQ(shown.out, version);

        const Ran unknown = runProgram(program, {QStringLiteral("--frobnicate")});
        EXPECT_EQ(unknown.exitCode, 2);
        EXPECT_TRUE(unknown.out.isEmpty());
        EXPECT_TRUE(unknown.err.contains(QStringLiteral("unknown option '--frobnicate'")))
            << unknown.err.toStdString();

        const Ran extra = runProgram(program, {QStringLiteral("one"), QStringLiteral("two")});
        EXPECT_EQ(extra.exitCode, 2);
        EXPECT_TRUE(extra.err.contains(QStringLiteral("unexpected argument")))
            << extra.err.toStdString();
    }
}

TEST(Programs, InitMakesAnEmptyDatabaseOnceAndNeverOverwritesOne) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("var/lib/tarvo/studio1"));
    const QString database = folder + QStringLiteral("/TarvoAutomation.mdb");

    const Ran made =
        runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--init"), folder});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    ASSERT_TRUE(QFileInfo::exists(database));
    EXPECT_FALSE(QFileInfo::exists(database + QStringLiteral(".new")));
    {
        Database db(database);
        Statement version(db, QStringLiteral("SELECT Version FROM Info"));
        ASSERT_TRUE(version.next());
        EXPECT_EQ(TextIfConvertible(version.value(0)).value_or(QString()), QStringLiteral("18"));
    }

    // Someone's events are in it now: a second --init must leave them.
    {
        Database db(database);
        db.exec(QStringLiteral("INSERT INTO Automation (Number, Title) VALUES (1, 'Kept')"));
    }
    const Ran again =
        runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--init"), folder});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.err.contains(QStringLiteral("left as it is"))) << again.err.toStdString();
    Database db(database);
    Statement kept(db, QStringLiteral("SELECT Title FROM Automation"));
    ASSERT_TRUE(kept.next());
    EXPECT_EQ(TextIfConvertible(kept.value(0)).value_or(QString()), QStringLiteral("Kept"));
}

// What is in a folder, byte for byte.
QMap<QString, QByteArray> folderContents(const QString& path) {
    QMap<QString, QByteArray> out;
    for (const QFileInfo& info :
         QDir(path).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(info.filePath());
        out[info.fileName()] =
            info.isFile() && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<folder>");
    }
    return out;
}

TEST(Programs, CheckAndPreviewReadTheDatabaseAndLeaveTheFolderAsItWas) {
    const QString engined = QStringLiteral("tarvo-engined");
    Folder clean;
    clean.createDatabase();
    clean.sql(SourceText(QStringLiteral("docs/examples/worked-rows.sql")));
    clean.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1'"));
    // Worked row 8's serial port, whether or not this machine has one.
    QFile::link(QStringLiteral("/dev/null"), clean.file(QStringLiteral("COM3")));
    FileBytes names;  // the input names that worked row 9 loads
    names.words({200, 4, 0, 3}).text("Mic2", 4).text("mic1", 4).text("Tape", 4);
    names.fill(3).byte(0).byte(0).byte(1).fill(3 * 256);
    WriteFile(clean.file(QStringLiteral("inputs.alp")), names.data);
    Folder faulty;
    faulty.createDatabase();
    faulty.sql(SourceText(QStringLiteral("tests/schedules/problems.sql")));
    faulty.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1'"));
    Folder empty;
    const auto before = std::make_tuple(folderContents(clean.path()), folderContents(faulty.path()),
                                        folderContents(empty.path()));

    const Ran fine = runProgram(engined, {QStringLiteral("--check"), clean.path()});
    EXPECT_EQ(fine.exitCode, 0) << fine.err.toStdString();
    EXPECT_EQ(fine.out, QStringLiteral("No problems in 14 rows\n"));
    const Ran problems = runProgram(engined, {QStringLiteral("--check"), faulty.path()});
    EXPECT_EQ(problems.exitCode, 1) << problems.err.toStdString();
    const QStringList lines = problems.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 42) << problems.out.toStdString();
    EXPECT_EQ(
        lines.first(),
        QStringLiteral(
            "Number 0: No Number: never runs - Number 0 is outside 1 to 32767 (a stored Number "
            "that is not a whole number of that range reads as 0)"));
    EXPECT_EQ(lines.last(), QStringLiteral("40 problems in 43 rows"));
    const Ran none = runProgram(engined, {QStringLiteral("--check"), empty.path()});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.contains(QStringLiteral("there is no database")))
        << none.err.toStdString();

    const Ran week = runProgram(engined, {QStringLiteral("--preview"), clean.path()});
    EXPECT_EQ(week.exitCode, 0) << week.err.toStdString();
    EXPECT_TRUE(week.out.startsWith(QStringLiteral("Timed events from ")))
        << week.out.toStdString();
    EXPECT_TRUE(
        week.out.contains(QStringLiteral(" Monday    09:00:00  News to TX1: take 5 to 12\n")))
        << week.out.toStdString();
    EXPECT_TRUE(week.out.contains(
        QStringLiteral("\nopto 5 on\n  Monday    Mic live: studio to TX4: take 9 to 1\n")))
        << week.out.toStdString();
    const Ran json = runProgram(engined, {QStringLiteral("--preview"), QStringLiteral("14"),
                                          QStringLiteral("--json"), clean.path()});
    EXPECT_EQ(json.exitCode, 0) << json.err.toStdString();
    QJsonParseError parsed;
    const QJsonDocument doc = QJsonDocument::fromJson(json.out.toUtf8(), &parsed);
    EXPECT_EQ(parsed.error, QJsonParseError::NoError);
    // Two Mondays: ten timed rows, the one-time row once.
    EXPECT_EQ(doc.object()[QStringLiteral("timed")].toArray().size(), 19);

    for (const QStringList& wrong :
         {QStringList{"--check", "--preview"}, QStringList{"--json"}, QStringList{"--preview=0"},
          QStringList{"--init", "--check"}}) {
        const Ran refused = runProgram(engined, wrong + QStringList{clean.path()});
        EXPECT_EQ(refused.exitCode, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(refused.out.isEmpty());
    }
    EXPECT_EQ(before, std::make_tuple(folderContents(clean.path()), folderContents(faulty.path()),
                                      folderContents(empty.path())));
}

TEST(ServiceManager, TheRealEngineReportsReadyKeepsAliveAndSaysWhenItStops) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("studio1"));
    ASSERT_EQ(
        runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--init"), folder}).exitCode,
        0);

    NotifySocket manager(false);
    QProcess engine;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
    env.insert(QStringLiteral("WATCHDOG_USEC"),
               QStringLiteral("2000000"));  // a keep-alive every 500 ms
    engine.setProcessEnvironment(env);
    engine.start(kBin + QStringLiteral("tarvo-engined"), {folder});

    ASSERT_TRUE(manager.receiveUntil(QStringLiteral("READY=1"), 15000))
        << manager.received.join('|').toStdString();
    // A machine whose clock is not synchronised has that error line in the status too.
    EXPECT_TRUE(manager.received.last().contains(QRegularExpression(
        QStringLiteral("^READY=1\nSTATUS=Switcher not connected(; last error [^;]+)?; no events$"))))
        << manager.received.last().toStdString();
    ASSERT_TRUE(manager.receiveUntil(QStringLiteral("WATCHDOG=1"), 5000));
    ASSERT_TRUE(manager.receiveUntil(QStringLiteral("WATCHDOG=1"), 5000));

    engine.terminate();
    EXPECT_TRUE(manager.receiveUntil(QStringLiteral("STOPPING=1"), 10000));
    ASSERT_TRUE(engine.waitForFinished(10000));
    EXPECT_EQ(engine.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(engine.exitCode(), 0);
    QFile tally(folder + QStringLiteral("/Tally.dat"));
    ASSERT_TRUE(tally.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        QString::fromUtf8(tally.readAll()).trimmed().endsWith(QStringLiteral("Program Exit")));
}

// The real engine on a folder, reporting to a notify socket of the test.
struct Started {
    NotifySocket manager{false};
    QProcess engine;
    explicit Started(const QString& folder) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), manager.path());
        engine.setProcessEnvironment(env);
        engine.start(kBin + QStringLiteral("tarvo-engined"), {folder});
    }
    bool ready() { return manager.receiveUntil(QStringLiteral("READY=1"), 15000); }
    // SIGTERM ends it in order, whatever was found in the folder.
    bool endsInOrder() {
        engine.terminate();
        return engine.waitForFinished(10000) && engine.exitStatus() == QProcess::NormalExit &&
               engine.exitCode() == 0;
    }
    QString err() { return QString::fromUtf8(engine.readAllStandardError()); }
};

// A stop or status signal that comes while the engine starts (after it has taken its folder's
// lock, before its handlers are in place) waits for its handler: a burst of them, one a
// millisecond, from the moment the lock file appears. Before, the first one ended the engine on
// the spot: a status request killed it, and a stop left no "Program Exit".
TEST(ServiceManager, ASignalWhileTheEngineStartsWaitsForItsHandler) {
    for (const int sig : {SIGUSR1, SIGTERM}) {
        SCOPED_TRACE(sig == SIGUSR1 ? "SIGUSR1" : "SIGTERM");
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("studio1"));
        ASSERT_EQ(runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--init"), folder}).exitCode, 0);
        const QString lock = folder + QStringLiteral("/TarvoEngine.lock");
        QFile::remove(lock);
        Started s(folder);
        ASSERT_TRUE(s.engine.waitForStarted(10000));
        const auto pid = static_cast<pid_t>(s.engine.processId());
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(lock) && t.elapsed() < 10000) QThread::usleep(200);
        ASSERT_TRUE(QFileInfo::exists(lock)) << "the engine never took its folder";
        // Until it is ready (a status request) or gone (a stop).
        int sent = 0;
        for (t.restart(); t.elapsed() < 10000 && s.engine.state() == QProcess::Running; ++sent) {
            ::kill(pid, sig);
            if (sig == SIGUSR1 && s.manager.receiveUntil(QStringLiteral("READY=1"), 1)) break;
            s.engine.waitForFinished(1);
        }
        if (sig == SIGUSR1) {
            ASSERT_EQ(s.engine.state(), QProcess::Running) << "a status request ended the engine after " << sent;
            // Each held or later request answered on the loop: at least one status line.
            QByteArray out;
            for (t.restart(); !out.contains("status: runs ") && t.elapsed() < 5000; s.engine.waitForReadyRead(100))
                out += s.engine.readAllStandardOutput();
            EXPECT_TRUE(out.contains("status: runs "));
            EXPECT_TRUE(s.endsInOrder());
        } else {
            ASSERT_TRUE(s.engine.state() == QProcess::NotRunning || s.engine.waitForFinished(10000));
            EXPECT_EQ(s.engine.exitStatus(), QProcess::NormalExit) << "killed by the stop signal after " << sent;
            EXPECT_EQ(s.engine.exitCode(), 0);
        }
        QFile tally(folder + QStringLiteral("/Tally.dat"));
        ASSERT_TRUE(tally.open(QIODevice::ReadOnly));
        EXPECT_TRUE(QString::fromUtf8(tally.readAll()).trimmed().endsWith(QStringLiteral("Program Exit")));
    }
}

QString initFolder(QTemporaryDir& dir) {
    const QString folder = dir.filePath(QStringLiteral("studio1"));
    EXPECT_EQ(runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--init"), folder}).exitCode, 0);
    return folder;
}

// A link or a FIFO in a log's place: the engine neither follows the link nor waits for the FIFO;
// it starts, says once on standard error and in its status which log it refuses, and ends on
// SIGTERM. Nothing reaches the link's target.
TEST(HostileFolder, ALogThatIsALinkOrAFifoIsRefusedAndTheEngineRunsOn) {
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "FIFO" : "links");
        QTemporaryDir dir;
        const QString folder = initFolder(dir);
        const QString target = dir.filePath(QStringLiteral("run-me.sh"));
        WriteFile(target, "#!/bin/sh\n");
        for (const char* name : {"/Tally.dat", "/Errorlog.txt"}) {
            const QString path = folder + QLatin1String(name);
            if (fifo)
                ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            else
                ASSERT_TRUE(QFile::link(name[1] == 'T' ? target : dir.filePath("made"), path));
        }
        Started s(folder);
        ASSERT_TRUE(s.ready()) << s.err().toStdString();
        EXPECT_TRUE(s.manager.received.last().contains(
            QStringLiteral("; log refused: Tally.dat, Errorlog.txt")))
            << s.manager.received.last().toStdString();
        EXPECT_TRUE(s.endsInOrder());
        const QString err = s.err();
        EXPECT_EQ(err.count(QStringLiteral("Tally.dat is a")), 1) << err.toStdString();
        EXPECT_EQ(err.count(QStringLiteral("Errorlog.txt is a")), 1) << err.toStdString();
        QFile t(target);
        ASSERT_TRUE(t.open(QIODevice::ReadOnly));
        EXPECT_EQ(t.readAll(), QByteArray("#!/bin/sh\n"));
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("made")));
    }
}

// A second engine on a folder an engine runs on says so and leaves with 2; the check, which only
// reads, still runs beside it.
TEST(HostileFolder, OneEnginePerFolder) {
    QTemporaryDir dir;
    const QString folder = initFolder(dir);
    Started first(folder);
    ASSERT_TRUE(first.ready()) << first.err().toStdString();
    const Ran second = runProgram(QStringLiteral("tarvo-engined"), {folder});
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_TRUE(second.err.contains(QStringLiteral("another engine is running on")))
        << second.err.toStdString();
    // 1: the new folder's switcher address is not set yet.
    EXPECT_EQ(runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--check"), folder}).exitCode, 1);
    EXPECT_TRUE(first.endsInOrder());
    // Once it has ended, the folder is free again.
    Started third(folder);
    EXPECT_TRUE(third.ready()) << third.err().toStdString();
    EXPECT_TRUE(third.endsInOrder());
}

// An Automation view on an endless recursive query: start-up and the check both end, with the
// read failure.
TEST(HostileFolder, AViewOnAnEndlessQueryIsAFailedRead) {
    QTemporaryDir dir;
    const QString folder = initFolder(dir);
    {
        Database db(folder + QStringLiteral("/TarvoAutomation.mdb"));
        db.exec(QStringLiteral(
            "DROP TABLE Automation; CREATE VIEW Automation AS WITH RECURSIVE r(n) AS (SELECT 1 "
            "UNION ALL SELECT n + 1 FROM r) SELECT n AS Number FROM r ORDER BY n DESC"));
    }
    const Ran check = runProgram(QStringLiteral("tarvo-engined"), {QStringLiteral("--check"), folder});
    EXPECT_EQ(check.exitCode, 2);
    EXPECT_TRUE(check.err.contains(QStringLiteral("cannot read"))) << check.err.toStdString();
    Started s(folder);
    ASSERT_TRUE(s.ready()) << s.err().toStdString();
    EXPECT_TRUE(s.endsInOrder());
    QFile log(folder + QStringLiteral("/Errorlog.txt"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("Error Reading Automation DB"));
}

// The walk-through of docs/operating.md as written: its --init, sqlite3 and --check blocks run in
// their order on a fresh folder through a shell, the programs of this build first in PATH; each
// --check prints what the document shows after it.
TEST(Programs, TheOperatingGuideRunsAsWritten) {
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        GTEST_SKIP() << "no sqlite3 on this machine (scripts/install-deps installs it)";
    const std::vector<DocBlock> blocks = FencedBlocks(SourceText(QStringLiteral("docs/operating.md")));
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("F"), home.filePath(QStringLiteral("tarvo-trial/studio1")));
    env.insert(QStringLiteral("PATH"), kBin + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    int written = 0, checked = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const DocBlock& b = blocks[i];
        const bool check = b.text.startsWith(QLatin1String("tarvo-engined --check "));
        if (b.language != QLatin1String("sh") ||
            !(check || b.text.startsWith(QLatin1String("tarvo-engined --init ")) ||
              b.text.startsWith(QLatin1String("sqlite3 -bail "))))
            continue;
        SCOPED_TRACE(b.text.toStdString());
        QProcess shell;
        shell.setProcessEnvironment(env);
        shell.start(QStringLiteral("bash"), {QStringLiteral("-euo"), QStringLiteral("pipefail"),
                                             QStringLiteral("-c"), b.text});
        ASSERT_TRUE(shell.waitForFinished(20000));
        const QString out = QString::fromUtf8(shell.readAllStandardOutput());
        const QString err = QString::fromUtf8(shell.readAllStandardError());
        if (!check) {
            EXPECT_EQ(shell.exitCode(), 0) << err.toStdString();
            written += b.text.startsWith(QLatin1String("sqlite3")) ? 1 : 0;
            continue;
        }
        ASSERT_LT(i + 1, blocks.size());
        ASSERT_EQ(blocks[i + 1].language, QStringLiteral("text")) << "a --check shows what it prints";
        EXPECT_EQ(out, blocks[i + 1].text) << err.toStdString();
        EXPECT_EQ(shell.exitCode(), out.startsWith(QLatin1String("No problems")) ? 0 : 1);
        ++checked;
    }
    // The day, the trial, the changes; the empty folder and each of them checked.
    EXPECT_EQ(written, 3);
    EXPECT_EQ(checked, 4);
}

}  // namespace
}  // namespace tarvo::test
