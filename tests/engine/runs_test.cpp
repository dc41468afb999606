// Runs that wait, interleaved with everything else the engine does: a take report arriving
// while a triggered run waits, a reload that finds a foreign file while the editing tool wants
// to save, an exit while runs wait, more runs than the engine allows, and the tick going on
// while the timed run waits.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include "engine/main_loop.h"
#include "scheduler/triggered.h"
#include "store/sqlite.h"
#include "support/test_support.h"
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

TEST(EngineRuns, OneRunTooManyIsRefusedWithItsTitle) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    Harness h(WeekMoment(0, 9, 0));
    Row contact{{"Number", 1}, {"Type", 1}, {"Day", 0}, {"Time", "24:00:00"}, {"Title", "Contact"}, {"Active", 1},
                {"Opto", 5}, {"mcontrol", 1}, {"mtype", 4}, {"Message", "x"}, {"MIPAddress", "127.0.0.1"},
                {"MIPPort", peer.localPort()}};
    h.folder.createDatabase({contact});
    h.startUp();
    h.online();
    const int extra = 10;
    for (int k = 0; k < RunSet::kMaxRuns + extra; ++k) ProcessOptoEvent(h.s(), 4, 1);  // each UDP message waits
    EXPECT_EQ(h.s().runs.count(), RunSet::kMaxRuns);
    h.settle();
    const QStringList activity = h.folder.activityLines();
    EXPECT_EQ(activity.count("Contact not executed - Too Many Runs"), extra);
    EXPECT_EQ(activity.count("Message Sent to 127.0.0.1 Title:Contact"), RunSet::kMaxRuns);
    int red = 0;
    for (const auto& line : h.view.history) red += line.red && line.line.title == "Contact - Not Executed" ? 1 : 0;
    EXPECT_EQ(red, extra);
}

TEST(EngineRuns, TheTickGoesOnWhileTheTimedRunWaitsAndItsFollowerRunsAfterIt) {
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
    ASSERT_EQ(h.s().runs.count(), 1);
    EXPECT_TRUE(h.view.history.empty());
    h.tick();  // 09:00:01.1: First still waits; the tick neither starts it again nor stops
    EXPECT_EQ(h.s().runs.count(), 1);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Delayed"});
    h.tick(4);
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"Delayed", "First", "Follower"}));
    EXPECT_EQ(h.s().runs.count(), 0);
    EXPECT_EQ(peer.connections, 1);
}

}  // namespace
}  // namespace tarvo::test
