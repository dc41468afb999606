// The two watches against simulators: a take the switcher does not carry out is said once in
// the error log; a slave that shows another source than the master for more than two seconds is
// said once, and once more when they agree again.
#include <gtest/gtest.h>

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

// Sends a take as an event's action would and lets the manual clock go on by `ms`, the loop
// turning meanwhile so the report can come back.
void takeAndWait(test::Harness& h, int source, int dest, int ms) {
    AutomationEvent ev;
    ev.xcontrol = 1;
    ev.SourceChan = static_cast<int16_t>(source);
    ev.DestChan = static_cast<int16_t>(dest);
    h.e().scheduler.runs.start([](Switcher& sw, AutomationEvent take) -> Task<> {
        co_await SendCrosspointChange(sw, take);
    }(h.e().switcher, ev));
    for (int t = 0; t < ms; t += 50) {
        waitUntil([] { return false; }, 5);
        h.advance(50);
    }
}

TEST_F(EndToEnd, ATakeTheSwitcherDoesNotCarryOutIsSaidOnce) {
    SimProcess sim({QStringLiteral("--outputs"), QStringLiteral("16")});
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

TEST_F(EndToEnd, ASlaveShowingAnotherSourceIsSaidOnceAndAgainWhenItAgrees) {
    SimProcess master({QStringLiteral("--outputs"), QStringLiteral("16")});
    SimProcess slave({QStringLiteral("--outputs"), QStringLiteral("16")});
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

}  // namespace
}  // namespace tarvo
