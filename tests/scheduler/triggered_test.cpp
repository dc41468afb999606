// Opto-, relay- and crosspoint-triggered events, run by direct calls of their entry points with
// the switcher link marked up.
#include <gtest/gtest.h>

#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "support/test_support.h"

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
    test::Folder folder;
    ManualClock clock{test::WeekMoment(1, 10, 0)};  // a Tuesday
    test::RecordingView view;
    Engine e{clock, view, folder.path()};

    void load(const std::vector<Row>& rows) {
        folder.createDatabase(rows);
        LoadDatabase(e);
        e.CurrentDay = 1;
        e.CurrentDate = clock.now().date();
        e.CurrentTime = 10 * 3600;
        e.SwitcherConnected = e.SwitcherOnline = true;
    }
    QStringList ran() const { return view.historyTitles(); }
    static OutputMap map(std::initializer_list<int> sources) {
        OutputMap m;
        m.SourceCount = static_cast<uint8_t>(sources.size());
        int i = 0;
        for (int s : sources) m.Sources[static_cast<std::size_t>(i++)] = static_cast<int16_t>(s);
        return m;
    }
};

TEST_F(Triggered, OptoOnAndOffByTypeDayAndDelay) {
    load({opto(1, 1, 5, 1, "on late", 1, 20), opto(2, 1, 5, 1, "on"), opto(3, 2, 5, 1, "off"), opto(4, 1, 5, 2, "wednesday"),
          opto(5, 1, 5, 7, "no day"), opto(6, 1, 6, 1, "other input"), opto(7, 4, 5, 1, "a relay event")});
    EXPECT_EQ(e.OptoEventCount, 6);
    ProcessOptoEvent(e, 4, 1);  // message number 4 is opto 5
    EXPECT_EQ(ran(), QStringList{"on"});
    ASSERT_EQ(e.DelayedEventCount, 1);  // the delayed one waits in the queue, without a line
    EXPECT_EQ(e.DelayedEvents[0].event.Title, "on late");
    ProcessOptoEvent(e, 4, 0);
    EXPECT_EQ(ran(), (QStringList{"on", "off"}));
    ProcessOptoEvent(e, 4, 2);  // neither on nor off
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
    ProcessRelayEvent(e, 8, 0);
    EXPECT_EQ(ran(), QStringList{"relay 9 off"});
    ProcessRelayEvent(e, 0, 1);  // the lowest relay a message can name is 1
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
    e.RelayState.assign(2049, 0);
    e.SwitcherConnected = false;
    ProcessOptoEvent(e, 2, 1);
    e.SwitcherConnected = true;
    ProcessOptoEvent(e, 3, 1);
    ProcessOptoEvent(e, 4, 1);
    ProcessOptoEvent(e, 5, 1);
    ProcessOptoEvent(e, 6, 1);
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
    EXPECT_EQ(e.CrosspointTriggerDests, (std::vector<int16_t>{12, 14}));
    // Destination 12 fed by source 3 only, then a take of source 5.
    DetermineCrosspointChange(e, map({2}), map({4}), 12);
    EXPECT_EQ(ran(), (QStringList{"3 removed", "5 routed"}));
    view.history.clear();
    // Fed by nothing, then by source 5.
    DetermineCrosspointChange(e, map({}), map({4}), 12);
    EXPECT_EQ(ran(), (QStringList{"5 routed", "first source"}));
    view.history.clear();
    // Losing its only source 5.
    DetermineCrosspointChange(e, map({4}), map({}), 12);
    EXPECT_EQ(ran(), QStringList{"last source"});
    view.history.clear();
    // No change at all: nothing.
    DetermineCrosspointChange(e, map({4}), map({4}), 12);
    EXPECT_TRUE(ran().isEmpty());
}

TEST_F(Triggered, MixedChangesAreReportedRemovedFirst) {
    // Stored sources 3, 5 -> 5, 7: source 4 went, source 8 came; source 6 stayed.
    load({xpoint(1, 2, 4, 2, 1, "4 went"), xpoint(2, 2, 8, 1, 1, "8 came"), xpoint(3, 2, 6, 2, 1, "6 went"),
          xpoint(4, 2, 6, 1, 1, "6 came")});
    DetermineCrosspointChange(e, map({3, 5}), map({5, 7}), 2);
    EXPECT_EQ(ran(), (QStringList{"4 went", "8 came"}));
    // A count beyond the map's 65 entries fails with its report and fires nothing.
    OutputMap broken = map({1});
    broken.SourceCount = 70;
    DetermineCrosspointChange(e, broken, map({}), 2);
    EXPECT_EQ(ran().size(), 2);
    ASSERT_EQ(folder.errorLines().size(), 1);
    EXPECT_TRUE(folder.errorLines()[0].startsWith("Error Determining Crosspoint Change"));
}

TEST_F(Triggered, OneTimeEntriesLeaveTheirOwnTableEventsAndTheFile) {
    load({opto(1, 4, 9, 1, "relay once", 3), opto(2, 1, 9, 1, "opto stays"), xpoint(3, 2, 4, 1, 1, "crosspoint stays"),
          test::TimedRow(4, 1, "11:00:00", "timed")});
    ProcessRelayEvent(e, 8, 1);
    EXPECT_EQ(ran(), QStringList{"relay once"});
    EXPECT_EQ(e.RelayEventCount, 0);
    EXPECT_EQ(e.OptoEventCount, 1);
    EXPECT_EQ(e.CrosspointEventCount, 1);
    EXPECT_EQ(e.TotalEvents, 3);
    EXPECT_EQ(folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_TRUE(folder.errorLines().isEmpty());
    // It is gone: the same change runs nothing now.
    ProcessRelayEvent(e, 8, 1);
    EXPECT_EQ(ran().size(), 1);
}

TEST_F(Triggered, SkipEntriesAreReArmedEverywhere) {
    load({xpoint(1, 3, 5, 1, 1, "skip", 2)});
    const QString fileTime = e.DatabaseFileTime;
    DetermineCrosspointChange(e, map({}), map({4}), 3);
    EXPECT_EQ(ran(), QStringList{"skip - Not Executed"});
    EXPECT_EQ(e.CrosspointEvents[0].Active, 1);
    EXPECT_EQ(e.Events[0].Active, 1);
    EXPECT_EQ(folder.query("SELECT Active FROM Automation").toInt(), 1);
    EXPECT_NE(e.DatabaseFileTime, fileTime);
    DetermineCrosspointChange(e, map({}), map({4}), 3);
    EXPECT_EQ(ran().last(), "skip");
}

TEST_F(Triggered, TheScanLooksAtTheEntryThatMovedIntoADeletedOnesPlace) {
    // Two one-time entries for the same input and state, one after the other in the table.
    load({opto(1, 1, 5, 1, "first once", 3), opto(2, 1, 5, 1, "second once", 3), opto(3, 1, 5, 1, "third")});
    ProcessOptoEvent(e, 4, 1);
    EXPECT_EQ(ran(), (QStringList{"first once", "second once", "third"}));
    EXPECT_EQ(e.OptoEventCount, 1);
    EXPECT_TRUE(folder.errorLines().isEmpty());
}

TEST_F(Triggered, ADeleteBeforeThePointerKeepsItOnTheSameEvent) {
    load({opto(1, 1, 5, 0, "monday opto", 3), test::TimedRow(2, 1, "11:00:00", "timed"),
          test::TimedRow(3, 1, "12:00:00", "noon")});
    e.CurrentDay = 0;
    e.NextEventIndex = 1;  // "timed", after the Monday opto row in running order
    ASSERT_EQ(e.Events[1].Title, "timed");
    ProcessOptoEvent(e, 4, 1);
    EXPECT_EQ(e.TotalEvents, 2);
    EXPECT_EQ(e.Events[e.NextEventIndex].Title, "timed");
}

TEST_F(Triggered, FullDumpsAndUnknownDestinationsFireNothing) {
    load({xpoint(1, 3, 5, 1, 1, "x")});
    DetermineCrosspointChange(e, map({}), map({4}), 4);
    EXPECT_TRUE(ran().isEmpty());
}

}  // namespace
}  // namespace tarvo
