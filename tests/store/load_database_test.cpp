#include <gtest/gtest.h>

#include <limits>

#include "engine/engine.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Folder;
using test::Row;
using test::TimedRow;

struct Loaded {
    Folder folder;
    ManualClock clock{test::WeekMoment(0, 8, 0)};
    test::RecordingView view;
    Engine e{clock, view, folder.path()};
};

TEST(ValidateAddress, NormalisesAndLimitsEachPart) {
    EXPECT_EQ(ValidateAddress("192.168.001.010"), "192.168.1.10");
    EXPECT_EQ(ValidateAddress("10.0.0.300"), "10.0.0.255");
    EXPECT_EQ(ValidateAddress("300.1.1.1"), "255.1.1.1");
    EXPECT_EQ(ValidateAddress("10.0.0.4.6"), "10.0.0.5");  // the last part reads as 4.6
    EXPECT_EQ(ValidateAddress("10.0.0.4.5"), "10.0.0.4");  // halves go to the even neighbour
    EXPECT_EQ(ValidateAddress("a.-3.7x.1"), "0.0.7.1");
    EXPECT_EQ(ValidateAddress("10.0.0."), std::nullopt);
    EXPECT_EQ(ValidateAddress("switcher.local"), std::nullopt);
    EXPECT_EQ(ValidateAddress(""), std::nullopt);
}

TEST(LoadDatabase, MissingFileShowsNoEventsAndKeepsEverythingElse) {
    Loaded t;
    t.e.scheduler.Events.resize(5);
    t.e.scheduler.OptoEvents.resize(2);
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.scheduler.TotalEvents(), 0);
    EXPECT_EQ(t.view.panels[1], "0 Total Events");
    EXPECT_EQ(static_cast<int>(t.e.scheduler.OptoEvents.size()), 2);
    EXPECT_TRUE(t.view.errors.isEmpty());
}

TEST(LoadDatabase, RefusesAFileThatIsNotAnAutomationDatabase) {
    Loaded t;
    t.folder.createDatabase({TimedRow(1, 0, "08:00:00", "A")});
    t.folder.sql("UPDATE Type SET Type = 'Inventory'");
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.scheduler.TotalEvents(), 0);
    EXPECT_EQ(t.view.errors, QStringList{"File Error: Invalid Database File"});
    EXPECT_TRUE(t.folder.errorLines().isEmpty());

    // A Null type is not a mismatch.
    t.folder.sql("UPDATE Type SET Type = NULL");
    t.view.errors.clear();
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.scheduler.TotalEvents(), 1);
    EXPECT_TRUE(t.view.errors.isEmpty());
}

TEST(LoadDatabase, SettingsDefaultsAndNormalisation) {
    Loaded t;
    t.folder.createDatabase();
    t.folder.sql("UPDATE Server SET IPPort = -5, IPAddr = '300.1.1.1', SlaveIPPort = NULL, SlaveIPAddr = '0.0.0.0', TaskViewDB = NULL");
    t.folder.sql("UPDATE Info SET StartMin = -1, ArchiveTally = NULL, MaxTallyFile = NULL, Future1 = 'Studio 4'");
    LoadDatabase(t.e);
    const EngineSettings& s = t.e.settings;
    EXPECT_EQ(s.IPPort, 1250);
    EXPECT_EQ(s.IPAddr, "255.1.1.1");
    EXPECT_EQ(s.SlaveIPPort, 1);  // a Null slave port is 1 and stays 1
    EXPECT_FALSE(s.SlaveEnabled);
    EXPECT_EQ(s.TaskViewDB, "");
    EXPECT_TRUE(s.StartMin);
    EXPECT_TRUE(s.ArchiveTally);
    EXPECT_EQ(s.MaxTallyFile, 1000);
    EXPECT_EQ(s.Future1, "Studio 4");
    // With no rows the caption stays as it was; with rows it carries the title.
    EXPECT_TRUE(t.view.captions.empty());
    test::InsertRows(t.folder.file(kDatabaseFileName), {TimedRow(1, 0, "08:00:00", "A")});
    LoadDatabase(t.e);
    EXPECT_EQ(t.view.caption(), "Tarvo Automation - Studio 4");
    EXPECT_EQ(t.view.panels[1], "1 Total Events");

    t.folder.sql("UPDATE Server SET IPAddr = '', SlaveIPAddr = '10.1.1.2', SlaveIPPort = '0'");
    t.folder.sql("UPDATE Info SET Future1 = ' '");
    LoadDatabase(t.e);
    EXPECT_EQ(s.IPAddr, "0.0.0.0");
    EXPECT_TRUE(s.SlaveEnabled);
    EXPECT_EQ(s.SlaveIPPort, 1250);
    EXPECT_EQ(t.view.caption(), "Tarvo Automation");
}

TEST(LoadDatabase, AFailedSettingReadKeepsThePreviousValue) {
    Loaded t;
    t.folder.createDatabase({TimedRow(1, 0, "08:00:00", "A")});
    t.folder.sql("UPDATE Info SET MaxTallyFile = 250");
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.settings.MaxTallyFile, 250);
    t.folder.sql("ALTER TABLE Info DROP COLUMN MaxTallyFile");
    t.folder.sql("UPDATE Info SET Version = '25'");  // keep the upgrade from adding it back
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.settings.MaxTallyFile, 250);
    t.folder.sql("UPDATE Info SET ArchiveTally = 'often'");
    t.e.settings.ArchiveTally = false;
    LoadDatabase(t.e);
    EXPECT_FALSE(t.e.settings.ArchiveTally);
}

TEST(LoadDatabase, FieldNullsMaximaAndFailedConversions) {
    Loaded t;
    Row full = TimedRow(7, 9, "10:00:00", "Odd", 4);
    full["Type"] = 6;
    full["Gain"] = 3000;
    full["xcontrol"] = 7;
    full["FFrame"] = 300;        // does not fit 8 bits: a failed read
    full["SourceChan"] = 40000;  // does not fit 16 bits
    full["DestChan"] = "12";     // text that converts
    full["Relay"] = "twelve";    // text that does not
    full["MIPPort"] = 2.5;       // a real rounds half to even
    full["Template"] = 129;
    full["Salvo"] = QByteArray("\x05", 1);    // a blob is no number
    full["Message"] = QByteArray("\x05", 1);  // nor a text
    full["VChan"] = std::numeric_limits<double>::infinity();
    Row nulls{{"Number", 8}};
    Row negative = TimedRow(9, -1, "11:00:00", "Negative");
    negative["Gain"] = -5;
    t.folder.createDatabase({full, nulls, negative});
    LoadDatabase(t.e);
    ASSERT_EQ(t.e.scheduler.TotalEvents(), 3);

    auto byNumber = [&](int n) -> const AutomationEvent& {
        for (const auto& ev : t.e.scheduler.Events)
            if (ev.Number == n) return ev;
        throw std::runtime_error("missing");
    };
    const AutomationEvent& a = byNumber(7);
    EXPECT_EQ(a.Day, 9);
    EXPECT_EQ(a.DayName, "None");
    EXPECT_EQ(a.Active, 0);
    EXPECT_EQ(a.Type, 0);
    EXPECT_EQ(a.Gain, 1024);
    EXPECT_EQ(a.xcontrol, 0);
    EXPECT_EQ(a.FFrame, 0);
    EXPECT_EQ(a.SourceChan, 0);
    EXPECT_EQ(a.DestChan, 12);
    EXPECT_EQ(a.Relay, 0);
    EXPECT_EQ(a.MIPPort, 2);
    EXPECT_EQ(a.Template, 0);
    EXPECT_EQ(a.Salvo, 0);
    EXPECT_EQ(a.Message, "");
    EXPECT_EQ(a.VChan, 0);

    const AutomationEvent& n = byNumber(8);
    EXPECT_EQ(n.Time, "24:00:00");
    EXPECT_EQ(n.Title, "None");
    EXPECT_EQ(n.FileName, " ");
    EXPECT_EQ(n.Message, " ");
    EXPECT_EQ(n.Method, " ");
    EXPECT_EQ(n.MIPAddress, "0.0.0.0");
    EXPECT_EQ(n.Gain, 1024);
    EXPECT_EQ(n.Color, 16777215);
    EXPECT_EQ(n.DayName, "Monday");

    const AutomationEvent& neg = byNumber(9);
    EXPECT_EQ(neg.Day, -1);
    EXPECT_EQ(neg.Gain, -5);
}

TEST(LoadDatabase, AMissingColumnLeavesItsFieldEmpty) {
    Loaded t;
    t.folder.createDatabase({TimedRow(1, 2, "08:00:00", "A")});
    t.folder.sql("ALTER TABLE Automation DROP COLUMN Title");
    t.folder.sql("ALTER TABLE Automation DROP COLUMN Gain");
    LoadDatabase(t.e);
    ASSERT_EQ(t.e.scheduler.TotalEvents(), 1);
    EXPECT_EQ(t.e.scheduler.Events[0].Title, "");
    EXPECT_EQ(t.e.scheduler.Events[0].Gain, 0);
    EXPECT_EQ(t.e.scheduler.Events[0].DayName, "Wedensday");
}

TEST(LoadDatabase, RunningOrderByDayTimePriorityDelay) {
    Loaded t;
    Row tue = TimedRow(1, 1, "00:30:00", "Tuesday early");
    Row mon = TimedRow(2, 0, "23:00:00", "Monday late");
    Row d30 = TimedRow(3, 1, "09:00:00", "Delay 30");
    d30["Delay"] = 30;
    Row d0 = TimedRow(4, 1, "09:00:00", "Delay 0");
    Row p1 = TimedRow(5, 1, "09:00:00", "Priority 1");
    p1["Priority"] = 1;
    t.folder.createDatabase({tue, mon, d30, d0, p1});
    LoadDatabase(t.e);
    QStringList titles;
    for (const auto& ev : t.e.scheduler.Events) titles << ev.Title;
    EXPECT_EQ(titles, (QStringList{"Monday late", "Tuesday early", "Delay 0", "Delay 30", "Priority 1"}));
}

TEST(LoadDatabase, AnEmptyTableLeavesPointerCaptionAndTriggerListsAlone) {
    Loaded t;
    Row opto = TimedRow(1, 0, "24:00:00", "Opto");
    opto["Type"] = 1;
    opto["Opto"] = 5;
    Row xp = TimedRow(2, 0, "24:00:00", "Crosspoint");
    xp["Type"] = 3;
    xp["TriggerDest"] = 12;
    t.folder.createDatabase({opto, xp});
    LoadDatabase(t.e);
    EXPECT_EQ(static_cast<int>(t.e.scheduler.OptoEvents.size()), 1);
    EXPECT_EQ(t.e.scheduler.CrosspointTriggerDests, std::vector<int16_t>{12});
    const auto captions = t.view.captions.size();
    t.e.scheduler.NextEventIndex = 4;
    t.folder.sql("DELETE FROM Automation");
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.scheduler.TotalEvents(), 0);
    EXPECT_TRUE(t.e.scheduler.Events.empty());
    EXPECT_EQ(t.e.scheduler.NextEventIndex, 4);
    EXPECT_EQ(t.view.captions.size(), captions);
    EXPECT_TRUE(t.e.scheduler.CrosspointTriggerDests.empty());
    EXPECT_EQ(static_cast<int>(t.e.scheduler.OptoEvents.size()), 1);
}

TEST(LoadDatabase, ANewAddressReadWithAnEmptyTableIsTakenUpByTheNextLoadWithRows) {
    Loaded t;
    test::Peer first;
    test::Peer second;
    SwitcherLink& master = t.e.switcher.master();
    auto serverAt = [&](quint16 port) {
        t.folder.sql(
            QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(port));
    };
    t.folder.createDatabase({TimedRow(1, 0, "09:00:00", "News")});
    serverAt(first.port());
    LoadDatabase(t.e);
    ConnectSwitcher(t.e.switcher);
    ASSERT_TRUE(test::waitUntil([&] { return master.Connected && first.connections == 1; }));

    // The table emptied and the switcher moved in one edit: the link stays where it is.
    t.folder.sql("DELETE FROM Automation");
    serverAt(second.port());
    LoadDatabase(t.e);
    EXPECT_TRUE(master.Connected);
    EXPECT_EQ(master.port, first.port());

    // Rows again: the link is on another address than the settings, so it is closed, and the
    // next connect dials the new one.
    test::InsertRows(t.folder.file(kDatabaseFileName), {TimedRow(2, 0, "10:00:00", "Weather")});
    LoadDatabase(t.e);
    EXPECT_FALSE(master.Connected);
    ConnectSwitcher(t.e.switcher);
    ASSERT_TRUE(test::waitUntil([&] { return master.Connected && second.connections == 1; }));
    EXPECT_EQ(master.port, second.port());
    EXPECT_EQ(first.connections, 1);

    // The same address once more: the link is left alone.
    LoadDatabase(t.e);
    EXPECT_TRUE(master.Connected);
    EXPECT_TRUE(t.folder.errorLines().isEmpty());
}

// The rows come in Number order as SQLite orders the stored values: Nulls first, equal Numbers
// in the order they are stored, a Number stored as text after every number.
TEST(LoadDatabase, RowsComeInTheOrderSQLiteGivesTheirNumbers) {
    const struct {
        const char* name;
        std::vector<QVariant> numbers;  // in the order the rows are stored
        QStringList order;              // the rows (by their place in `numbers`) as read
    } cases[] = {
        {"integers", {5, 3, -2, 5, 40000}, {"r2", "r1", "r0", "r3", "r4"}},
        {"a Null", {5, QVariant(), 3}, {"r1", "r2", "r0"}},
        {"a real", {5, 3.5, 3}, {"r2", "r1", "r0"}},
        {"a text", {5, QStringLiteral("x"), 3, QVariant()}, {"r3", "r2", "r0", "r1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded t;
        std::vector<Row> rows;
        for (std::size_t i = 0; i < c.numbers.size(); ++i) {
            Row r = TimedRow(1, 0, "09:00:00", QStringLiteral("r%1").arg(i));
            r["Number"] = c.numbers[i];
            rows.push_back(r);
        }
        t.folder.createDatabase(rows);
        const DatabaseRead read = ReadAutomationDatabase(t.e.logs, t.e.store, t.e.settings);
        ASSERT_EQ(read.outcome, DatabaseRead::Read);
        QStringList titles;
        for (const auto& ev : read.rows) titles << ev.Title;
        EXPECT_EQ(titles, c.order);
    }
    // Without a Number column the table cannot be put in order: the load fails as it always has.
    Loaded t;
    t.folder.createDatabase({TimedRow(1, 0, "09:00:00", "r0")});
    t.folder.sql("ALTER TABLE Automation DROP COLUMN Number");
    EXPECT_EQ(ReadAutomationDatabase(t.e.logs, t.e.store, t.e.settings).outcome,
              DatabaseRead::Failed);
}

TEST(LoadDatabase, MoreRowsThanIndicesLoadsTheFirstInNumberOrder) {
    Loaded t;
    t.folder.createDatabase();
    {
        Database db(t.folder.file(kDatabaseFileName));
        Transaction tx(db);
        Statement st(db, "INSERT INTO Automation (Number, Day, Time, Title, Active, Type) VALUES (?1, 0, '24:00:00', 'x', 1, 0)");
        for (int i = 32770; i >= 1; --i) {
            st.reset();
            st.bind(1, static_cast<int64_t>(i));  // numbers 1 .. 32770, stored in reverse
            st.run();
        }
        tx.commit();
    }
    LoadDatabase(t.e);
    EXPECT_EQ(t.e.scheduler.TotalEvents(), 32767);
    EXPECT_EQ(t.view.panels[1], "32767 Total Events");
    // The first 32767 in Number order: the rows 1 .. 32767 (the others would not fit 16 bits).
    int maxNumber = 0;
    for (const auto& ev : t.e.scheduler.Events) maxNumber = std::max<int>(maxNumber, ev.Number);
    EXPECT_EQ(maxNumber, 32767);
    const QStringList errors = t.folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("32770 rows")) << errors[0].toStdString();
}

TEST(LoadDatabase, AnUnreadableFileIsReported) {
    Loaded t;
    QFile f(t.folder.file(kDatabaseFileName));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("this is not a database at all, just text that fills a page of bytes......");
    f.close();
    LoadDatabase(t.e);
    const QStringList errors = t.folder.errorLines();
    ASSERT_FALSE(errors.isEmpty());
    EXPECT_TRUE(errors.last().startsWith("Error Reading Automation DB")) << errors.last().toStdString();
}

// The file is data: a view in a table's place is not read through, a trigger never fires on the
// engine's own writes, and a statement that would not end is stopped as a failed read.
TEST(LoadDatabase, NothingStoredInTheFileRuns) {
    const QString endless = "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) ";
    {
        Loaded t;
        t.folder.createDatabase({TimedRow(1, 0, "08:00:00", "A")});
        t.folder.sql("DROP TABLE Automation; CREATE VIEW Automation AS " + endless +
                     "SELECT n AS Number, 'x' AS Title FROM r");
        LoadDatabase(t.e);
        EXPECT_EQ(t.e.scheduler.TotalEvents(), 0);
        const QStringList errors = t.folder.errorLines();
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].startsWith("Error Reading Automation DB")) << errors[0].toStdString();
        EXPECT_EQ(InspectAutomationDatabase(t.folder.file(kDatabaseFileName)).outcome, DatabaseRead::Failed);
    }
    {
        Loaded t;
        Row once = TimedRow(1, 0, "08:00:00", "Once", kRunOnce);
        Row skip = TimedRow(2, 0, "09:00:00", "Skip", kSkipNext);
        t.folder.createDatabase({once, skip});
        t.folder.sql("CREATE TABLE Fired (what TEXT)");
        for (const char* when : {"DELETE", "UPDATE"})
            t.folder.sql(QStringLiteral("CREATE TRIGGER on_%1 AFTER %1 ON Automation BEGIN "
                                        "UPDATE Server SET IPAddr = '10.9.9.9'; INSERT INTO Fired "
                                        "VALUES ('%1'); END")
                             .arg(QLatin1String(when)));
        LoadDatabase(t.e);
        ASSERT_EQ(t.e.scheduler.TotalEvents(), 2);
        t.e.store.changeRows(t.e.logs, DeleteChange(t.e.scheduler.Events[0]));
        t.e.store.changeRows(t.e.logs, ReArmChange(t.e.scheduler.Events[1]));
        EXPECT_EQ(t.folder.query("SELECT COUNT(*) FROM Automation").toLongLong(), 1);
        EXPECT_EQ(t.folder.query("SELECT Active FROM Automation").toLongLong(), 1);
        EXPECT_EQ(t.folder.query("SELECT COUNT(*) FROM Fired").toLongLong(), 0);
        EXPECT_EQ(t.folder.query("SELECT IPAddr FROM Server").toString(), "0.0.0.0");
        EXPECT_TRUE(t.folder.errorLines().isEmpty());
    }
    {
        Loaded t;
        t.folder.createDatabase();
        Database db(t.folder.file(kDatabaseFileName), kEngineBusyTimeoutMs);
        Statement st(db, endless + "SELECT count(*) FROM r");
        try {
            st.next();
            ADD_FAILURE() << "an endless statement ended";
        } catch (const TarvoError& x) {
            EXPECT_TRUE(x.description().startsWith(
                QStringLiteral("Statement stopped after %1 ms").arg(kEngineBusyTimeoutMs + kStatementBudgetMs)))
                << x.description().toStdString();
        }
    }
}

// An editing tool that keeps the file in WAL mode and reads it all the time: the engine cannot
// switch it back, says so once, and still loads every edit the tool commits.
TEST(LoadDatabase, AFileKeptInWalModeIsReportedOnceAndItsEditsAreLoaded) {
    test::Harness h(test::WeekMoment(0, 8, 0));
    h.folder.createDatabase({TimedRow(1, 0, "10:00:00", "First")});
    Database tool(h.folder.file(kDatabaseFileName));
    tool.exec("PRAGMA journal_mode=WAL");
    auto edit = [&](int number) {
        tool.exec(QStringLiteral("INSERT INTO Automation (Number, Day, Time, Title, Type, Active) "
                                 "VALUES (%1, 0, '11:00:00', 'Edit', 0, 1)")
                      .arg(number));
        tool.exec("BEGIN");
        Statement(tool, "SELECT COUNT(*) FROM Automation").run();
    };
    edit(2);
    h.startUp();
    EXPECT_EQ(h.s().TotalEvents(), 2);
    for (int n = 3; n <= 4; ++n) {
        tool.exec("COMMIT");
        edit(n);
        h.tick(5);  // the file check
        EXPECT_EQ(h.s().TotalEvents(), n);
    }
    tool.exec("COMMIT");
    const QStringList errors = h.folder.errorLines();
    ASSERT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].contains("is in WAL journal mode")) << errors[0].toStdString();
}

}  // namespace
}  // namespace tarvo
