// Opto-, relay- and crosspoint-triggered events, run by direct calls of their entry points with
// the switcher link marked up.
#include <gtest/gtest.h>

#include "base/wait.h"
#include "message_peer.h"
#include "scheduler/conditions.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "support/test_support.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Row;

Row trig(int number, int type, int day, const QString& title, int active = 1) {
    Row r{{"Number", number}, {"Type", type}, {"Day", day},      {"Time", "24:00:00"}, {"Title", title},
          {"Active", active}, {"Delay", 0},   {"Priority", 0},   {"FileType", 0},      {"Condition", 0}};
    return r;
}
Row opto(int number, int type, int input, int day, const QString& title, int active = 1, int delay = 0) {
    Row r = trig(number, type, day, title, active);
    r["Opto"] = input;
    r["Delay"] = delay;
    return r;
}
Row xpoint(int number, int dest, int source, int tcontrol, int day, const QString& title, int active = 1) {
    Row r = trig(number, 3, day, title, active);
    r["TriggerDest"] = dest;
    r["TriggerSource"] = source;
    r["tControl"] = tcontrol;
    return r;
}

struct Triggered : ::testing::Test {
    test::Harness h{test::WeekMoment(1, 10, 0)};  // a Tuesday
    test::Folder& folder = h.folder;
    test::RecordingView& view = h.view;
    Engine& e = h.e();
    Scheduler& s = h.s();

    void load(const std::vector<Row>& rows) {
        folder.createDatabase(rows);
        LoadDatabase(e);
        e.scheduler.CurrentDay = 1;
        e.scheduler.CurrentDate = h.clock.now().date();
        e.scheduler.CurrentTime = 10 * 3600;
        e.switcher.master().Connected = e.switcher.master().Online = true;
    }
    // A change the switcher reports, and every run it starts taken to its end.
    void optoChange(int input, int state) {
        ProcessOptoEvent(s, input, state);
        h.settle();
    }
    void relayChange(int relay, int state) {
        ProcessRelayEvent(s, relay, state);
        h.settle();
    }
    void crosspointChange(const OutputMap& before, const OutputMap& after, int dest) {
        DetermineCrosspointChange(s, before, after, dest);
        h.settle();
    }
    QStringList ran() const { return view.historyTitles(); }
    static OutputMap map(std::initializer_list<int> sources) {
        OutputMap m;
        m.SourceCount = static_cast<uint8_t>(sources.size());
        int i = 0;
        for (int source : sources)
            m.Sources[static_cast<std::size_t>(i++)] = static_cast<int16_t>(source);
        return m;
    }
};

TEST_F(Triggered, OptoOnAndOffByTypeDayAndDelay) {
    load({opto(1, 1, 5, 1, "on late", 1, 20), opto(2, 1, 5, 1, "on"), opto(3, 2, 5, 1, "off"), opto(4, 1, 5, 2, "wednesday"),
          opto(5, 1, 5, 7, "no day"), opto(6, 1, 6, 1, "other input"), opto(7, 4, 5, 1, "a relay event")});
    EXPECT_EQ(static_cast<int>(e.scheduler.OptoEvents.size()), 6);
    optoChange(4, 1);  // message number 4 is opto 5
    EXPECT_EQ(ran(), QStringList{"on"});
    ASSERT_EQ(static_cast<int>(e.scheduler.DelayedEvents.size()), 1);  // the delayed one waits in the queue, without a line
    EXPECT_EQ(e.scheduler.DelayedEvents.front().event.Title, "on late");
    optoChange(4, 0);
    EXPECT_EQ(ran(), (QStringList{"on", "off"}));
    optoChange(4, 2);  // neither on nor off
    EXPECT_EQ(ran().size(), 2);
    // The history line shows the time it ran, not the event's Time.
    EXPECT_EQ(view.history[0].line.time, "10:00:00");
    EXPECT_EQ(view.history[0].line.day, "Tuesday");
}

TEST_F(Triggered, RelaysUseTheOptoFieldAsTheirTrigger) {
    Row r9 = opto(1, 5, 9, 1, "relay 9 off");
    Row o9 = opto(2, 2, 9, 1, "opto 9 off");
    Row zero = opto(3, 4, 0, 1, "relay zero");
    load({r9, o9, zero});
    relayChange(8, 0);
    EXPECT_EQ(ran(), QStringList{"relay 9 off"});
    relayChange(0, 1);  // the lowest relay a message can name is 1
    EXPECT_EQ(ran().size(), 1);
}

TEST_F(Triggered, RefusalsWithTheirReasons) {
    Row down = opto(1, 1, 3, 1, "down");
    Row cond = opto(2, 1, 4, 1, "relay condition");
    cond["Condition"] = 3;
    cond["ReqRelay"] = 12;
    Row sel = opto(3, 1, 5, 1, "source select");
    sel["sscontrol"] = 1;
    Row dev = opto(4, 1, 6, 1, "device");
    dev["sscontrol"] = 1;
    dev["ssSource"] = 4;
    Row xs = opto(5, 1, 7, 1, "crosspoint and salvo");
    xs["xcontrol"] = 1;
    xs["DestChan"] = 4;
    xs["scontrol"] = 1;
    xs["Salvo"] = 2;
    load({down, cond, sel, dev, xs});
    // A switcher to take what is sent: only what it took is logged as sent.
    test::Peer peer;
    e.switcher.master().wantedAddress = QStringLiteral("127.0.0.1");
    e.switcher.master().wantedPort = peer.port();
    ConnectSwitcher(e.switcher);
    ASSERT_TRUE(test::waitUntil([&] { return e.switcher.master().isConnected(); }));
    e.switcher.RelayState.assign(2049, 0);
    e.switcher.master().Connected = false;
    optoChange(2, 1);
    e.switcher.master().Connected = true;
    optoChange(3, 1);
    optoChange(4, 1);
    optoChange(5, 1);
    optoChange(6, 1);
    EXPECT_EQ(folder.activityLines(), (QStringList{"down not executed - Server not connected",
                                                   "relay condition not executed - Relay inactive",
                                                   "source select not executed - Invalid Source",
                                                   "device not executed - Invalid Device ID",
                                                   "crosspoint and salvo not executed - Invalid Crosspoint",
                                                   // A refused action does not hold back the next one.
                                                   "Send Execute Salvo Number 2"}));
    for (const auto& h : view.history) {
        EXPECT_TRUE(h.red);
        EXPECT_TRUE(h.line.title.endsWith(" - Not Executed"));
    }
}

TEST_F(Triggered, CrosspointChangesReportedSourcesAndWholeDestination) {
    load({xpoint(1, 12, 5, 1, 1, "5 routed"), xpoint(2, 12, 3, 2, 1, "3 removed"), xpoint(3, 12, 9, 3, 1, "first source"),
          xpoint(4, 12, 0, 4, 1, "last source"), xpoint(5, 12, 5, 0, 1, "never"), xpoint(6, 12, 5, 1, 3, "thursday"),
          xpoint(7, 14, 5, 1, 1, "other destination")});
    EXPECT_EQ(e.scheduler.CrosspointTriggerDests, (std::vector<int16_t>{12, 14}));
    // Destination 12 fed by source 3 only, then a take of source 5.
    crosspointChange(map({2}), map({4}), 12);
    EXPECT_EQ(ran(), (QStringList{"3 removed", "5 routed"}));
    view.history.clear();
    // Fed by nothing, then by source 5.
    crosspointChange(map({}), map({4}), 12);
    EXPECT_EQ(ran(), (QStringList{"5 routed", "first source"}));
    view.history.clear();
    // Losing its only source 5.
    crosspointChange(map({4}), map({}), 12);
    EXPECT_EQ(ran(), QStringList{"last source"});
    view.history.clear();
    // No change at all: nothing.
    crosspointChange(map({4}), map({4}), 12);
    EXPECT_TRUE(ran().isEmpty());
}

TEST_F(Triggered, MixedChangesAreReportedRemovedFirst) {
    // Stored sources 3, 5 -> 5, 7: source 4 went, source 8 came; source 6 stayed.
    load({xpoint(1, 2, 4, 2, 1, "4 went"), xpoint(2, 2, 8, 1, 1, "8 came"), xpoint(3, 2, 6, 2, 1, "6 went"),
          xpoint(4, 2, 6, 1, 1, "6 came")});
    crosspointChange(map({3, 5}), map({5, 7}), 2);
    EXPECT_EQ(ran(), (QStringList{"4 went", "8 came"}));
    // A count beyond the map's 65 entries fails with its report and fires nothing.
    OutputMap broken = map({1});
    broken.SourceCount = 70;
    crosspointChange(broken, map({}), 2);
    EXPECT_EQ(ran().size(), 2);
    ASSERT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.errorLines()[0].startsWith("Error Determining Crosspoint Change"));
}

TEST_F(Triggered, OneTimeEntriesLeaveTheirOwnTableEventsAndTheFile) {
    load({opto(1, 4, 9, 1, "relay once", 3), opto(2, 1, 9, 1, "opto stays"), xpoint(3, 2, 4, 1, 1, "crosspoint stays"),
          test::TimedRow(4, 1, "11:00:00", "timed")});
    relayChange(8, 1);
    EXPECT_EQ(ran(), QStringList{"relay once"});
    EXPECT_EQ(static_cast<int>(e.scheduler.RelayEvents.size()), 0);
    EXPECT_EQ(static_cast<int>(e.scheduler.OptoEvents.size()), 1);
    EXPECT_EQ(static_cast<int>(e.scheduler.CrosspointEvents.size()), 1);
    EXPECT_EQ(e.scheduler.TotalEvents(), 3);
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_TRUE(folder.errorLines().isEmpty());
    // It is gone: the same change runs nothing now.
    relayChange(8, 1);
    EXPECT_EQ(ran().size(), 1);
}

TEST_F(Triggered, SkipEntriesAreReArmedEverywhere) {
    load({xpoint(1, 3, 5, 1, 1, "skip", 2)});
    const auto fileTime = e.store.DatabaseIdentity;
    crosspointChange(map({}), map({4}), 3);
    EXPECT_EQ(ran(), QStringList{"skip - Not Executed"});
    EXPECT_EQ(e.scheduler.CrosspointEvents[0].Active, 1);
    EXPECT_EQ(e.scheduler.Events[0].Active, 1);
    EXPECT_EQ(folder.query("SELECT Active FROM Automation").toInt(), 1);
    EXPECT_NE(e.store.DatabaseIdentity, fileTime);
    crosspointChange(map({}), map({4}), 3);
    EXPECT_EQ(ran().last(), "skip");
}

TEST_F(Triggered, EveryMatchingEntryIsExaminedOnceWhateverTheRunsDelete) {
    // Each letter an entry for the same input and state, in table order: O runs once and
    // deletes itself, A stays, x is for another input. Runs that end at once delete their entry
    // while the scan goes on: one before the current entry, then the current one itself.
    const char* const layouts[] = {"OOA", "OOOO", "AOOA", "OxOxA", "OAOAO", "xOOxOOx", "AAA"};
    for (const char* layout : layouts) {
        SCOPED_TRACE(layout);
        std::vector<Row> rows;
        QStringList expected;
        int remaining = 0;
        for (int k = 0; layout[k] != 0; ++k) {
            const char kind = layout[k];
            const QString title = QStringLiteral("%1%2").arg(QLatin1Char(kind)).arg(k);
            rows.push_back(opto(k + 1, 1, kind == 'x' ? 6 : 5, 1, title, kind == 'O' ? 3 : 1));
            if (kind != 'x') expected << title;
            if (kind != 'O') ++remaining;
        }
        view.history.clear();
        load(rows);
        optoChange(4, 1);
        EXPECT_EQ(ran(), expected);
        EXPECT_EQ(static_cast<int>(e.scheduler.OptoEvents.size()), remaining);
        EXPECT_EQ(e.scheduler.TotalEvents(), remaining);
        EXPECT_TRUE(folder.errorLines().isEmpty());
    }
}

TEST_F(Triggered, ADeleteBeforeThePointerKeepsItOnTheSameEvent) {
    load({opto(1, 1, 5, 0, "monday opto", 3), test::TimedRow(2, 1, "11:00:00", "timed"),
          test::TimedRow(3, 1, "12:00:00", "noon")});
    e.scheduler.CurrentDay = 0;
    e.scheduler.NextEventIndex = 1;  // "timed", after the Monday opto row in running order
    ASSERT_EQ(e.scheduler.Events[1].Title, "timed");
    optoChange(4, 1);
    EXPECT_EQ(e.scheduler.TotalEvents(), 2);
    EXPECT_EQ(e.scheduler.Events[e.scheduler.NextEventIndex].Title, "timed");
}

TEST_F(Triggered, FullDumpsAndUnknownDestinationsFireNothing) {
    load({xpoint(1, 3, 5, 1, 1, "x")});
    crosspointChange(map({}), map({4}), 4);
    EXPECT_TRUE(ran().isEmpty());
}

// A run that does nothing but wait: it takes up a place among the runs in progress.
Task<> Idle(Clock& clock, int ms) {
    co_await ProcessWait(clock, ms);
}

TEST_F(Triggered, WithEveryRunTakenATriggerOrADueEntryIsRefusedAndSaysSo) {
    load({opto(1, 1, 5, 1, "on"), opto(2, 1, 6, 1, "delayed", 1, 5)});
    optoChange(5, 1);
    ASSERT_EQ(s.DelayedEvents.size(), 1u);
    ASSERT_TRUE(ran().isEmpty());

    for (int i = 0; i < RunSet::kMaxRuns; ++i) ASSERT_TRUE(s.runs.start(Idle(h.clock, 60000)));
    ProcessOptoEvent(s, 4, 1);
    s.CurrentTime += 5;  // the delayed entry falls due
    RunDueDelayedEvents(s);
    EXPECT_EQ(s.runs.count(), RunSet::kMaxRuns);
    EXPECT_EQ(folder.activityLines(), (QStringList{"on not executed - Too Many Runs",
                                                   "delayed not executed - Too Many Runs"}));
    ASSERT_EQ(view.history.size(), 2u);
    for (const auto& line : view.history) {
        EXPECT_TRUE(line.red);
        EXPECT_EQ(line.line.time, "10:00:00");  // when it was refused
        EXPECT_EQ(line.line.day, "Tuesday");
    }
    EXPECT_EQ(ran(), (QStringList{"on - Not Executed", "delayed - Not Executed"}));
    // The refused entry has left the queue: it is not tried again at every tick.
    EXPECT_TRUE(s.DelayedEvents.empty());

    // Once places are free, the next change runs as usual.
    h.settle(61000);
    ASSERT_EQ(s.runs.count(), 0);
    optoChange(4, 1);
    EXPECT_EQ(ran().last(), "on");
    EXPECT_LE(s.runs.mostAtOnce(), RunSet::kMaxRuns);
}

}  // namespace
}  // namespace tarvo

namespace tarvo {
namespace {

// A row runs once at a time: a one-time row triggered five times while its message waits sends
// once and leaves the file once; crosspoint rows started more than five times within a second
// (rows whose takes trigger one another) stop, with one line naming them, until the next load.
TEST_F(Triggered, ARowRunsOnceAtATimeAndRowsThatTriggerOneAnotherStop) {
    test::UdpMessagePeer peer;
    Row once = test::WithMessage(opto(1, 1, 5, 1, "once", 3), test::kUdpMessage, peer.port());
    Row a = xpoint(2, 7, 1, 1, 1, "loop a");
    Row b = xpoint(3, 7, 2, 1, 1, "loop b");
    load({once, a, b});
    for (int k = 0; k < 5; ++k) {
        ProcessOptoEvent(s, 4, 1);
        h.advance(20);
    }
    h.settle();
    EXPECT_EQ(peer.datagrams(), 1);
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(view.historyTitles(), QStringList{"once"});

    // The switcher reports each take of the pair as the change that starts the other.
    for (int k = 0; k < 20; ++k) {
        ProcessCrosspointEvent(s, 7, 1 + k % 2, 1);
        h.advance(20);
    }
    const QStringList history = view.historyTitles();
    EXPECT_EQ(history.count("loop a") + history.count("loop b"), 2 * kLoopStartsPerSecond);
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].contains("Rows 2, 3 trigger one another")) << errors[0].toStdString();
    // A load is the operator's answer: they run again.
    LoadDatabase(e);
    e.switcher.master().Connected = e.switcher.master().Online = true;
    ProcessCrosspointEvent(s, 7, 1, 1);
    EXPECT_EQ(view.historyTitles().count("loop a"), history.count("loop a") + 1);
}

}  // namespace
}  // namespace tarvo
