// The two watches against simulators: a take the switcher does not carry out is said once in
// the error log, and takes left waiting by a lost link in one line; a slave that shows another
// source than the master for more than two seconds is said once, and once more when they agree
// again; switchers that report otherwise, or not at all, raise no false alarm.
#include <gtest/gtest.h>

#include <optional>

#include "e2e_fixture.h"
#include "engine/watch.h"
#include "switcher/commands.h"
#include "switcher/framing.h"

namespace tarvo {
namespace {

using test::SimProcess;
using test::waitUntil;

QStringList errorsWith(const test::Folder& f, const QString& text) {
    QStringList out;
    for (const QString& l : f.errorLines())
        if (l.contains(text)) out << l.mid(36);
    return out;
}

// Sends a take as an event's action would (xcontrol 1 plain, 4 priority).
void take(test::Harness& h, int source, int dest, int16_t xcontrol = 1) {
    AutomationEvent ev;
    ev.xcontrol = xcontrol;
    ev.SourceChan = static_cast<int16_t>(source);
    ev.DestChan = static_cast<int16_t>(dest);
    h.e().scheduler.runs.start([](Switcher& sw, AutomationEvent take) -> Task<> {
        co_await SendCrosspointChange(sw, take);
    }(h.e().switcher, ev));
}

// Lets the manual clock go on by `ms`, the loop turning meanwhile so reports can come back.
void pass(test::Harness& h, int ms) {
    for (int t = 0; t < ms; t += 50) {
        waitUntil([] { return false; }, 5);
        h.advance(50);
    }
}

void takeAndWait(test::Harness& h, int source, int dest, int ms) {
    take(h, source, dest);
    pass(h, ms);
}

class Watch : public LinkEndToEnd {};
INSTANTIATE_TEST_SUITE_P(Greetings, Watch, kBothGreetings, GreetingName);

TEST_P(Watch, ATakeTheSwitcherDoesNotCarryOutIsSaidOnce) {
    SimProcess sim(simArgs({QStringLiteral("--outputs"), QStringLiteral("16")}));
    startEngine({}, sim.port);
    ASSERT_TRUE(masterReady());
    // Before any take report the watch does not know the switcher reports takes: nothing expected.
    takeAndWait(h, 3, 7, 1500);
    EXPECT_TRUE(errorsWith(h.folder, "Take not confirmed").isEmpty());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(6).Sources[0] == 2; }));

    // Now it does. A take carried out is confirmed and says nothing.
    takeAndWait(h, 5, 12, 1500);
    EXPECT_TRUE(errorsWith(h.folder, "Take not confirmed").isEmpty());

    sim.command(QStringLiteral("ignore takes"));
    waitUntil([] { return false; }, 300);  // the simulator has read it
    takeAndWait(h, 9, 12, 1500);
    EXPECT_EQ(errorsWith(h.folder, "Take not confirmed"), QStringList{"Take not confirmed - Master In:0009-->Out:0012"});
    EXPECT_EQ(e().takes.pending(), 0u);

    // A later report that confirms it writes nothing more.
    sim.command(QStringLiteral("take 9 12"));
    ASSERT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(11).Sources[0] == 8; }));
    h.advance(2000);
    EXPECT_EQ(errorsWith(h.folder, "Take not confirmed").size(), 1);
}

TEST_P(Watch, ASlaveShowingAnotherSourceIsSaidOnceAndAgainWhenItAgrees) {
    SimProcess master(simArgs({QStringLiteral("--outputs"), QStringLiteral("16")}));
    SimProcess slave(simArgs({QStringLiteral("--outputs"), QStringLiteral("16")}));
    startEngine({}, master.port, slave.port);
    ASSERT_TRUE(masterReady());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().Connected && e().switcher.slave().MapReceived; }));

    // The slave is told another take; a second of difference says nothing yet.
    slave.command(QStringLiteral("take 3 12"));
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().Map.at(11).Sources[0] == 2; }));
    h.advance(1000);
    EXPECT_TRUE(errorsWith(h.folder, "Slave").isEmpty());
    // More reports of the same difference: still one line after the two seconds.
    slave.command(QStringLiteral("take 3 12"));
    ASSERT_TRUE(slave.waitForLine(QStringLiteral("TX FE"), 2));
    h.advance(1500);
    EXPECT_EQ(errorsWith(h.folder, "Slave"), QStringList{"Slave differs - Out:0012 master In:0012 slave In:0003"});
    EXPECT_EQ(e().slaves.differing(), 1u);

    // A difference gone within its two seconds is never said.
    master.command(QStringLiteral("take 4 5"));
    ASSERT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(4).Sources[0] == 3; }));
    slave.command(QStringLiteral("take 4 5"));
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().Map.at(4).Sources[0] == 3; }));
    h.advance(3000);

    master.command(QStringLiteral("take 3 12"));
    ASSERT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(11).Sources[0] == 2; }));
    h.advance(3000);
    EXPECT_EQ(errorsWith(h.folder, "Slave"), (QStringList{"Slave differs - Out:0012 master In:0012 slave In:0003",
                                                          "Slave agrees again - Out:0012 In:0003"}));
    EXPECT_EQ(e().slaves.differing(), 0u);
}

TEST_P(Watch, TakesLeftWaitingByALostLinkAreSaidInOneLine) {
    SimProcess sim(simArgs({QStringLiteral("--outputs"), QStringLiteral("16")}));
    startEngine({}, sim.port);
    e().logs.errorRepeatWindowMs = 0;  // the second round's line as it is written
    ASSERT_TRUE(masterReady());
    int round = 0;
    for (const char* loss : {"absent", "close"}) {
        SCOPED_TRACE(loss);
        ++round;
        takeAndWait(h, 3, 7, 1500);  // reported: takes are expected back on this connection
        sim.command(QStringLiteral("ignore takes"));
        waitUntil([] { return false; }, 300);  // the simulator has read it
        take(h, 9, 12);
        take(h, 4, 5);
        ASSERT_TRUE(sim.waitForLine(QStringLiteral("IGNORED"), 2 * round));
        sim.command(QLatin1String(loss));
        ASSERT_TRUE(waitUntil([&] { return !e().switcher.master().Online; }));
        pass(h, 1500);
        EXPECT_EQ(errorsWith(h.folder, "Take not confirmed").mid(round - 1),
                  QStringList{"Take not confirmed - Master In:0009-->Out:0012, In:0004-->Out:0005 (link lost)"});
        EXPECT_EQ(e().takes.pending(), 0u);
        sim.command(QStringLiteral("obey takes"));
        sim.command(QStringLiteral("present"));
        liveTicks(1);  // the closed link connects again
        ASSERT_TRUE(masterReady());
    }
}

// Switchers that report takes otherwise than the simulator by default, or not at all, in its
// quiet mode: a plain take and a priority take raise no line.
struct Reporting {
    const char* name;
    QStringList master, slave;  // the slave's arguments; none: no slave
    bool masterReports;
};
void PrintTo(const Reporting& r, std::ostream* os) { *os << r.name; }
class FalseAlarm : public EndToEnd, public ::testing::WithParamInterface<Reporting> {};
INSTANTIATE_TEST_SUITE_P(
    Switchers, FalseAlarm,
    ::testing::Values(Reporting{"PriorityTakesReportedAsSuch", {"--take-reports", "as-sent"}, {"--take-reports", "plain"}, true},
                      Reporting{"MapInOneOutputPiecesTakesUnreported", {"--map-pieces", "1", "--take-reports", "none"}, {}, false},
                      Reporting{"SlaveDoesNotReportTakes", {}, {"--take-reports", "none"}, true}),
    [](const ::testing::TestParamInfo<Reporting>& info) { return std::string(info.param.name); });

TEST_P(FalseAlarm, NoLineForATakeCarriedOut) {
    const Reporting& c = GetParam();
    const QStringList common{QStringLiteral("--quiet"), QStringLiteral("--outputs"), QStringLiteral("16")};
    SimProcess master(common + c.master);
    std::optional<SimProcess> slave;
    if (!c.slave.isEmpty()) slave.emplace(common + c.slave);
    startEngine({}, master.port, slave ? slave->port : 0);
    ASSERT_TRUE(masterReady());
    if (slave) {
        ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().MapReceived; }));
    }
    takeAndWait(h, 3, 7, 1500);
    take(h, 9, 12, 4);
    ASSERT_TRUE(master.waitForLine(QStringLiteral("RX FE 05 08")));
    pass(h, 3000);
    EXPECT_TRUE(errorsWith(h.folder, "Take not confirmed").isEmpty());
    EXPECT_TRUE(errorsWith(h.folder, "Slave").isEmpty());
    if (c.masterReports) {
        EXPECT_EQ(e().switcher.master().Map.at(11).Sources[0], 8);
    }
}

// A master map that comes in pieces, the highest outputs first: the outputs it has not described
// yet are not compared with the slave's whole map.
TEST_F(EndToEnd, OutputsAMapHasNotDescribedAreNotCompared) {
    SimProcess master({QStringLiteral("--quiet"), QStringLiteral("--map-pieces"), QStringLiteral("32")});
    SimProcess slave({QStringLiteral("--quiet")});
    startEngine({}, master.port, slave.port);
    ASSERT_TRUE(masterReady());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.slave().MapReceived; }));
    ASSERT_EQ(e().switcher.master().Map.size(), 64u);
    slave.command(QStringLiteral("map"));  // the slave's whole map once more, while the master's is half in
    ASSERT_TRUE(slave.waitForLine(QStringLiteral("TX F6"), 2));
    waitUntil([] { return false; }, 100);
    h.advance(2500);
    EXPECT_TRUE(errorsWith(h.folder, "Slave").isEmpty());
    ASSERT_TRUE(waitUntil([&] { return e().switcher.master().Map.at(0).SourceCount == 1; }));
    h.advance(2500);
    EXPECT_TRUE(errorsWith(h.folder, "Slave").isEmpty());
}

}  // namespace
}  // namespace tarvo
