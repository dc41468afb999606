// The engine against the switcher simulator, over loopback sockets: start-up, timed commands,
// triggered events, lost links and the keep-alive; each against a switcher that greets a new
// connection and one that never speaks first.
#include <gtest/gtest.h>

#include <algorithm>

#include <QCoreApplication>

#include "engine/main_loop.h"
#include "e2e_fixture.h"
#include "sim_process.h"
#include "support/test_support.h"
#include "switcher/framing.h"

namespace tarvo {
namespace {

using test::Row;
using test::SimProcess;
using test::waitUntil;

class SwitcherLink : public LinkEndToEnd {};
INSTANTIATE_TEST_SUITE_P(Greetings, SwitcherLink, kBothGreetings, GreetingName);

TEST_P(SwitcherLink, StartUpConnectsAndStoresTheMap) {
    SimProcess sim(simArgs({QStringLiteral("--outputs"), QStringLiteral("16")}));
    ASSERT_NE(sim.port, 0);
    startEngine({}, sim.port);
    ASSERT_TRUE(masterReady());
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::Connected);
    EXPECT_TRUE(sim.waitForLine(kInfoRequest));
    ASSERT_EQ(e().switcher.master().Map.size(), 16u);
    EXPECT_EQ(e().switcher.master().Map[15].SourceCount, 1);
    EXPECT_EQ(e().switcher.master().Map[15].Sources[0], 15);
    EXPECT_FALSE(e().switcher.slave().Connected);
}

TEST_P(SwitcherLink, TimedTakeReachesMasterAndSlaveAndComesBackAsATakeReport) {
    SimProcess master(simArgs());
    SimProcess slave(simArgs());
    startEngine({takeAtNine()}, master.port, slave.port);
    ASSERT_TRUE(masterReady());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().Connected && e().switcher.slave().MapReceived; }));
    ASSERT_EQ(e().switcher.master().Map.at(11).Sources[0], 11);

    ticksUntil(test::WeekMoment(0, 9, 0, 1));
    EXPECT_TRUE(master.waitForLine(kTakeFrame));
    EXPECT_TRUE(slave.waitForLine(kTakeFrame));
    EXPECT_TRUE(
        h.folder.activityLines().contains(QStringLiteral("Send Take - In:0005-->Out:0012")));
    EXPECT_EQ(h.view.historyTitles(), QStringList{QStringLiteral("Morning take")});
    // Both switchers report the take back; each link keeps its own picture.
    EXPECT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(11).Sources[0] == 4; }));
    EXPECT_TRUE(waitUntil([&] { return e().switcher.slave().Map.at(11).Sources[0] == 4; }));
    EXPECT_EQ(e().switcher.master().Map.at(11).SourceCount, 1);
    EXPECT_EQ(master.count(QStringLiteral("RX FE")), 1);
}

TEST_P(SwitcherLink, OptoOnTheSwitcherRunsItsEventWhichLatchesARelay) {
    Row r = test::TimedRow(2, 0, QStringLiteral("24:00:00"), QStringLiteral("Opto five"));
    r["Type"] = 1;
    r["Opto"] = 5;
    r["rcontrol"] = 1;
    r["Relay"] = 9;
    SimProcess sim(simArgs());
    startEngine({r}, sim.port);
    ASSERT_TRUE(masterReady());
    sim.command(QStringLiteral("opto 5 on"));
    EXPECT_TRUE(sim.waitForLine(QStringLiteral("RX FE 44 00 00 00 08 00 4C FF")));
    EXPECT_TRUE(waitUntil([&] { return e().switcher.RelayState.at(8) == 1; }));
    EXPECT_EQ(e().switcher.OptoState.at(4), 1);
    EXPECT_TRUE(h.folder.activityLines().contains(QStringLiteral("Latch Relay #0009")));
}

TEST_P(SwitcherLink, ClosedLinkIsReopenedAndTheMapAskedForAgain) {
    SimProcess sim(simArgs());
    startEngine({}, sim.port);
    ASSERT_TRUE(masterReady());
    sim.command(QStringLiteral("close"));
    ASSERT_TRUE(waitUntil([&] { return !e().switcher.master().Connected; }));
    EXPECT_EQ(h.view.caption(), kCaptionServerNotConnected);
    EXPECT_EQ(e().switcher.master().Map.size(), 1u);
    EXPECT_FALSE(e().switcher.master().MapReceived);

    liveTicks(1);
    ASSERT_TRUE(masterReady());
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);
    EXPECT_EQ(sim.count(kInfoRequest), 2);
    EXPECT_EQ(e().switcher.master().Map.size(), 64u);
}

TEST_P(SwitcherLink, SilentLinksComeBackAfterTheKeepAliveLimit) {
    SimProcess sim(simArgs());
    SimProcess slave(simArgs());
    startEngine({}, sim.port, slave.port);
    ASSERT_TRUE(masterReady());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().MapReceived; }));
    for (SimProcess* s : {&sim, &slave}) {
        s->command(QStringLiteral("silent"));
        ASSERT_TRUE(s->waitForLine(QStringLiteral("OK")));
    }

    // 201 unanswered pings at three per five ticks, then the next ping slot closes the master's
    // link; the slave's is never closed for it, its pings stop.
    liveTicks(335);
    ASSERT_TRUE(sim.waitForLine(QStringLiteral("RX F5"), 201));
    EXPECT_TRUE(e().switcher.master().Connected);
    EXPECT_FALSE(h.folder.errorLines().join(QString()).contains(QStringLiteral("No Response")));
    const auto closedCaptions = [&] {
        return std::count(h.view.captions.begin(), h.view.captions.end(),
                          kCaptionServerNotConnected);
    };
    const auto before = closedCaptions();
    liveTicks(3);
    EXPECT_EQ(closedCaptions(), before + 1);
    ASSERT_TRUE(h.folder.errorLines().join(QString()).contains(
        QStringLiteral("Disconnecting - No Response from Server")));
    EXPECT_TRUE(sim.waitForLine(QStringLiteral("DISCONNECT")));
    const int slavePings = slave.count(QStringLiteral("RX F5"));
    liveTicks(5);
    EXPECT_EQ(slave.count(QStringLiteral("RX F5")), slavePings);

    // Both answer again; the slave's link is closed from its side. Each new connection starts
    // its keep-alive afresh: a ping at once, whose answer brings the map request, so a switcher
    // that never speaks first comes back as well as one that greets.
    for (SimProcess* s : {&sim, &slave}) s->command(QStringLiteral("talk"));
    slave.command(QStringLiteral("close"));
    ASSERT_TRUE(waitUntil([&] { return !e().switcher.slave().Connected; }));
    liveTicks(1);
    ASSERT_TRUE(masterReady());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().Online && e().switcher.slave().MapReceived; }));
    EXPECT_GT(slave.count(QStringLiteral("RX F5")), slavePings);
    EXPECT_EQ(sim.count(kInfoRequest), 2);
    EXPECT_EQ(slave.count(kInfoRequest), 2);
    liveTicks(10);
    EXPECT_TRUE(e().switcher.master().Connected);
    EXPECT_EQ(sim.count(QStringLiteral("CONNECT 127.0.0.1")), 2);
    EXPECT_EQ(h.folder.errorLines().filter(QStringLiteral("No Response")).size(), 1);
}

TEST_F(EndToEnd, EventsAreRefusedWhileTheServerIsUnreachable) {
    QTcpServer gone;
    gone.listen(QHostAddress::LocalHost, 0);
    const quint16 port = gone.serverPort();
    gone.close();
    startEngine({takeAtNine()}, port);
    ticksUntil(test::WeekMoment(0, 9, 0, 1));
    EXPECT_FALSE(e().switcher.master().Connected);
    EXPECT_EQ(h.folder.activityLines().filter(QStringLiteral("Morning take")),
              QStringList{QStringLiteral("Morning take not executed - Server not connected")});
    EXPECT_FALSE(h.folder.activityLines().join(QString()).contains(QStringLiteral("Send Take")));
}

TEST_P(SwitcherLink, EventsAreRefusedWhileTheSwitcherIsAbsent) {
    SimProcess sim(simArgs());
    startEngine({takeAtNine()}, sim.port);
    ASSERT_TRUE(masterReady());
    sim.command(QStringLiteral("absent"));
    ASSERT_TRUE(waitUntil([&] { return !e().switcher.master().Online; }));
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherNotConnected);
    ticksUntil(test::WeekMoment(0, 9, 0, 1));
    EXPECT_EQ(h.folder.activityLines().filter(QStringLiteral("Morning take")),
              QStringList{QStringLiteral("Morning take not executed - Switcher not connected")});
    EXPECT_EQ(sim.count(QStringLiteral("RX FE")), 0);
}

}  // namespace
}  // namespace tarvo
