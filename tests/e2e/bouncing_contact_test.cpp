// A chattering contact on the real programs: the switcher simulator reports opto 5 going on and
// off twenty times a second for ten seconds, and an "on" runs an event whose action is a TCP
// message to a peer in this test, which holds each run for a second after sending. The row runs
// once at a time (a trigger while it runs is refused, the first in a line, the rest counted), so
// the contact cannot fill the run set: two timed takes due meanwhile go out within a second of
// their second. The engine's stack must not grow, and SIGTERM right after must end the engine
// within a second with "Program Exit" as the last line of its activity log.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <QRegularExpression>

#include "e2e/engine_process.h"
#include "e2e/sim_process.h"
#include "support/test_support.h"

namespace tarvo::test {
namespace {

TEST(BouncingContact, ARowRunsOnceAtATimeTheClockGoesOnAndExitEndsItAtOnce) {
    // Two takes on the clock, 4 and 7 s into the bouncing: not too near midnight.
    const QDateTime start = QDateTime::currentDateTime();
    if (start.time() > QTime(23, 58)) GTEST_SKIP() << "too near midnight";
    SimProcess sim;
    ASSERT_NE(sim.port, 0);

    // The peer: accepts every message and notes when its bytes arrived.
    QTcpServer peer;
    ASSERT_TRUE(peer.listen(QHostAddress::LocalHost, 0));
    std::vector<qint64> arrivals;  // ms on `clock`
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&peer, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* c = peer.nextPendingConnection()) {
            QObject::connect(c, &QTcpSocket::readyRead, c, [&, c] {
                if (c->property("seen").toBool()) return;
                c->setProperty("seen", true);
                c->readAll();
                arrivals.push_back(clock.elapsed());
            });
            QObject::connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        }
    });

    Folder folder;
    Row bounce{{"Number", 1},    {"Type", 1},          {"Opto", 5},       {"Title", "Contact"},
               {"Active", 1},    {"Time", "24:00:00"}, {"Delay", 0},      {"Day", QDate::currentDate().dayOfWeek() - 1},
               {"mcontrol", 1},  {"mtype", 1},         {"Message", "ON"}, {"MIPAddress", "127.0.0.1"},
               {"MIPPort", peer.serverPort()}};
    std::vector<Row> rows{bounce};
    std::vector<QDateTime> takesAt;
    for (int k = 0; k < 2; ++k) {
        takesAt.push_back(QDateTime(start.date(), QTime(start.time().hour(), start.time().minute(), start.time().second()).addSecs(6 + 3 * k)));
        Row take = TimedRow(10 + k, start.date().dayOfWeek() - 1, takesAt.back().toString("hh:mm:ss"),
                            QStringLiteral("Take %1").arg(k));
        take["xcontrol"] = 1;
        take["SourceChan"] = 5 + k;
        take["DestChan"] = 12;
        rows.push_back(take);
    }
    folder.createDatabase(rows);
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    EngineProcess engine(folder.path());
    ASSERT_TRUE(waitUntil([&] { return engine.has("caption: Tarvo Automation - Switcher Connected"); }));
    ASSERT_TRUE(sim.waitForLine(QStringLiteral("RX F2")));  // the map was asked for
    const long stackAtRest = statusNumber(engine.status(), "deepest stack ");

    // Twenty changes a second for ten seconds: a hundred "on"s.
    std::vector<qint64> triggers;
    QTimer bouncer;
    bouncer.setTimerType(Qt::PreciseTimer);
    int changes = 0;
    QObject::connect(&bouncer, &QTimer::timeout, [&] {
        const bool on = changes % 2 == 0;
        sim.command(on ? QStringLiteral("opto 5 on") : QStringLiteral("opto 5 off"));
        if (on) triggers.push_back(clock.elapsed());
        if (++changes == 200) bouncer.stop();
    });
    bouncer.start(50);
    ASSERT_TRUE(waitUntil([&] { return changes == 200; }, 30000));
    // Each arrival answers the trigger just before it, within 1.5 s; the runs never overlap.
    ASSERT_TRUE(waitUntil([&] { return !arrivals.empty() && clock.elapsed() - arrivals.back() > 1500; }, 10000));
    ASSERT_GE(arrivals.size(), 5u);
    ASSERT_LE(arrivals.size(), 12u) << "the row ran side by side with itself";
    std::vector<qint64> lag;
    for (std::size_t k = 0; k < arrivals.size(); ++k) {
        const auto after = std::upper_bound(triggers.begin(), triggers.end(), arrivals[k]);
        ASSERT_NE(after, triggers.begin());
        lag.push_back(arrivals[k] - *(after - 1));
        EXPECT_LE(lag.back(), 1500) << "message " << k << " came late";
        if (k > 0) {
            EXPECT_GE(arrivals[k] - arrivals[k - 1], 900) << "message " << k << " overlapped";
        }
    }
    // Both takes on time, whatever the contact did.
    for (int k = 0; k < 2; ++k) {
        const QString frame = QStringLiteral("RX FE 04 08 0%1 00 0B").arg(4 + k);
        ASSERT_TRUE(sim.waitForLine(frame)) << "take " << k << " never went out";
        for (const QString& line : sim.lines) {
            if (!line.contains(frame)) continue;
            const QTime at = QTime::fromString(line.section(' ', 0, 0), "hh:mm:ss.zzz");
            EXPECT_LT(takesAt[static_cast<std::size_t>(k)].time().msecsTo(at), 1000) << line.toStdString();
            EXPECT_GE(takesAt[static_cast<std::size_t>(k)].time().msecsTo(at), 0) << line.toStdString();
        }
    }
    const QString status = engine.status();
    std::sort(lag.begin(), lag.end());
    std::printf("bouncing contact: %zu messages, trigger to arrival median %lld ms, max %lld ms; %s\n",
                lag.size(), static_cast<long long>(lag[lag.size() / 2]), static_cast<long long>(lag.back()),
                qPrintable(status));
    // Nothing nests, so the stack stays where it was with no run at all.
    EXPECT_LT(statusNumber(status, "deepest stack "), stackAtRest + 16 * 1024) << status.toStdString();

    const QString sent = QStringLiteral("Message Sent to 127.0.0.1 Title:Contact");
    ASSERT_TRUE(waitUntil([&] { return folder.activityLines().count(sent) == qsizetype(arrivals.size()); }, 5000));
    const QStringList bounced = folder.activityLines();
    const qsizetype refusedFirst = bounced.count(QStringLiteral("Contact not executed - Run in Progress"));
    EXPECT_GE(refusedFirst, 1);
    EXPECT_LE(refusedFirst, qsizetype(arrivals.size()));
    EXPECT_FALSE(bounced.join('\n').contains("Too Many Runs"));

    // One more run, held in its second after sending: exit ends it at once.
    const int sentBefore = static_cast<int>(arrivals.size());
    sim.command(QStringLiteral("opto 5 on"));
    sim.command(QStringLiteral("opto 5 off"));
    ASSERT_TRUE(waitUntil([&] { return static_cast<int>(arrivals.size()) > sentBefore; }, 5000));
    QElapsedTimer exitTime;
    exitTime.start();
    engine.proc.terminate();
    ASSERT_TRUE(engine.proc.waitForFinished(5000));
    EXPECT_LT(exitTime.elapsed(), 1000);
    EXPECT_EQ(engine.proc.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(engine.proc.exitCode(), 0);
    const QStringList activity = folder.activityLines();
    ASSERT_FALSE(activity.isEmpty());
    EXPECT_EQ(activity.last(), "Program Exit");
    // The run cut short in its second after sending logs its message before "Program Exit".
    EXPECT_EQ(activity.count(sent), static_cast<qsizetype>(arrivals.size()));
    EXPECT_EQ(activity[activity.size() - 2], sent);
}

}  // namespace
}  // namespace tarvo::test
