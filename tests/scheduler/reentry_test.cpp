// Handlers run inside the waits of a running event: the tables can change under it. The runner
// must still delete the right one-time row and never touch an unrelated one.
#include <gtest/gtest.h>

#include <QTimer>
#include <QUdpSocket>

#include "scheduler/timed_runner.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

TEST(Reentry, AReloadDuringAnActionsWaitDoesNotMisdirectTheOneTimeDelete) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    test::Harness h(test::WeekMoment(0, 9, 0, 0, 2));
    test::Row once = test::TimedRow(10, 0, "09:00:00", "once with message", 3);
    once["mcontrol"] = 1;
    once["mtype"] = 4;
    once["Message"] = "hello";
    once["MIPAddress"] = "127.0.0.1";
    once["MIPPort"] = peer.localPort();
    h.folder.createDatabase({test::TimedRow(1, 0, "08:00:00", "earlier"), once, test::TimedRow(20, 0, "10:00:00", "later")});
    h.startUp();
    h.e().SwitcherConnected = h.e().SwitcherOnline = true;
    h.e().CurrentTime = 9 * 3600;
    h.e().NextEventIndex = 1;

    // While the message waits, the editing tool adds a row and the engine reloads.
    QTimer::singleShot(0, [&] {
        test::InsertRows(h.folder.file(kDatabaseFileName), {test::TimedRow(5, 0, "07:00:00", "added")});
        LoadDatabase(h.e());
    });
    ExecuteEvent(h.e());

    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 10").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 3);
    QStringList titles;
    for (int i = 0; i < h.e().TotalEvents; ++i) titles << h.e().Events[static_cast<std::size_t>(i)].Title;
    EXPECT_EQ(titles, (QStringList{"added", "earlier", "later"}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join("\n").toStdString();
}

TEST(Reentry, ATriggeredEventDuringAWaitThatDeletesItsOwnRow) {
    QUdpSocket peer;
    ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    test::Harness h(test::WeekMoment(0, 9, 0, 0, 2));
    test::Row slow{{"Number", 1}, {"Type", 1}, {"Day", 0}, {"Opto", 5}, {"Title", "slow once"}, {"Active", 3},
                   {"Time", "24:00:00"}, {"mcontrol", 1}, {"mtype", 4}, {"Message", "x"}, {"MIPAddress", "127.0.0.1"},
                   {"MIPPort", peer.localPort()}};
    test::Row quick{{"Number", 2}, {"Type", 1}, {"Day", 0}, {"Opto", 3}, {"Title", "quick once"}, {"Active", 3},
                    {"Time", "24:00:00"}};
    h.folder.createDatabase({slow, quick});
    h.startUp();
    h.e().SwitcherConnected = h.e().SwitcherOnline = true;
    ASSERT_EQ(h.e().OptoEventCount, 2);
    ASSERT_EQ(h.e().OptoEvents[1].Title, "slow once");

    // While "slow once" waits on its message, opto 3 fires "quick once", which sits before it
    // in the table and deletes itself.
    QTimer::singleShot(0, [&] { ProcessOptoEvent(h.e(), 2, 1); });
    ProcessOptoEvent(h.e(), 4, 1);

    EXPECT_EQ(h.view.historyTitles(), (QStringList{"quick once", "slow once"}));
    EXPECT_EQ(h.e().OptoEventCount, 0);
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation").toInt(), 0);
    EXPECT_TRUE(h.folder.errorLines().isEmpty()) << h.folder.errorLines().join("\n").toStdString();
}

}  // namespace
}  // namespace tarvo
