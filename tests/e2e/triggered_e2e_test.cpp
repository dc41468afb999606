// Triggered, delayed and message events end to end: the simulator reports a change, the engine
// runs the event, and the event's frame arrives back at the simulator.
#include <QUdpSocket>

#include "e2e_fixture.h"

namespace tarvo {
namespace {

Row triggered(int number, int type, const QString& title) {
    Row r = test::TimedRow(number, 0, QStringLiteral("24:00:00"), title);
    r["Type"] = type;
    return r;
}

TEST_F(EndToEnd, OptoOnRunsItsEventAndTheTakeArrives) {
    Row r = triggered(1, 1, QStringLiteral("Opto five takes"));
    r["Opto"] = 5;
    r["xcontrol"] = 1;
    r["SourceChan"] = 5;
    r["DestChan"] = 12;
    SimProcess sim;
    startEngine({r}, sim.port);
    ASSERT_TRUE(masterReady());
    sim.command(QStringLiteral("opto 5 on"));
    EXPECT_TRUE(sim.waitForLine(kTakeFrame));
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Opto five takes")});
    EXPECT_TRUE(h.folder.activityLines().contains(QStringLiteral("Send Take - In:0005-->Out:0012")));
    // Off runs nothing for an "on" event.
    sim.command(QStringLiteral("opto 5 off"));
    EXPECT_TRUE(waitUntil([&] { return e().switcher.OptoState.at(4) == 0; }));
    EXPECT_EQ(sim.count(QStringLiteral("RX FE 04 08")), 1);
}

TEST_F(EndToEnd, ATakeOnTheSwitcherRunsACrosspointTriggeredEvent) {
    Row r = triggered(1, 3, QStringLiteral("Source 3 on TX"));
    r["TriggerDest"] = 12;
    r["TriggerSource"] = 3;
    r["tControl"] = 1;
    r["scontrol"] = 1;
    r["Salvo"] = 1;
    SimProcess sim;
    startEngine({r}, sim.port);
    ASSERT_TRUE(masterReady());
    sim.command(QStringLiteral("take 3 12"));
    EXPECT_TRUE(sim.waitForLine(QStringLiteral("RX EA 64 00 00 64 FF")));
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Source 3 on TX")});
    EXPECT_TRUE(h.folder.activityLines().contains(QStringLiteral("Send Execute Salvo Number 1")));
}

TEST_F(EndToEnd, ADelayedEventsFrameArrivesItsDelayLater) {
    Row r = triggered(1, 4, QStringLiteral("Relay nine, later"));
    r["Opto"] = 9;  // relay 9 on
    r["Delay"] = 5;
    r["ocontrol"] = 1;
    r["OptoOut"] = 3;
    SimProcess sim;
    startEngine({r}, sim.port);
    ASSERT_TRUE(masterReady());
    liveTicks(1);
    sim.command(QStringLiteral("relay 9 on"));
    ASSERT_TRUE(waitUntil([&] { return static_cast<int>(e().scheduler.DelayedEvents.size()) == 1; }));
    const QDateTime queuedAt = h.clock.now();
    EXPECT_TRUE(h.view.history.empty());
    const QString optoOn = QStringLiteral("RX FE 64 00 02 00 00 00 66 FF");
    while (sim.count(optoOn) == 0 && h.clock.now() < queuedAt.addSecs(8)) {
        liveTicks(1);
        waitUntil([&] { return sim.count(optoOn) > 0; }, 20);
    }
    ASSERT_EQ(sim.count(optoOn), 1);
    const qint64 after = queuedAt.msecsTo(h.clock.now());
    // Due five seconds after the second it was queued in; run at the first tick of that second.
    EXPECT_GE(after, 4000);
    EXPECT_LE(after, 6000);
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Relay nine, later")});
    EXPECT_EQ(static_cast<int>(e().scheduler.DelayedEvents.size()), 0);
}

TEST_F(EndToEnd, ATimedEventWithAUdpMessageAndASourceSelect) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    Row r = takeAtNine();
    r["xcontrol"] = 0;
    r["sscontrol"] = 1;
    r["ssDeviceID"] = 3;
    r["ssSource"] = 10;
    r["mcontrol"] = 1;
    r["mtype"] = 4;
    r["Message"] = QStringLiteral("ON AIR^M");
    r["MIPAddress"] = QStringLiteral("127.0.0.1");
    r["MIPPort"] = peer.localPort();
    SimProcess sim;
    startEngine({r}, sim.port);
    ASSERT_TRUE(masterReady());
    ticksUntil(test::WeekMoment(0, 9, 0, 1));
    EXPECT_TRUE(sim.waitForLine(QStringLiteral("RX D3 01 01 00 05 03 00 09 00 00 13 FF")));
    ASSERT_TRUE(waitUntil([&] { return peer.hasPendingDatagrams(); }));
    QByteArray datagram(static_cast<int>(peer.pendingDatagramSize()), '\0');
    peer.readDatagram(datagram.data(), datagram.size());
    EXPECT_EQ(datagram, QByteArray("ON AIR\r"));
    const QStringList log = h.folder.activityLines();
    EXPECT_TRUE(log.contains(QStringLiteral("Sent Source Select: Device ID - 3, Source - 10")));
    EXPECT_TRUE(log.contains(QStringLiteral("Message Sent to 127.0.0.1 Title:Morning take")));
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Morning take")});
}

}  // namespace
}  // namespace tarvo
