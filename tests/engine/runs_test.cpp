// Runs that wait, interleaved with everything else the engine does: a take report arriving
// while a triggered run waits, a reload that finds a foreign file while the editing tool wants
// to save, an exit while runs wait, more runs than the engine allows, and the tick going on
// while the timed run waits.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include "engine/main_loop.h"
#include "scheduler/run_event.h"
#include "scheduler/schedule_preview.h"
#include "store/load_database.h"
#include "scheduler/triggered.h"
#include "store/sqlite.h"
#include "support/test_support.h"
#include "switcher/loop_wait.h"
#include "switcher/codec.h"
#include "switcher/framing.h"

namespace tarvo::test {
namespace {

// A peer that accepts every connection and reads what it is sent.
struct TcpPeer {
    TcpPeer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* c = server.nextPendingConnection()) {
                ++connections;
                QObject::connect(c, &QTcpSocket::readyRead, c, [this, c] { received += c->readAll(); });
            }
        });
    }
    QTcpServer server;
    int connections = 0;
    QByteArray received;
};

Row withTcpMessage(Row r, quint16 port, const QString& text = QStringLiteral("hello")) {
    r["mcontrol"] = 1;
    r["mtype"] = 1;
    r["Message"] = text;
    r["MIPAddress"] = "127.0.0.1";
    r["MIPPort"] = port;
    return r;
}

void feed(Harness& h, const QByteArray& bytes) {
    h.master().RxBuffer += bytes;
    while (ConsumeOneUnit(h.e().switcher, kMaster)) {
    }
}

QByteArray singleOutputMap(int output0, int source0) {
    return FrameBuilder(kMapType).byte(0).num14(1).num14(output0).num14(1).byte(0).num14(source0).num14(0).finish();
}

QByteArray takeReport(int source0, int output0) {
    return FrameBuilder(kTakeType).num14(4).num14(source0).num14(output0).finish();
}

TEST(EngineRuns, ATakeReportDuringATriggeredRunsWaitIsNotOverwrittenByTheOlderMap) {
    TcpPeer peer;
    Harness h(WeekMoment(0, 9, 0));
    Row watch{{"Number", 1}, {"Type", 3}, {"Day", 0}, {"Time", "24:00:00"}, {"Title", "Source 5 on 3"},
              {"Active", 1}, {"TriggerDest", 3}, {"TriggerSource", 5}, {"tControl", 1}};
    h.folder.createDatabase({withTcpMessage(watch, peer.server.serverPort())});
    h.startUp();
    h.online();

    feed(h, singleOutputMap(2, 4));  // source 5 comes to output 3: the event starts and waits
    ASSERT_EQ(h.s().runs.count(), 1);
    h.advance(300);  // connected and sent; now in its second after sending
    ASSERT_EQ(h.s().runs.count(), 1);
    feed(h, takeReport(6, 2));  // meanwhile the switcher takes source 7 to output 3
    h.settle();

    const OutputMap& out3 = h.master().Map.at(2);
    EXPECT_EQ(out3.SourceCount, 1);
    EXPECT_EQ(out3.Sources[0], 6) << "the picture went back to the older map";
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Source 5 on 3"});
    EXPECT_EQ(h.s().runs.count(), 0);
}

// The editing tool saves while the "Invalid Database File" box is on the screen.
struct SavingView : RecordingView {
    QString database;
    bool saved = false;
    QString failure;
    void showError(const QString& text, const QString& caption) override {
        RecordingView::showError(text, caption);
        try {
            Database db(database, 200);
            db.exec("UPDATE [Type] SET [Type] = 'Automation'");
            saved = true;
        } catch (const TarvoError& x) {
            failure = x.description();
        }
    }
};

TEST(EngineRuns, TheInvalidFileBoxHoldsNeitherTheFileNorTheTick) {
    Folder folder;
    ManualClock clock(WeekMoment(0, 8, 59, 50, 2));
    SavingView view;
    Engine e(clock, view, folder.path());
    view.database = e.store.DatabasePath;
    folder.createDatabase({TimedRow(1, 0, "09:00:00", "Nine o'clock")});
    MainLoop loop(e);
    StartUp(e, loop);
    loop.disable();
    folder.sql("UPDATE [Type] SET [Type] = 'Inventory'");

    auto tick = [&](int n) {
        for (int k = 0; k < n; ++k) {
            clock.advance(500);
            TimerTick(e);
        }
    };
    tick(5);  // the file check finds the foreign file and shows the box
    ASSERT_EQ(view.errors, QStringList{"File Error: Invalid Database File"});
    EXPECT_TRUE(view.saved) << "the editing tool could not save: " << view.failure.toStdString();
    tick(5);  // the corrected file is read at the next check, and the ticks went on
    EXPECT_EQ(e.scheduler.TotalEvents(), 1);
    tick(20);
    EXPECT_EQ(view.historyTitles(), QStringList{"Nine o'clock - Not Executed"});  // no switcher here
}

TEST(EngineRuns, ExitDuringAWaitEndsTheRunsWithWhatTheyDidLoggedAndNothingAfterProgramExit) {
    TcpPeer peer;
    TcpPeer switcher;
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    h.folder.createDatabase({withTcpMessage(TimedRow(1, 0, "09:00:00", "Nine o'clock"), peer.server.serverPort())});
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.server.serverPort()));
    h.startUp();
    for (int k = 0; k < 20 && !h.master().Connected; ++k) h.tick();
    ASSERT_TRUE(h.master().Connected);
    h.master().Online = true;
    h.runUntil(WeekMoment(0, 9, 0, 0, 400));  // started at 09:00:00.0, sent, now in its second after
    ASSERT_EQ(h.s().runs.count(), 1);
    ASSERT_EQ(peer.received, "hello");
    ASSERT_TRUE(switcher.received.contains(char(kPing)));

    ProgramExit(h.e(), nullptr);
    EXPECT_EQ(h.s().runs.count(), 0);
    // The message went out before the exit, so it says so: before "Program Exit", once.
    const QStringList atExit = h.folder.activityLines();
    ASSERT_GE(atExit.size(), 2);
    EXPECT_EQ(atExit.last(), "Program Exit");
    EXPECT_EQ(atExit[atExit.size() - 2], "Message Sent to 127.0.0.1 Title:Nine o'clock");
    // What was written before the exit may still be on its way.
    for (int k = 0; k < 20; ++k) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const QByteArray before = switcher.received;
    h.tick(10);  // nothing of the engine goes on
    h.advance(5000);
    EXPECT_EQ(h.folder.activityLines(), atExit);
    EXPECT_EQ(switcher.received, before) << "a keep-alive went out after the exit";
    EXPECT_FALSE(h.master().Connected && h.master().socket()->state() == QAbstractSocket::ConnectedState);
}

// Triggered runs share kMaxRuns, one run at a time per row; the clock's runs never take from that
// room nor are refused for it. 266 opto rows whose UDP messages wait their 100 ms, each triggered
// three times just before a timed take falls due.
TEST(EngineRuns, TriggeredRunsShareTheirRoomOneAtATimeARowAndTheClockKeepsItsOwn) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    Harness h(WeekMoment(0, 9, 0, 0, 950));
    const int extra = 10;
    std::vector<Row> rows;
    for (int n = 1; n <= RunSet::kMaxRuns + extra; ++n)
        rows.push_back(Row{{"Number", n}, {"Type", 1}, {"Day", 0}, {"Time", "24:00:00"},
                           {"Title", QStringLiteral("Contact %1").arg(n)}, {"Active", 1}, {"Opto", 5},
                           {"mcontrol", 1}, {"mtype", 4}, {"Message", "x"}, {"MIPAddress", "127.0.0.1"},
                           {"MIPPort", peer.localPort()}});
    Row take = TimedRow(1000, 0, "09:00:01", "On the clock");
    take["xcontrol"] = 1;
    take["SourceChan"] = 5;
    take["DestChan"] = 12;
    rows.push_back(take);
    h.folder.createDatabase(rows);
    test::Peer switcher;  // takes what is sent: only what it took is logged as sent
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.port()));
    h.startUp();
    ASSERT_TRUE(test::waitUntil([&] { return h.master().isConnected(); }));
    h.online();
    for (int k = 0; k < 3; ++k) ProcessOptoEvent(h.s(), 4, 1);
    EXPECT_EQ(h.s().runs.sharedCount(), RunSet::kMaxRuns);
    h.advance(60);  // 09:00:01.010: the take's second came while every shared run waited
    EXPECT_EQ(h.s().runs.sharedCount(), RunSet::kMaxRuns);
    EXPECT_TRUE(h.view.historyTitles().contains("On the clock")) << "the timed take waited for room";
    h.settle();
    const QStringList activity = h.folder.activityLines();
    EXPECT_EQ(activity.count("Send Take - In:0005-->Out:0012"), 1);
    int tooMany = 0, busy = 0, counted = 0, sent = 0;
    for (const QString& line : activity) {
        tooMany += line.endsWith(" not executed - Too Many Runs") ? 1 : 0;
        busy += line.endsWith(" not executed - Run in Progress") ? 1 : 0;
        counted += line.endsWith(" not executed - Run in Progress, 1 more times") ? 1 : 0;
        sent += line.startsWith("Message Sent to 127.0.0.1 Title:Contact ") ? 1 : 0;
    }
    // The first trigger: 256 run, 10 refused for room; the two more: once each for a row that
    // runs (the first line, then the count at its end), and for room again for the other 10.
    EXPECT_EQ(sent, RunSet::kMaxRuns);
    EXPECT_EQ(tooMany, extra * 3);
    EXPECT_EQ(busy, RunSet::kMaxRuns);
    EXPECT_EQ(counted, RunSet::kMaxRuns);
    // The metrics count every trigger refused, those the log sums in one line too.
    const RunnerCounts& c = h.s().counts;
    EXPECT_EQ(c.refusals.of(kTooManyRuns), static_cast<uint64_t>(extra * 3));
    EXPECT_EQ(c.refusals.of(kRunInProgress), static_cast<uint64_t>(RunSet::kMaxRuns * 2));
    EXPECT_EQ(c.refused, static_cast<uint64_t>(extra * 3 + RunSet::kMaxRuns * 2));
    EXPECT_EQ(c.run, static_cast<uint64_t>(RunSet::kMaxRuns + 1));
}

// Each occurrence is a run of its own: the follower of the same second does not wait behind First's
// message, and the tick goes on meanwhile.
TEST(EngineRuns, TheTickGoesOnWhileATimedRunWaitsAndItsFollowerRunsAtItsSecond) {
    TcpPeer peer;
    QUdpSocket udp;
    ASSERT_TRUE(udp.bind(QHostAddress::LocalHost, 0));
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    Row first = withTcpMessage(TimedRow(1, 0, "09:00:00", "First"), peer.server.serverPort());
    Row follower = TimedRow(2, 0, "09:00:00", "Follower");
    follower["Priority"] = 1;
    // A triggered event queued with a delay falls due in the middle of First's wait.
    Row delayed{{"Number", 3}, {"Type", 1}, {"Day", 0}, {"Time", "24:00:00"}, {"Title", "Delayed"}, {"Active", 1},
                {"Opto", 5}, {"Delay", 3}};
    h.folder.createDatabase({first, follower, delayed});
    h.startUp();
    h.online();
    h.tick();  // 08:59:58.5
    ProcessOptoEvent(h.s(), 4, 1);  // queued, due 09:00:01
    h.runUntil(WeekMoment(0, 9, 0, 0, 400));  // First started at 09:00:00.0 and waits until 01.1
    ASSERT_EQ(h.s().runs.count(), 1);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Follower"});
    h.tick();  // 09:00:01.1: First still waits; the tick neither starts it again nor stops
    EXPECT_EQ(h.s().runs.count(), 1);
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Follower", "Delayed"}));
    h.tick(4);
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Follower", "Delayed", "First"}));
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_EQ(peer.connections, 1);
}

// The preview is what the run does, with a same-second group whose first row waits on its
// message: every take and message at the second the preview gives, in the preview's order; a
// delayed run due in the group's second after the group, a delayed row of the group at its
// second plus the delay, and the row of the next second while the message still waits.
TEST(EngineRuns, TheRunFollowsThePreviewItemByItemWhenAGroupWaits) {
    TcpPeer peer;
    Harness h(WeekMoment(0, 8, 59, 57, 600));
    const auto take = [](Row r, int source, int output, int priority) {
        r["xcontrol"] = 1;
        r["SourceChan"] = source;
        r["DestChan"] = output;
        r["Priority"] = priority;
        return r;
    };
    Row message = withTcpMessage(TimedRow(1, 0, "09:00:00", "Message first"), peer.server.serverPort());
    message["Priority"] = 1;
    Row fiveOn = take(TimedRow(4, 0, "09:00:00", "Five on"), 39, 3, 4);
    fiveOn["Delay"] = 5;
    Row intoTheGroup = take(TimedRow(5, 0, "08:59:58", "Into the group"), 40, 4, 1);
    intoTheGroup["Delay"] = 2;
    h.folder.createDatabase({message, take(TimedRow(2, 0, "09:00:00", "Take 37"), 37, 1, 2),
                             take(TimedRow(3, 0, "09:00:00", "Take 38"), 38, 2, 3), fiveOn,
                             intoTheGroup, take(TimedRow(6, 0, "09:00:01", "Next second"), 41, 5, 1)});
    Peer switcher;
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.port()));

    const DatabaseRead read = InspectAutomationDatabase(h.folder.file(kDatabaseFileName));
    ASSERT_EQ(read.outcome, DatabaseRead::Read);
    const SchedulePreview p = PreviewSchedule(read.rows, h.clock.now().toUTC(), 1, h.clock.zone());
    QStringList expected;
    for (const TimedEntry& entry : p.timed) {
        if (entry.at > WeekMoment(0, 9, 0, 10).toUTC()) break;
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(entry.row));
        for (const QString& action : row.actions)
            expected << LocalMoment(p, entry.at).toString(QStringLiteral("HH:mm:ss ")) + action;
    }

    const QString messageWords = ActionWords(read.rows.front()).front();
    EXPECT_EQ(expected, (QStringList{"09:00:00 " + messageWords, "09:00:00 take 37 to 1",
                                     "09:00:00 take 38 to 2", "09:00:00 take 40 to 4",
                                     "09:00:01 take 41 to 5", "09:00:05 take 39 to 3"}));

    // The message's connection as it came, the takes as the switcher was sent them.
    QStringList ran;
    QObject::connect(&peer.server, &QTcpServer::newConnection,
                     [&] { ran << h.clock.now().toString(QStringLiteral("HH:mm:ss ")) + messageWords; });
    h.startUp();
    ASSERT_TRUE(test::waitUntil([&] { return h.master().isConnected(); }));
    h.online();
    h.runUntil(WeekMoment(0, 9, 0, 10));
    h.settle();
    static const QRegularExpression sent(QStringLiteral(R"((\d\d:\d\d:\d\d) +Send Take - In:(\d+)-->Out:(\d+))"));
    for (const QString& line : h.folder.read(QStringLiteral("Tally.dat")).split(QStringLiteral("\r\n"))) {
        const QRegularExpressionMatch m = sent.match(line);
        if (m.hasMatch())
            ran << QStringLiteral("%1 take %2 to %3").arg(m.captured(1)).arg(m.captured(2).toInt()).arg(m.captured(3).toInt());
    }
    EXPECT_EQ(ran, expected);
}

// A peer that takes a 4 MB message slowly, a piece at each tick, holds no take of the clock: each
// goes out at its second while the message is sent, and the peer, which keeps reading, gets all
// of it.
TEST(EngineRuns, ASlowPeerTakingAFourMegabyteMessageHoldsNoTake) {
    Peer slow;
    Harness h(WeekMoment(0, 8, 59, 59, 600));
    const QByteArray content(4000000, 'm');
    {
        QFile f(h.folder.file(QStringLiteral("big.txt")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
    Row message = withTcpMessage(TimedRow(1, 0, "09:00:00", "Big message"), slow.port(), QStringLiteral("big.txt"));
    message["mcontrol"] = 3;  // the file's bytes as they are
    std::vector<Row> rows{message};
    QStringList expected;
    for (int k = 1; k <= 10; ++k) {
        const QString at = QTime(9, 0, 3 * k).toString(QStringLiteral("HH:mm:ss"));
        Row take = TimedRow(1 + k, 0, at, QStringLiteral("Take %1").arg(k));
        take["xcontrol"] = 1;
        take["SourceChan"] = k;
        take["DestChan"] = k;
        rows.push_back(take);
        expected << at + QStringLiteral(" Send Take - In:%1-->Out:%1").arg(k, 4, 10, QLatin1Char('0'));
    }
    h.folder.createDatabase(rows);
    Peer switcher;
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.port()));
    h.startUp();
    ASSERT_TRUE(test::waitUntil([&] { return h.master().isConnected(); }));
    h.online();
    ASSERT_TRUE(switcher.waitForClient());
    h.tick();  // 09:00:00.1: the message's run began
    ASSERT_TRUE(slow.waitForClient());
    slow.readSlowly(32 * 1024);  // 64 KB a second: about a minute for the whole message
    for (int i = 0; i < 600 && (h.s().runs.count() > 0 || i < 62); ++i) {
        h.tick();
        slow.readSome();
    }
    slow.resumeReading();
    EXPECT_TRUE(test::waitUntil([&] {
        slow.readSome();
        return slow.received.size() == content.size();
    })) << slow.received.size();
    QStringList takes;
    static const QRegularExpression take(QStringLiteral(R"((\d\d:\d\d:\d\d) +(Send Take - .*))"));
    for (const QString& line : h.folder.read(QStringLiteral("Tally.dat")).split(QStringLiteral("\r\n"))) {
        const QRegularExpressionMatch m = take.match(line);
        if (m.hasMatch()) takes << m.captured(1) + QLatin1Char(' ') + m.captured(2);
    }
    EXPECT_EQ(takes, expected);
    EXPECT_EQ(h.folder.activityLines().filter(QStringLiteral("Message Sent to 127.0.0.1")).size(), 1);
    EXPECT_TRUE(h.folder.activityLines().filter(QStringLiteral("not executed")).isEmpty())
        << h.folder.errorLines().join('\n').toStdString();
}

}  // namespace
}  // namespace tarvo::test
