#include "soak_run.h"

#include <algorithm>
#include <set>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include "e2e/sim_process.h"
#include "soak_peers.h"
#include "store/sqlite.h"

namespace tarvo::soak {

namespace {

const QString kNotExecuted = QStringLiteral(" not executed - ");
const QString kConnected = QStringLiteral("caption: Tarvo Automation - Switcher Connected");
const QString kCaptionPrefix = QStringLiteral("caption: ");

long residentKb(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (!line.startsWith("VmRSS:")) continue;
        return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

SchedSample schedSample(qint64 pid) {
    SchedSample out;
    out.at = QDateTime::currentDateTime();
    out.pid = pid;
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (f.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> n = f.readAll().simplified().split(' ');
        out.onCpuNs = n.value(0).toLongLong();
        out.waitingNs = n.value(1).toLongLong();
    }
    QFile io(QStringLiteral("/proc/pressure/io"));  // absent without the kernel's pressure figures
    if (io.open(QIODevice::ReadOnly)) {
        const QByteArray some = io.readLine();
        out.ioStallUs = some.mid(some.indexOf("total=") + 6).trimmed().toLongLong();
    }
    return out;
}

// Message parts of a log file's lines after its banner (the row of dashes).
QStringList logBody(const QString& path, int messageColumn) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList out;
    bool body = false;
    const QString dashes(80, QLatin1Char('-'));
    for (const QString& l : QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"))) {
        if (!body) {
            body = l.startsWith(dashes);
            continue;
        }
        if (!l.isEmpty()) out << l.mid(messageColumn);
    }
    return out;
}

// The activity log and its archives, oldest first.
QStringList allActivity(const QString& folder) {
    QFileInfoList archives = QDir(folder).entryInfoList({QStringLiteral("Tally *.dat")},
                                                        QDir::Files, QDir::Time | QDir::Reversed);
    QStringList out;
    for (const QFileInfo& a : archives) out << logBody(a.filePath(), 35);
    out << logBody(folder + QStringLiteral("Tally.dat"), 35);
    return out;
}

// "status: runs N, started S, ended E, most at once M, longest L ms, deepest stack K bytes"
std::optional<RunStatus> parseStatus(const QString& line) {
    static const QRegularExpression re(QStringLiteral(
        "^status: runs (\\d+), started (\\d+), ended (\\d+), most at once (\\d+), longest (\\d+) ms, "
        "deepest stack (\\d+) bytes(; last error .*)?$"));
    const auto m = re.match(line);
    if (!m.hasMatch()) return std::nullopt;
    RunStatus s;
    s.runs = m.captured(1).toInt();
    s.started = m.captured(2).toLongLong();
    s.ended = m.captured(3).toLongLong();
    s.mostAtOnce = m.captured(4).toInt();
    s.longestMs = m.captured(5).toLongLong();
    s.deepestStack = m.captured(6).toLong();
    return s;
}

// The moment of a simulator line ("hh:mm:ss.zzz ..."): the one nearest `near` (a run may pass
// midnight).
QDateTime stampOf(const QString& line, const QDateTime& near) {
    const QTime t = QTime::fromString(line.left(12), QStringLiteral("hh:mm:ss.zzz"));
    if (!t.isValid()) return {};
    QDateTime at(near.date(), t);
    if (at.msecsTo(near) > 12 * 3600 * 1000) at = at.addDays(1);
    else if (near.msecsTo(at) > 12 * 3600 * 1000) at = at.addDays(-1);
    return at;
}

void keepLogs(const QString& from, const QString& name) {
    const QString to = QStringLiteral(TARVO_BINARY_DIR "/soak/") + name + QLatin1Char('/');
    QDir(to).removeRecursively();
    QDir().mkpath(to);
    // Files only: COM3 is a link to the pty, and opening a terminal can make it the test's own
    // (a test started as a session leader would then be hung up when the pty closes).
    for (const QFileInfo& f : QDir(from).entryInfoList(QDir::Files))
        if (!f.isSymLink()) QFile::copy(f.filePath(), to + f.fileName());
}

// The editing tool, on its own connection in its own thread: now and then it renames its row,
// at times inside a lock it holds for a while (BEGIN IMMEDIATE or EXCLUSIVE), as a person
// editing in another program does.
struct OutsideWriter {
    QString path;
    int row = 0;
    uint32_t seed = 0;
    int everyMs = 13000;
    int lockMaxMs = 5000;
    std::atomic<bool> stop{false};
    // Read once the thread has ended.
    int edits = 0, holds = 0, busyRefusals = 0;
    qint64 longestHoldMs = 0;
    QString lastTitle = QStringLiteral("Editor row");

    void run() {
        std::mt19937 rng(seed ^ 0x77726974u);
        auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
        sqlite3_busy_timeout(db, 10000);
        while (pause(uniform(everyMs / 2, everyMs * 3 / 2))) {
            const QString title = QStringLiteral("Editor row %1").arg(edits + 1);
            const QByteArray rename =
                QStringLiteral("UPDATE Automation SET Title = '%1' WHERE Number = %2").arg(title).arg(row).toUtf8();
            // The first edit of a run holds the lock; later ones do now and then.
            const int how = holds == 0 ? 9 : uniform(0, 9);
            if (how < 6) {  // a plain save
                if (sqlite3_exec(db, rename.constData(), nullptr, nullptr, nullptr) == SQLITE_OK) {
                    edits += 1;
                    lastTitle = title;
                } else {
                    busyRefusals += 1;
                }
                continue;
            }
            QElapsedTimer took;
            took.start();
            if (sqlite3_exec(db, how < 8 ? "BEGIN IMMEDIATE" : "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
                busyRefusals += 1;
                continue;
            }
            const bool renamed = sqlite3_exec(db, rename.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
            pause(uniform(300, lockMaxMs) - took.elapsed());
            const bool committed = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
            if (!committed) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            holds += 1;
            longestHoldMs = std::max(longestHoldMs, took.elapsed());
            if (committed && renamed) {
                edits += 1;
                lastTitle = title;
            }
        }
        sqlite3_close(db);
    }
    // Sleeps in short steps; false once the test asks it to stop.
    bool pause(qint64 ms) {
        QElapsedTimer t;
        t.start();
        while (!stop && t.elapsed() < ms) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !stop;
    }
};

}  // namespace

SoakRecord RunSoak(const SoakOptions& o) {
    SoakRecord rec;
    test::Folder folder;

    test::SimProcess sim({QStringLiteral("--no-pings"), QStringLiteral("--chaos"),
                          QString::number(o.seed), QStringLiteral("--chaos-pace"),
                          QString::number(o.paceMs), QStringLiteral("--chaos-silence-max"),
                          QString::number(o.silenceMaxMs), QStringLiteral("--chaos-slow-read-max"),
                          QString::number(o.slowReadMaxMs), QStringLiteral("--chaos-flood"),
                          QString::number(o.floodUnits)});
    if (sim.port == 0) return rec;
    // The slave prints the engine's pings: their pace is the loop's keep-alive.
    std::optional<test::SimProcess> slave;
    if (o.slaveDropEverySec > 0) {
        slave.emplace();
        if (slave->port == 0) return rec;
    }
    SoakPeers peers(folder.path());
    if (!peers.ok()) return rec;

    // Whole seconds from here on: the table is laid out on the clock.
    const QDateTime now = QDateTime::currentDateTime();
    rec.start = now.addMSecs(1000 - now.time().msec());
    const QDateTime end = rec.start.addSecs(o.seconds);
    rec.table = BuildSoakTable(rec.start.addSecs(o.firstEventSec), end.addSecs(-o.quietTailSec),
                               o.spacingSec, end, peers.targets());
    // A second row far from the run, for the console's editor.
    const int webRow = rec.table.editorNumber + 1;
    test::Row web = test::TimedRow(webRow, (rec.start.date().dayOfWeek() + 2) % 7, QStringLiteral("12:30:00"),
                                   QStringLiteral("Web row"), 0);
    web["xcontrol"] = 1;  // a take, as any row the editor saves must do something
    web["SourceChan"] = 2;
    web["DestChan"] = 3;
    rec.table.rows.push_back(web);
    folder.createDatabase(rec.table.rows);
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    if (slave)
        folder.sql(QStringLiteral("UPDATE Server SET SlaveIPAddr = '127.0.0.1', SlaveIPPort = %1").arg(slave->port));
    const QString engined = QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined");
    const QString password = QStringLiteral("soak password %1").arg(o.seed);
    {
        QProcess add;
        add.start(engined, {QStringLiteral("--add-user"), QStringLiteral("soak"), QStringLiteral("--role"),
                            QStringLiteral("editor"), folder.path()});
        add.write((password + QLatin1Char('\n')).toUtf8());
        add.closeWriteChannel();
        if (!add.waitForFinished(30000) || add.exitCode() != 0) return rec;
    }

    OutsideWriter writer;
    writer.path = folder.file(QStringLiteral("TarvoAutomation.mdb"));
    writer.row = rec.table.editorNumber;
    writer.seed = o.seed;
    writer.everyMs = o.editEverySec * 1000;
    writer.lockMaxMs = o.lockMaxMs;
    std::thread writing([&] { writer.run(); });

    SoakConsole console(QStringLiteral("soak"), password, webRow, o.consoleEverySec, o.webEditEverySec);
    QEventLoop loop;
    bool stopping = false, killing = false;
    // The engine has said something since its start: it holds its signals by then. Before, a
    // status request would end a program still being loaded, as it ends any.
    bool spoke = false;
    std::unique_ptr<QProcess> engine;
    qint64 pid = 0;
    QByteArray pending;
    const QString consoleAt = QStringLiteral("Web console at http://127.0.0.1:");
    auto startEngine = [&] {
        rec.starts += 1;
        const int start = rec.starts;
        engine = std::make_unique<QProcess>();
        QProcess* p = engine.get();
        p->setProgram(engined);
        p->setArguments({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), folder.path()});
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        pending.clear();
        spoke = false;
        QObject::connect(p, &QProcess::readyReadStandardOutput, [&, p, start] {
            if (p == engine.get()) spoke = true;
            pending += p->readAllStandardOutput();
            qsizetype eol;
            while ((eol = pending.indexOf('\n')) >= 0) {
                const QString text = QString::fromUtf8(pending.left(eol));
                rec.engine.push_back({QDateTime::currentDateTime(), text, start});
                if (auto st = parseStatus(text)) {
                    st->second = static_cast<int>(rec.start.secsTo(QDateTime::currentDateTime()));
                    rec.status.push_back(*st);
                }
                if (text.startsWith(consoleAt))
                    console.engineStarted(start, text.mid(consoleAt.size()).section(QLatin1Char('/'), 0, 0).toUShort());
                pending.remove(0, eol + 1);
            }
        });
        QObject::connect(p, &QProcess::finished, &loop, [&, p, start](int code, QProcess::ExitStatus status) {
            // Only the engine now running can end on its own: a killed one may be reaped later.
            if (!stopping && !killing && p == engine.get()) {
                rec.diedDuringRun = true;
                rec.death = QStringLiteral("start %1 ended on its own at %2: %3 %4")
                                .arg(start)
                                .arg(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                                     status == QProcess::CrashExit ? QStringLiteral("crashed, ") + p->errorString()
                                                                   : QStringLiteral("exit code"))
                                .arg(code);
                std::fprintf(stderr, "%s\n", qPrintable(rec.death));
                loop.quit();
            }
        });
        p->start();
        if (!p->waitForStarted(10000)) {
            rec.death = QStringLiteral("start %1 failed: %2").arg(start).arg(p->errorString());
            std::fprintf(stderr, "%s\n", qPrintable(rec.death));
            return false;
        }
        pid = p->processId();
        if (!rec.down.empty()) rec.down.back().started = QDateTime::currentDateTime();
        return true;
    };
    if (!startEngine()) return rec;

    QTimer rss;
    QObject::connect(&rss, &QTimer::timeout, [&] {
        if (!killing)
            rec.rss.emplace_back(static_cast<int>(rec.start.secsTo(QDateTime::currentDateTime())), residentKb(pid));
    });
    rss.start(o.rssEverySec * 1000);
    QTimer sched;
    QObject::connect(&sched, &QTimer::timeout, [&] {
        if (!killing) rec.sched.push_back(schedSample(pid));
    });
    sched.start(200);

    // SIGKILL at a random moment of the chaos, and a start again after a random pause.
    std::mt19937 rng(o.seed ^ 0x6b696c6cu);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const QDateTime chaosEnd = rec.start.addSecs(o.chaosSeconds);
    QTimer killer;
    killer.setSingleShot(true);
    auto planKill = [&] {
        if (o.killEverySec <= 0) return;
        const int in = uniform(o.killEverySec / 2, o.killEverySec * 3 / 2) * 1000;
        if (QDateTime::currentDateTime().addMSecs(in).addSecs(o.pauseMaxSec + 10) < chaosEnd) killer.start(in);
    };
    QObject::connect(&killer, &QTimer::timeout, [&] {
        killing = true;
        console.engineGone();
        rec.down.push_back({QDateTime::currentDateTime(), {}});
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        if (!engine->waitForFinished(10000))
            std::fprintf(stderr, "the engine killed at %s had not ended 10 s later\n",
                         qPrintable(rec.down.back().killed.toString(QStringLiteral("hh:mm:ss.zzz"))));
        engine->readAllStandardOutput();
        QTimer::singleShot(uniform(0, o.pauseMaxSec * 1000), &loop, [&] {
            killing = false;
            if (!startEngine()) {
                rec.diedDuringRun = true;
                loop.quit();
                return;
            }
            planKill();
        });
    });
    planKill();

    // The engine's own account of its runs and its stack, now and then.
    QTimer status;
    QObject::connect(&status, &QTimer::timeout, [&] {
        if (!killing && spoke) ::kill(static_cast<pid_t>(pid), SIGUSR1);
    });
    status.start(o.statusEverySec * 1000);
    // The slave drops its link now and then while the master stays.
    QTimer slaveDrop;
    QObject::connect(&slaveDrop, &QTimer::timeout, [&] {
        if (!slave || !rec.chaosOff.isNull()) return;
        rec.slaveDropsAt.push_back(QDateTime::currentDateTime());
        slave->command(QStringLiteral("close"));
        rec.slaveDrops += 1;
    });
    if (slave) slaveDrop.start(o.slaveDropEverySec * 1000);

    QTimer::singleShot(
        static_cast<int>(QDateTime::currentDateTime().msecsTo(chaosEnd)), &loop, [&] {
            rec.simLinesAtChaosOff = static_cast<int>(sim.lines.size());
            rec.chaosOff = QDateTime::currentDateTime();
            sim.command(QStringLiteral("chaos off"));
            // The calm gives the engine the file to itself: what it owes is written by the end.
            writer.stop = true;
        });
    // After the chaos: the moment the engine shows the switcher connected again.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!rec.chaosOff.isValid() || rec.linkBack.isValid()) return;
        for (auto it = rec.engine.rbegin(); it != rec.engine.rend(); ++it) {
            if (!it->text.startsWith(kCaptionPrefix)) continue;
            if (it->text == kConnected) rec.linkBack = std::max(it->at, rec.chaosOff);
            break;
        }
    });
    watch.start(100);
    const QDateTime stopAt = o.stopAtSec >= 0 ? rec.start.addSecs(o.stopAtSec) : end;
    QTimer::singleShot(static_cast<int>(QDateTime::currentDateTime().msecsTo(stopAt)), &loop, &QEventLoop::quit);
    loop.exec();
    killer.stop();
    rss.stop();
    sched.stop();
    watch.stop();
    status.stop();
    slaveDrop.stop();
    writer.stop = true;
    writing.join();

    if (o.stopAtSec < 0 && !rec.diedDuringRun) {
        // After the calm every run has ended.
        const std::size_t before = rec.status.size();
        ::kill(static_cast<pid_t>(pid), SIGUSR1);
        QElapsedTimer wait;
        wait.start();
        while (rec.status.size() == before && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (rec.status.size() > before) rec.finalStatus = rec.status.back();
        else rec.finalStatus.runs = -1;
    }

    stopping = true;
    console.stop();
    rec.console = console.figures();
    if (!rec.diedDuringRun) {
        QElapsedTimer exit;
        exit.start();
        engine->terminate();  // SIGTERM: the orderly way out
        if (engine->waitForFinished(20000)) {
            rec.exitMs = exit.elapsed();
            rec.exited = engine->exitStatus() == QProcess::NormalExit;
            rec.exitCode = engine->exitCode();
        } else {
            engine->kill();
            engine->waitForFinished(5000);
        }
    } else {
        rec.exitCode = engine->exitCode();
    }
    // Nothing reaches the switcher or a peer once the engine has gone (a moment's grace for
    // what was already on its way).
    const int simLinesAtExit = static_cast<int>(sim.lines.size());
    const qint64 goneAt = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer grace;
    grace.start();
    while (grace.elapsed() < 700) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // By the switcher's own stamps: a line it printed before the exit may reach the test after it.
    const QDateTime gone = QDateTime::fromMSecsSinceEpoch(goneAt + 200);
    for (int i = std::max(0, simLinesAtExit - 200); i < sim.lines.size(); ++i)
        rec.simLinesAfterExit += sim.lines[i].contains(" RX ") && stampOf(sim.lines[i], gone) > gone ? 1 : 0;
    rec.peerAfterExit = peers.lastArrivalMs > goneAt + 200;
    rec.tcpBytes = peers.tcpBytes;
    rec.serialBytes = peers.serialBytes;
    rec.tcpConnections = peers.tcpConnections;
    rec.deafConnections = peers.deafConnections;
    rec.datagrams = peers.datagrams;
    engine->readAllStandardOutput();
    QCoreApplication::processEvents();

    rec.sim = sim.lines;
    if (slave) rec.slaveSim = slave->lines;
    rec.activity = allActivity(folder.path());
    const QStringList tally = logBody(folder.file(QStringLiteral("Tally.dat")), 35);
    rec.lastTallyLine = tally.isEmpty() ? QString() : tally.last();
    rec.errors = logBody(folder.file(QStringLiteral("Errorlog.txt")), 24);

    // The table as the run left it.
    rec.edits = writer.edits;
    rec.lockHolds = writer.holds;
    rec.busyRefusals = writer.busyRefusals;
    rec.longestHoldMs = writer.longestHoldMs;
    rec.editorWanted = writer.lastTitle;
    auto titleOf = [&](int number) {
        return folder.query(QStringLiteral("SELECT Title FROM Automation WHERE Number = %1").arg(number)).toString();
    };
    rec.editorTitle = titleOf(rec.table.editorNumber);
    rec.webTitle = titleOf(webRow);
    for (const TimedRow& t : rec.table.timed) {
        if (t.active != 3) continue;
        const QVariant left = folder.query(
            QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Title = '%1' AND Active = 3").arg(t.title));
        if (left.toInt() > 0) rec.onceLeft << t.title;
    }
    try {
        Database state(folder.file(QStringLiteral("TarvoEngineState.db")));
        Statement st(state, QStringLiteral("SELECT COUNT(*) FROM schedule_changes WHERE who = 'soak'"));
        if (st.next()) rec.consoleChanges = static_cast<int>(std::get<int64_t>(st.value(0).v));
    } catch (const std::exception&) {
        rec.consoleChanges = -1;
    }

    keepLogs(folder.path(), o.name);
    QFile engineLog(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name +
                    QStringLiteral("/engine.log"));
    if (engineLog.open(QIODevice::WriteOnly))
        for (const Line& l : rec.engine)
            engineLog.write(
                (l.at.toString(QStringLiteral("hh:mm:ss.zzz ")) + QString::number(l.start) + QLatin1Char(' ') + l.text + QLatin1Char('\n'))
                    .toUtf8());
    QFile simLog(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name + QStringLiteral("/sim.log"));
    if (simLog.open(QIODevice::WriteOnly))
        simLog.write((rec.sim.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    QFile slaveLog(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name + QStringLiteral("/slave.log"));
    if (slaveLog.open(QIODevice::WriteOnly))
        slaveLog.write((rec.slaveSim.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    return rec;
}

QMap<QString, int> HistoryCounts(const std::vector<Line>& engine) {
    QMap<QString, int> counts;
    for (const Line& l : engine) {
        if (!l.text.startsWith(QStringLiteral("history"))) continue;
        const QString title = l.text.section(QStringLiteral(" | "), 2);
        counts[BaseTitle(title)] += 1;
    }
    return counts;
}

QMap<QString, int> RefusalReasons(const QStringList& activity) {
    QMap<QString, int> reasons;
    for (const QString& l : activity) {
        const qsizetype at = l.indexOf(kNotExecuted);
        if (at >= 0) reasons[l.mid(at + kNotExecuted.size())] += 1;
    }
    return reasons;
}

QMap<QString, int> RefusedTitles(const QStringList& activity) {
    QMap<QString, int> titles;
    for (const QString& l : activity) {
        const qsizetype at = l.indexOf(kNotExecuted);
        if (at >= 0) titles[l.left(at)] += 1;
    }
    return titles;
}

QMap<QString, int> InterruptedTitles(const QStringList& activity) {
    static const QString interrupted = QStringLiteral(" interrupted - Not Repeated");
    QMap<QString, int> titles;
    for (const QString& l : activity)
        if (l.endsWith(interrupted)) titles[l.chopped(interrupted.size())] += 1;
    return titles;
}

bool CouldBeMissed(const SoakOptions& o, const SoakRecord& r, const TimedRow& row) {
    // Three minutes late is missed; 6 s either way for the engine's start and the test's clock,
    // and a start may wait for the editing tool's lock before it reads its table.
    const qint64 longestLateMs = o.lockMaxMs + 10000;
    for (const QDateTime& due : {row.due, row.due.addSecs(row.delay)})
        for (const Downtime& d : r.down) {
            if (due < d.killed.addSecs(-5) || !d.started.isValid() || due > d.started) continue;
            if (due.msecsTo(d.started) + longestLateMs >= (180 - 6) * 1000) return true;
        }
    return false;
}

std::vector<std::pair<QDateTime, qint64>> KeepAliveGaps(const SoakRecord& r, qint64 atLeastMs) {
    std::vector<QDateTime> pings;
    for (const QString& l : r.slaveSim) {
        if (!l.endsWith(QStringLiteral(" RX F5"))) continue;
        const QDateTime at = stampOf(l, pings.empty() ? r.start : pings.back());
        if (at.isValid()) pings.push_back(at);
    }
    std::vector<QDateTime> breaks = r.slaveDropsAt;
    for (const Downtime& d : r.down) breaks.push_back(d.killed);
    std::vector<std::pair<QDateTime, qint64>> gaps;
    for (std::size_t i = 1; i < pings.size(); ++i) {
        const qint64 ms = pings[i - 1].msecsTo(pings[i]);
        if (ms < atLeastMs) continue;
        const bool broken = std::any_of(breaks.begin(), breaks.end(), [&](const QDateTime& b) {
            return b >= pings[i - 1].addMSecs(-100) && b <= pings[i];
        });
        if (!broken) gaps.emplace_back(pings[i - 1], ms);
    }
    return gaps;
}

QString LoopThreadAcross(const SoakRecord& r, const QDateTime& from, const QDateTime& to) {
    // The last sample at or before `from` and the first at or after `to`, of the same start.
    const auto after = std::find_if(r.sched.begin(), r.sched.end(), [&](const SchedSample& s) { return s.at >= to; });
    if (after == r.sched.end() || after == r.sched.begin()) return QStringLiteral("no samples around it");
    auto before = std::prev(after);
    while (before != r.sched.begin() && before->at > from) --before;
    if (before->at > from || before->pid != after->pid) return QStringLiteral("no samples around it");
    const qint64 wallMs = before->at.msecsTo(after->at);
    const qint64 cpuMs = (after->onCpuNs - before->onCpuNs) / 1000000;
    const qint64 waitMs = (after->waitingNs - before->waitingNs) / 1000000;
    return QStringLiteral("the engine's loop thread over %1 ms from %2: on a core %3 ms, waiting for one %4 ms, "
                          "neither %5 ms; the disk stalled some task %6 ms")
        .arg(wallMs)
        .arg(before->at.toString(QStringLiteral("hh:mm:ss.zzz")))
        .arg(cpuMs)
        .arg(waitMs)
        .arg(wallMs - cpuMs - waitMs)
        .arg(before->ioStallUs < 0 ? QStringLiteral("?")
                                   : QString::number((after->ioStallUs - before->ioStallUs) / 1000));
}

bool KnownReason(const QString& reason) {
    static const std::set<QString> known = {
        QStringLiteral("Server not connected"), QStringLiteral("Switcher not connected"),
        QStringLiteral("Crosspoint inactive"),  QStringLiteral("Crosspoint active"),
        QStringLiteral("Relay inactive"),       QStringLiteral("Relay active"),
        QStringLiteral("Opto inactive"),        QStringLiteral("Opto active"),
        QStringLiteral("Invalid Crosspoint"),   QStringLiteral("Invalid Relay"),
        QStringLiteral("Invalid Opto"),         QStringLiteral("Invalid Source"),
        QStringLiteral("Invalid Device ID"),    QStringLiteral("Invalid Channel"),
        QStringLiteral("Unable to Send"),       QStringLiteral("Invalid File"),
        QStringLiteral("Too Many Runs"),        QStringLiteral("Missed"),
        QStringLiteral("Unable to connect to IP"), QStringLiteral("Unable to open Serial Port"),
        QStringLiteral("Unable to connect to UDP"), QStringLiteral("Switcher not reading"),
        QStringLiteral("Invalid Salvo"),        QStringLiteral("Invalid Gain"),
        QStringLiteral("Run in Progress"),
    };
    // A row's triggers refused while it ran, counted when it ends.
    static const QRegularExpression counted(QStringLiteral("^Run in Progress, \\d+ more times$"));
    return known.count(reason) == 1 || counted.match(reason).hasMatch();
}

QString Summary(const SoakOptions& o, const SoakRecord& r) {
    QString s;
    const QMap<QString, int> history = HistoryCounts(r.engine);
    int decided = 0;
    for (const TimedRow& t : r.table.timed) decided += history.value(t.title) == 1 ? 1 : 0;
    int triggered = 0;
    for (auto it = history.begin(); it != history.end(); ++it)
        if (!it.key().startsWith(QLatin1Char('T'))) triggered += it.value();
    s += QStringLiteral("run: %1 s from %2, seed %3, chaos for %4 s\n")
             .arg(o.seconds)
             .arg(r.start.toString(Qt::ISODate))
             .arg(o.seed)
             .arg(o.chaosSeconds);
    s += QStringLiteral("timed events due: %1, decided once: %2; triggered and delayed runs: %3\n")
             .arg(r.table.timed.size())
             .arg(decided)
             .arg(triggered);
    const QMap<QString, int> reasons = RefusalReasons(r.activity);
    s += QStringLiteral("refusals:");
    for (auto it = reasons.begin(); it != reasons.end(); ++it)
        s += QStringLiteral(" %1 x%2;").arg(it.key()).arg(it.value());
    s += QLatin1Char('\n');
    int closes = 0;
    for (const Line& l : r.engine)
        closes +=
            l.text == QStringLiteral("caption: Tarvo Automation - Server Not Connected") ? 1 : 0;
    QMap<QString, int> chaos;
    for (const QString& l : r.sim) {
        const qsizetype at = l.indexOf(QStringLiteral(" CHAOS "));
        if (at < 0) continue;
        const QString kind = l.mid(at + 7).section(QLatin1Char(' '), 0, 0);
        if (kind == QLatin1String("on") || kind == QLatin1String("off:") ||
            kind == QLatin1String("talk") || kind == QLatin1String("read"))
            continue;  // the ends of steps, not steps
        chaos[kind + (l.endsWith(QStringLiteral("(silent)")) ? QStringLiteral(" (silent)")
                                                             : QString())] += 1;
    }
    s +=
        QStringLiteral("link losses seen by the engine: %1; no-response closes: %2\n")
            .arg(std::max(0, closes - 1))
            .arg(r.errors.filter(QStringLiteral("Disconnecting - No Response from Server")).size());
    s += QStringLiteral("chaos steps:");
    for (auto it = chaos.begin(); it != chaos.end(); ++it)
        s += QStringLiteral(" %1 x%2;").arg(it.key()).arg(it.value());
    s += QLatin1Char('\n');
    s += QStringLiteral("writes dropped (switcher not reading): %1; database edits: %2\n")
             .arg(r.errors.filter(QStringLiteral(" not reading - ")).size())
             .arg(r.edits);
    if (!r.rss.empty()) {
        const auto top = std::max_element(r.rss.begin(), r.rss.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
        s += QStringLiteral("VmRSS kB: first %1, max %2 at second %3, last %4 (%5 samples)\n")
                 .arg(r.rss.front().second)
                 .arg(top->second)
                 .arg(top->first)
                 .arg(r.rss.back().second)
                 .arg(r.rss.size());
    }
    int mostRuns = 0;
    long deepest = 0;
    qint64 longest = 0;
    for (const RunStatus& st : r.status) {
        mostRuns = std::max(mostRuns, st.mostAtOnce);
        deepest = std::max(deepest, st.deepestStack);
        longest = std::max(longest, st.longestMs);
    }
    s += QStringLiteral("runs: started %1, ended %2 (after the calm); most at once %3, longest %4 ms, "
                        "deepest stack %5 bytes, %6 status lines; after the calm %7 in progress\n")
             .arg(r.finalStatus.started)
             .arg(r.finalStatus.ended)
             .arg(mostRuns)
             .arg(longest)
             .arg(deepest)
             .arg(r.status.size())
             .arg(r.finalStatus.runs);
    s += QStringLiteral("peers: tcp %1 connections %2 bytes, never-reading %3 connections, udp %4 datagrams, serial %5 bytes; slave drops %6\n")
             .arg(r.tcpConnections)
             .arg(r.tcpBytes)
             .arg(r.deafConnections)
             .arg(r.datagrams)
             .arg(r.serialBytes)
             .arg(r.slaveDrops);
    qint64 downMs = 0;
    for (const Downtime& d : r.down) downMs += d.started.isValid() ? d.killed.msecsTo(d.started) : 0;
    s += QStringLiteral("starts %1, kills %2, away %3 s in all; interrupted runs %4\n")
             .arg(r.starts)
             .arg(r.down.size())
             .arg(downMs / 1000.0, 0, 'f', 1)
             .arg(r.activity.filter(QStringLiteral(" interrupted - Not Repeated")).size());
    const auto gaps = KeepAliveGaps(r, 0);
    std::pair<QDateTime, qint64> longestGap{{}, 0};
    for (const auto& g : gaps)
        if (g.second > longestGap.second) longestGap = g;
    s += QStringLiteral("keep-alive to the slave: %1 gaps outside kills and drops, longest %2 ms, %3 of 2 s or more\n")
             .arg(gaps.size())
             .arg(longestGap.second)
             .arg(KeepAliveGaps(r, 2000).size());
    if (longestGap.second > 0)
        s += QStringLiteral("  the longest: %1\n")
                 .arg(LoopThreadAcross(r, longestGap.first, longestGap.first.addMSecs(longestGap.second)));
    const ConsoleFigures& c = r.console;
    s += QStringLiteral("console: %1 polls (status %2, healthy %3, unhealthy %4, metrics %5), %6 sign-ins, %7 streams, "
                        "%8 events; editor saves %9, stale %10, busy %11; history entries %12; faults %13\n")
             .arg(c.polls)
             .arg(c.answered)
             .arg(c.healthy)
             .arg(c.unhealthy)
             .arg(c.metrics)
             .arg(c.signIns)
             .arg(c.streams)
             .arg(c.streamEvents)
             .arg(c.editsSaved)
             .arg(c.editsStale)
             .arg(c.editsBusy)
             .arg(r.consoleChanges)
             .arg(c.faults.size());
    s += QStringLiteral("editing tool: %1 edits, %2 locks held (longest %3 ms), %4 refused busy; its row ends \"%5\", "
                        "the console's \"%6\"; one-time rows left %7\n")
             .arg(r.edits)
             .arg(r.lockHolds)
             .arg(r.longestHoldMs)
             .arg(r.busyRefusals)
             .arg(r.editorTitle, r.webTitle)
             .arg(r.onceLeft.size());
    s += QStringLiteral("SIGTERM to exit: %1 ms; frames to the switcher after: %2\n").arg(r.exitMs).arg(r.simLinesAfterExit);
    if (!r.death.isEmpty()) s += r.death + QLatin1Char('\n');
    s += QStringLiteral("error-log lines: %1; exit: %2 code %3; last Tally.dat line: %4\n")
             .arg(r.errors.size())
             .arg(r.exited ? QStringLiteral("normal") : QStringLiteral("abnormal"))
             .arg(r.exitCode)
             .arg(r.lastTallyLine);
    return s;
}

}  // namespace tarvo::soak
