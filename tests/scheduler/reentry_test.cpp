// Other work goes on while a run waits on its actions: a reload, another trigger, a delete. The
// tables can change under the run; it must still delete its own one-time row, never touch an
// unrelated one, and leave the timed runner pointing at the right event.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "message_peer.h"
#include "scheduler/timed_runner.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Harness;
using test::kTcpMessage;
using test::kUdpMessage;
using test::Row;
using test::TimedRow;
using test::WeekMoment;
using test::WithMessage;

Row optoRow(int number, int input, const QString& title, int active) {
    return Row{{"Number", number}, {"Type", 1},        {"Day", 0},          {"Opto", input},
               {"Title", title},   {"Active", active}, {"Time", "24:00:00"}};
}

QStringList titles(const std::vector<AutomationEvent>& list) {
    QStringList out;
    for (const AutomationEvent& ev : list) out << ev.Title;
    return out;
}

QString errorsOf(const Harness& h) {
    return h.folder.errorLines().join('\n');
}

TEST(Reentry, AReloadDuringAnActionsWaitDoesNotMisdirectTheOneTimeDelete) {
    test::UdpMessagePeer peer;
    Harness h(WeekMoment(0, 9, 0, 0, 2));
    h.folder.createDatabase(
        {TimedRow(1, 0, "08:00:00", "earlier"),
         WithMessage(TimedRow(10, 0, "09:00:00", "once with message", 3), kUdpMessage, peer.port()),
         TimedRow(20, 0, "10:00:00", "later")});
    h.startUp();
    h.online();
    ASSERT_EQ(h.s().NextEventIndex, 1);

    TimedStep(h.s());
    h.advance(50);
    ASSERT_EQ(h.s().runs.count(), 1);  // the message still waits
    ASSERT_TRUE(h.view.history.empty());
    // Meanwhile the editing tool adds a row that sorts before the running one, and the engine
    // reloads: every entry moves on by one and carries a new identity.
    test::InsertRows(h.folder.file(kDatabaseFileName), {TimedRow(5, 0, "07:00:00", "added")});
    LoadDatabase(h.e());
    ReselectNextEvent(h.e());
    // The running one-time row stays out of the reload: it left the table when its run began.
    ASSERT_EQ(titles(h.s().Events), (QStringList{"added", "earlier", "later"}));
    h.settle();

    EXPECT_EQ(h.view.historyTitles(), QStringList{"once with message"});
    EXPECT_EQ(peer.datagrams(), 1);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 10").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 3);
    EXPECT_EQ(titles(h.s().Events), (QStringList{"added", "earlier", "later"}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

TEST(Reentry, ATriggeredEventDuringAWaitThatDeletesItsOwnRow) {
    test::UdpMessagePeer peer;
    Harness h(WeekMoment(0, 9, 0, 0, 2));
    h.folder.createDatabase({WithMessage(optoRow(1, 5, "slow once", 3), kUdpMessage, peer.port()),
                             optoRow(2, 3, "quick once", 3)});
    h.startUp();
    h.online();
    ASSERT_EQ(titles(h.s().OptoEvents), (QStringList{"quick once", "slow once"}));

    ProcessOptoEvent(h.s(), 4, 1);
    h.advance(50);
    ASSERT_EQ(h.s().runs.count(), 1);
    ASSERT_TRUE(h.view.history.empty());
    // While "slow once" waits on its message, opto 3 fires "quick once", which sits before it in
    // the table and deletes itself. It does not wait for the slow one.
    ProcessOptoEvent(h.s(), 2, 1);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"quick once"});
    // Each one-time row left its table when its run began.
    EXPECT_TRUE(h.s().OptoEvents.empty());
    h.settle();

    EXPECT_EQ(h.view.historyTitles(), (QStringList{"quick once", "slow once"}));
    EXPECT_EQ(peer.datagrams(), 1);
    EXPECT_TRUE(h.s().OptoEvents.empty());
    EXPECT_EQ(h.s().TotalEvents(), 0);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 0);
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

TEST(Reentry, EntriesOfOneChangeRunSideBySideAndNeitherWaitsForTheOther) {
    test::UdpMessagePeer peer;
    Harness h(WeekMoment(0, 9, 0, 0, 2));
    h.folder.createDatabase({WithMessage(optoRow(1, 5, "slow", 1), kUdpMessage, peer.port()),
                             optoRow(2, 5, "quick", 1)});
    h.startUp();
    h.online();
    ProcessOptoEvent(h.s(), 4, 1);
    // The first entry waits on its message; the second has run already.
    EXPECT_EQ(h.view.historyTitles(), QStringList{"quick"});
    EXPECT_EQ(h.s().runs.count(), 1);
    h.settle();
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"quick", "slow"}));
    EXPECT_EQ(peer.datagrams(), 1);
}

TEST(Reentry, AReloadDuringATriggeredRunsWaitDeletesTheReloadedOneTimeEntry) {
    test::UdpMessagePeer peer;
    Harness h(WeekMoment(0, 9, 0, 0, 2));
    h.folder.createDatabase({WithMessage(optoRow(1, 5, "once", 3), kUdpMessage, peer.port()),
                             optoRow(2, 6, "stays", 1), TimedRow(3, 0, "10:00:00", "timed")});
    h.startUp();
    h.online();
    ProcessOptoEvent(h.s(), 4, 1);
    h.advance(50);
    ASSERT_EQ(h.s().runs.count(), 1);
    // The file changes meanwhile and is read afresh: the entry the run started from is gone,
    // and an equal one (same Number, new identity) stands in its place.
    h.folder.sql("UPDATE Automation SET Title = 'stays (edited)' WHERE Number = 2");
    LoadDatabase(h.e());
    ReselectNextEvent(h.e());
    h.settle();

    EXPECT_EQ(h.view.historyTitles(), QStringList{"once"});
    EXPECT_EQ(titles(h.s().OptoEvents), QStringList{"stays (edited)"});
    EXPECT_EQ(titles(h.s().Events), (QStringList{"timed", "stays (edited)"}));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 1").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 2);
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

TEST(Reentry, ADelayedEntryWhoseRunWaitsIsNotStartedAgainByTheNextTicks) {
    test::UdpMessagePeer peer;
    Harness h(WeekMoment(0, 9, 0, 0, 2));
    Row delayed = WithMessage(optoRow(1, 5, "delayed", 1), kUdpMessage, peer.port());
    delayed["Delay"] = 2;
    h.folder.createDatabase({delayed});
    h.startUp();
    h.online();
    ProcessOptoEvent(h.s(), 4, 1);
    ASSERT_EQ(h.s().DelayedEvents.size(), 1u);
    h.tick(4);  // 09:00:02.002: due; its run starts and waits on the message
    ASSERT_EQ(h.s().runs.count(), 1);
    EXPECT_TRUE(h.s().DelayedEvents.empty());
    h.tick(4);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"delayed"});
    EXPECT_EQ(peer.datagrams(), 1);
    EXPECT_EQ(h.s().runs.mostAtOnce(), 1);
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

// The editing tool saves while a timed event waits on its message: the tick's file check reloads
// and chooses the next event afresh (the timed step itself is busy). When the run ends, the
// pointer must rest on the event that comes next, and that event must run at its time.
TEST(Reentry, AReloadByTheTickWhileATimedRunWaitsKeepsTheNextEvent) {
    test::TcpMessagePeer peer;
    // Ticks at 58.502, 59.002, 59.502, 09:00:00.002 (the event starts) and 00.502 (the fifth,
    // which looks at the file).
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    h.folder.createDatabase(
        {TimedRow(1, 0, "08:00:00", "earlier"),
         WithMessage(TimedRow(2, 0, "09:00:00", "message"), kTcpMessage, peer.port()),
         TimedRow(3, 0, "09:00:30", "next")});
    h.startUp();
    h.online();
    h.tick(4);
    ASSERT_EQ(h.s().runs.count(), 1);
    ASSERT_TRUE(h.view.history.empty());
    h.folder.sql("UPDATE Automation SET Title = 'next (edited)' WHERE Number = 3");
    h.tick();
    ASSERT_EQ(titles(h.s().Events), (QStringList{"earlier", "message", "next (edited)"}));
    // The reload has chosen the right event; the run still waits.
    ASSERT_EQ(h.s().runs.count(), 1);
    ASSERT_EQ(h.view.nextLine().title, "next (edited)");

    h.runUntil(WeekMoment(0, 9, 0, 2));
    ASSERT_EQ(h.view.historyTitles(), QStringList{"message"});
    EXPECT_EQ(h.view.nextLine().title, "next (edited)");
    h.runUntil(WeekMoment(0, 9, 0, 31));
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"message", "next (edited)"}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

// A triggered one-time entry that sorts before the running timed event deletes itself while the
// timed run waits: every entry after it moves back by one. The run must still move the pointer
// on by one event, and must not take the next event for itself and hold it back.
TEST(Reentry, ATriggeredDeleteBeforeThePointerWhileATimedRunWaitsDoesNotHoldBackTheNextEvent) {
    test::TcpMessagePeer peer;
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    Row trigger = optoRow(1, 3, "opto once", 3);
    trigger["Time"] = "08:30:00";  // sorts before the timed rows of the day
    h.folder.createDatabase(
        {trigger, WithMessage(TimedRow(2, 0, "09:00:00", "message"), kTcpMessage, peer.port()),
         TimedRow(3, 0, "09:00:30", "next")});
    h.startUp();
    h.online();
    ASSERT_EQ(titles(h.s().Events), (QStringList{"opto once", "message", "next"}));
    ASSERT_EQ(h.s().NextEventIndex, 1);
    h.tick(4);
    ASSERT_EQ(h.s().runs.count(), 1);
    ProcessOptoEvent(h.s(), 2, 1);
    ASSERT_EQ(titles(h.s().Events), (QStringList{"message", "next"}));
    ASSERT_EQ(h.s().NextEventIndex, 1);  // on the next one: the running event is decided

    h.runUntil(WeekMoment(0, 9, 0, 2));
    ASSERT_EQ(h.view.historyTitles(), (QStringList{"opto once", "message"}));
    EXPECT_EQ(h.view.nextLine().title, "next");
    h.runUntil(WeekMoment(0, 9, 0, 31));
    EXPECT_EQ(h.view.historyTitles(), (QStringList{"opto once", "message", "next"}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << errorsOf(h).toStdString();
}

}  // namespace
}  // namespace tarvo
