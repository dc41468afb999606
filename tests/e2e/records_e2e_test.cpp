// What the records say against the simulator: an action the switcher never got is "not executed"
// with its reason and a red history line, never its sent line, and the check finds beforehand
// every operand the senders refuse; a row whose Number cannot find it again never runs.
#include "e2e_fixture.h"
#include "scheduler/actions.h"
#include "scheduler/schedule_check.h"
#include "store/load_database.h"

namespace tarvo {
namespace {

std::vector<RowProblem> checkFolder(const test::Folder& folder) {
    const DatabaseRead read = InspectAutomationDatabase(folder.file(kDatabaseFileName));
    EXPECT_EQ(read.outcome, DatabaseRead::Read);
    return CheckSchedule(read.rows, folder.path());
}

TEST_F(EndToEnd, AnOperandTheSenderRefusesIsNotExecutedInRedAndTheCheckFindsIt) {
    const struct {
        const char* title;
        Row columns;
        const char* refusal;
        const char* why;
    } cases[] = {
        // clang-format off
        {"Take from 20000", {{"xcontrol", 1}, {"SourceChan", 20000}, {"DestChan", 12}}, "Invalid Crosspoint", "source 20000"},
        {"Take from -3", {{"xcontrol", 1}, {"SourceChan", -3}, {"DestChan", 12}}, "Invalid Crosspoint", "source -3"},
        {"Latch relay 30000", {{"rcontrol", 1}, {"Relay", 30000}}, "Invalid Relay", "relay 30000"},
        {"Gain of 20000", {{"vcontrol", 1}, {"VChan", 20000}, {"Gain", 1024}}, "Invalid Channel", "channel 20000"},
        {"Opto output 20000", {{"ocontrol", 1}, {"OptoOut", 20000}}, "Invalid Opto", "opto output 20000"},
        {"Null salvo", {{"scontrol", 1}}, "Invalid Salvo", "salvo 0"},
        {"Select source 20000", {{"sscontrol", 1}, {"ssSource", 20000}, {"ssDeviceID", 3}}, "Invalid Source", "source 20000"},
        {"Associate relay 20000", {{"rccontrol", 1}, {"rcRelay", 20000}, {"rcOpto", 5}}, "Invalid Relay", "relay 20000"},
        // clang-format on
    };
    std::vector<Row> rows{takeAtNine()};
    for (const auto& c : cases) {
        Row r = test::TimedRow(10 + static_cast<int>(rows.size()), 0, QStringLiteral("09:00:00"),
                               QLatin1String(c.title));
        for (auto it = c.columns.begin(); it != c.columns.end(); ++it) r[it.key()] = it.value();
        rows.push_back(r);
    }
    SimProcess sim;
    startEngine(rows, sim.port);
    ASSERT_TRUE(masterReady());
    const std::vector<RowProblem> problems = checkFolder(h.folder);
    ASSERT_EQ(problems.size(), std::size(cases));
    ticksUntil(test::WeekMoment(0, 9, 0, 3));
    ASSERT_TRUE(sim.waitForLine(kTakeFrame));  // the link was up: only the refused were not sent

    const QStringList activity = h.folder.activityLines();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.title);
        const QString refused = QLatin1String(c.title) + kNotExecuted + QLatin1String(c.refusal);
        EXPECT_EQ(activity.count(refused), 1);
        EXPECT_EQ(problems[i].text, refused + QStringLiteral(" (") + QLatin1String(c.why) +
                                        QStringLiteral(" is outside 1 to 16384)"));
        const auto& line =
            h.view.history.at(i + 1);  // in the order of their Numbers, after the take
        EXPECT_TRUE(line.red);
        EXPECT_EQ(line.line.title, QLatin1String(c.title) + QStringLiteral(" - Not Executed"));
    }
    EXPECT_FALSE(h.view.history.at(0).red);
    // Nothing of them reached the switcher: one take, no salvo, gain or source select.
    EXPECT_EQ(sim.count(QStringLiteral("RX FE ")), 1);
    for (const char* type : {"RX EA ", "RX E3 ", "RX D3 "})
        EXPECT_EQ(sim.count(QLatin1String(type)), 0) << type;
}

// A delayed take is sent only if the link is up when it falls due: the switcher gone meanwhile,
// or a reload in the tick it is due that moves the switcher to another port.
class DelayedTake : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(DelayedTake, WhoseLinkIsDownWhenDueIsNotExecuted) {
    const bool reload = GetParam();
    Row later = takeAtNine();
    later["Title"] = "Later take";
    later["Delay"] = 5;
    SimProcess sim;
    startEngine({later}, sim.port);
    ASSERT_TRUE(masterReady());
    ticksUntil(test::WeekMoment(0, 9, 0, 1));
    ASSERT_EQ(e().scheduler.DelayedEvents.size(), 1u);
    if (reload) {
        ticksUntil(test::WeekMoment(0, 9, 0, 4, 500));  // the tick before the one it is due in
        h.folder.sql(QStringLiteral("UPDATE Server SET IPPort = %1").arg(sim.port + 1));
        LoadDatabase(e());
    } else {
        sim.command(QStringLiteral("quit"));
        ASSERT_TRUE(waitUntil([&] { return !e().switcher.master().Connected; }));
    }
    ticksUntil(test::WeekMoment(0, 9, 0, 7));
    EXPECT_TRUE(e().scheduler.DelayedEvents.empty());
    const QStringList activity = h.folder.activityLines();
    EXPECT_TRUE(activity.contains(QStringLiteral("Later take not executed - Server not connected")))
        << activity.join(QLatin1Char('\n')).toStdString();
    EXPECT_FALSE(activity.contains(QStringLiteral("Send Take - In:0005-->Out:0012")));
    ASSERT_EQ(h.view.history.size(), 1u);
    EXPECT_TRUE(h.view.history[0].red);
    EXPECT_EQ(h.view.history[0].line.title, QStringLiteral("Later take - Not Executed"));
    EXPECT_EQ(sim.count(kTakeFrame), 0);
}

INSTANTIATE_TEST_SUITE_P(GoneOrMoved, DelayedTake, ::testing::Bool());

// A one-time row whose Number does not fit reads as Number 0: its delete would miss the file's
// row, which would run again after every edit. It never runs at all, and the check says why.
TEST_F(EndToEnd, ARowWhoseNumberCannotFindItAgainNeverRuns) {
    Row once = takeAtNine();
    once["Number"] = 40000;
    once["Title"] = "Once, numbered 40000";
    once["Active"] = 3;
    Row salvo = test::TimedRow(2, 0, QStringLiteral("09:00:00"), QStringLiteral("Salvo"));
    salvo["scontrol"] = 1, salvo["Salvo"] = 1;
    SimProcess sim;
    startEngine({once, salvo}, sim.port);
    ASSERT_TRUE(masterReady());
    ticksUntil(test::WeekMoment(0, 9, 0, 3));
    ASSERT_TRUE(sim.waitForLine(QStringLiteral("RX EA 64 00 00 64 FF")));
    // After an edit the row is still in the file, and still does not run.
    h.folder.sql(QStringLiteral("UPDATE Automation SET Title = 'Salvo, edited' WHERE Number = 2"));
    LoadDatabase(e());
    ticksUntil(test::WeekMoment(0, 9, 0, 6));
    EXPECT_EQ(sim.count(kTakeFrame), 0);
    EXPECT_EQ(h.view.historyTitles(), QStringList{"Salvo"});
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 40000").toInt(), 1);
    // Said at each load.
    EXPECT_EQ(h.folder.errorLines()
                  .filter(QStringLiteral(
                      "1 row is not run, Number not 1 to 32767: \"Once, numbered 40000\""))
                  .size(),
              2);

    const std::vector<RowProblem> problems = checkFolder(h.folder);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].number, 0);
    EXPECT_TRUE(problems[0].text.startsWith(
        QStringLiteral("Once, numbered 40000: never runs - Number 0 is outside 1 to 32767")))
        << problems[0].text.toStdString();
}

}  // namespace
}  // namespace tarvo
