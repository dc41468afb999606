#include "soak_run.h"

#include <algorithm>
#include <set>

#include <csignal>
#include <optional>

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

void keepLogs(const QString& from, const QString& name) {
    const QString to = QStringLiteral(TARVO_BINARY_DIR "/soak/") + name + QLatin1Char('/');
    QDir(to).removeRecursively();
    QDir().mkpath(to);
    for (const QFileInfo& f : QDir(from).entryInfoList(QDir::Files))
        QFile::copy(f.filePath(), to + f.fileName());
}

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
    folder.createDatabase(rec.table.rows);
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    if (slave)
        folder.sql(QStringLiteral("UPDATE Server SET SlaveIPAddr = '127.0.0.1', SlaveIPPort = %1").arg(slave->port));

    QProcess engine;
    engine.setProgram(QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined"));
    engine.setArguments({folder.path()});
    engine.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QByteArray pending;
    QObject::connect(&engine, &QProcess::readyReadStandardOutput, [&] {
        pending += engine.readAllStandardOutput();
        qsizetype eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QString text = QString::fromUtf8(pending.left(eol));
            rec.engine.push_back({QDateTime::currentDateTime(), text});
            if (auto st = parseStatus(text)) {
                st->second = static_cast<int>(rec.start.secsTo(QDateTime::currentDateTime()));
                rec.status.push_back(*st);
            }
            pending.remove(0, eol + 1);
        }
    });
    engine.start();
    if (!engine.waitForStarted(10000)) return rec;
    const qint64 pid = engine.processId();

    QEventLoop loop;
    bool stopping = false;
    QObject::connect(&engine, &QProcess::finished, &loop, [&] {
        if (!stopping) {
            rec.diedDuringRun = true;
            loop.quit();
        }
    });

    QTimer rss;
    QObject::connect(&rss, &QTimer::timeout, [&] {
        rec.rss.emplace_back(static_cast<int>(rec.start.secsTo(QDateTime::currentDateTime())),
                             residentKb(pid));
    });
    rss.start(o.rssEverySec * 1000);

    // The editing tool saves a change now and then; the engine reloads the table each time.
    QTimer editor;
    QObject::connect(&editor, &QTimer::timeout, [&] {
        try {
            Database db(folder.file(QStringLiteral("TarvoAutomation.mdb")));
            db.exec(
                QStringLiteral("UPDATE Automation SET Title = 'Editor row %1' WHERE Number = %2")
                    .arg(rec.edits + 1)
                    .arg(rec.table.editorNumber));
            rec.edits += 1;
        } catch (const std::exception&) {
            // Busy with the engine's own write: the next edit comes soon enough.
        }
    });
    editor.start(o.editEverySec * 1000);

    // The engine's own account of its runs and its stack, now and then.
    QTimer status;
    QObject::connect(&status, &QTimer::timeout, [&] { ::kill(static_cast<pid_t>(pid), SIGUSR1); });
    status.start(o.statusEverySec * 1000);
    // The slave drops its link now and then while the master stays.
    QTimer slaveDrop;
    QObject::connect(&slaveDrop, &QTimer::timeout, [&] {
        if (!slave || !rec.chaosOff.isNull()) return;
        slave->command(QStringLiteral("close"));
        rec.slaveDrops += 1;
    });
    if (slave) slaveDrop.start(o.slaveDropEverySec * 1000);

    QTimer::singleShot(
        static_cast<int>(QDateTime::currentDateTime().msecsTo(rec.start.addSecs(o.chaosSeconds))),
        &loop, [&] {
            rec.simLinesAtChaosOff = static_cast<int>(sim.lines.size());
            rec.chaosOff = QDateTime::currentDateTime();
            sim.command(QStringLiteral("chaos off"));
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
    rss.stop();
    editor.stop();
    watch.stop();
    status.stop();
    slaveDrop.stop();

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
    if (!rec.diedDuringRun) {
        QElapsedTimer exit;
        exit.start();
        engine.terminate();  // SIGTERM: the orderly way out
        if (engine.waitForFinished(20000)) {
            rec.exitMs = exit.elapsed();
            rec.exited = engine.exitStatus() == QProcess::NormalExit;
            rec.exitCode = engine.exitCode();
        } else {
            engine.kill();
            engine.waitForFinished(5000);
        }
    } else {
        rec.exitCode = engine.exitCode();
    }
    // Nothing reaches the switcher or a peer once the engine has gone (a moment's grace for
    // what was already on its way).
    const int simLinesAtExit = static_cast<int>(sim.lines.size());
    const qint64 goneAt = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer grace;
    grace.start();
    while (grace.elapsed() < 700) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    for (int i = simLinesAtExit; i < sim.lines.size(); ++i) rec.simLinesAfterExit += sim.lines[i].contains(" RX ") ? 1 : 0;
    rec.peerAfterExit = peers.lastArrivalMs > goneAt + 200;
    rec.tcpBytes = peers.tcpBytes;
    rec.serialBytes = peers.serialBytes;
    rec.tcpConnections = peers.tcpConnections;
    rec.deafConnections = peers.deafConnections;
    rec.datagrams = peers.datagrams;
    engine.readAllStandardOutput();
    QCoreApplication::processEvents();

    rec.sim = sim.lines;
    rec.activity = allActivity(folder.path());
    const QStringList tally = logBody(folder.file(QStringLiteral("Tally.dat")), 35);
    rec.lastTallyLine = tally.isEmpty() ? QString() : tally.last();
    rec.errors = logBody(folder.file(QStringLiteral("Errorlog.txt")), 24);
    keepLogs(folder.path(), o.name);
    QFile engineLog(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name +
                    QStringLiteral("/engine.log"));
    if (engineLog.open(QIODevice::WriteOnly))
        for (const Line& l : rec.engine)
            engineLog.write(
                (l.at.toString(QStringLiteral("hh:mm:ss.zzz ")) + l.text + QLatin1Char('\n'))
                    .toUtf8());
    QFile simLog(QStringLiteral(TARVO_BINARY_DIR "/soak/") + o.name + QStringLiteral("/sim.log"));
    if (simLog.open(QIODevice::WriteOnly))
        simLog.write((rec.sim.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
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
    s += QStringLiteral("SIGTERM to exit: %1 ms; frames to the switcher after: %2\n").arg(r.exitMs).arg(r.simLinesAfterExit);
    s += QStringLiteral("error-log lines: %1; exit: %2 code %3; last Tally.dat line: %4\n")
             .arg(r.errors.size())
             .arg(r.exited ? QStringLiteral("normal") : QStringLiteral("abnormal"))
             .arg(r.exitCode)
             .arg(r.lastTallyLine);
    return s;
}

}  // namespace tarvo::soak
