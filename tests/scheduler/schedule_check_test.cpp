// The check of a schedule: a database with a row for each way a row can fail lists each row
// once, with the line the engine would log for it; the worked rows of the database contract
// list nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include "scheduler/schedule_check.h"
#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/source_docs.h"
#include "support/test_support.h"
#include "uploads/file_bytes.h"

namespace tarvo {
namespace {

using test::SourceText;

std::vector<AutomationEvent> readRows(const test::Folder& folder) {
    const DatabaseRead read = InspectAutomationDatabase(folder.file(kDatabaseFileName));
    EXPECT_EQ(read.outcome, DatabaseRead::Read) << read.failure.toStdString();
    return read.rows;
}

TEST(ScheduleCheck, EveryKindOfProblemIsOneLineWithWhatTheEngineWouldLog) {
    test::Folder folder;
    folder.createDatabase();
    folder.sql(SourceText(QStringLiteral("tests/schedules/problems.sql")));
    test::FileBytes otherKind;  // output alphas where input alphas are asked for
    otherKind.words({300, 4, 0, 1}).text("Out1", 4);
    test::WriteFile(folder.file(QStringLiteral("not-alphas.alp")), otherKind.data);
    test::FileBytes noLayout;  // output alphas whose length matches no layout of the editing tool
    noLayout.words({300, 4, 0, 1}).text("Out1", 4).fill(7);
    test::WriteFile(folder.file(QStringLiteral("broken.alp")), noLayout.data);
    QDir(folder.path()).mkdir(QStringLiteral("folder.txt"));

    const std::vector<RowProblem> problems = CheckSchedule(readRows(folder), folder.path());
    const QString unable = QStringLiteral(" not executed - Unable to Send (%1)");
    const QString invalidFile = QStringLiteral(" not executed - Invalid File (%1)");
    const std::vector<std::pair<int, QString>> expected = {
        {0,
         "No Number: never runs - Number 0 is outside 1 to 32767 (a stored Number that is not a "
         "whole number of "
         "that range reads as 0)"},
        {1, "Day none: never runs - Day 7 is no day of the week"},
        {2, "Not on the clock: never runs - Time 24:00:00 is not on the clock"},
        {3, "No time of day: never runs - Time \"25:61:00\" is not a time of day"},
        {4,
         "Active true: never runs - Active -1 is none of 0 inactive, 1 active, 2 skip next, 3 run "
         "once"},
        {5, "Take from nowhere not executed - Invalid Crosspoint"},
        {6, "Latch no relay not executed - Invalid Relay"},
        {7, "No opto on not executed - Invalid Opto"},
        {8, "Select no source not executed - Invalid Source"},
        {9, "Select on no device not executed - Invalid Device ID"},
        {10, "Gain of no channel not executed - Invalid Channel"},
        {11, "Associate no relay not executed - Invalid Relay"},
        {12, "Associate no opto not executed - Invalid Opto"},
        {13, "File not there" + unable.arg("File not found: " + folder.file("missing.txt"))},
        {14, "Folder as file" + unable.arg("Not a file: " + folder.file("folder.txt"))},
        {15, "Message kind 2" + unable.arg("Message kind 2 has no content to send")},
        {16, "Peer by name" + unable.arg("Invalid peer address 'playout.local': four dotted decimal parts 0 to 255 wanted")},
        {17, "Peer not set" + unable.arg("Invalid peer address '0.0.0.0': not set")},
        {18, "Port too high" + unable.arg("Invalid peer port 70000")},
        {19, "Through the switcher" + unable.arg("Messages through the switcher are not sent")},
        {20, "No transport" + unable.arg("Unknown message transport 0")},
        {21, "Alphas not there" + invalidFile.arg("missing.alp: File not found")},
        {22, "Alphas of another kind" +
                 invalidFile.arg("not-alphas.alp starts with type word 300, not 200")},
        {23, "Alphas of no layout" + invalidFile.arg("broken.alp is refused by its reader")},
        {24, "No kind of file" + invalidFile.arg("FileType -1 loads nothing")},
        {25,
         "If opto 0 is on not executed - Opto inactive (every time: opto 0 is outside 1 to 16384)"},
        {26,
         "If relay 16385 is off not executed - Relay active (every time: relay 16385 is outside 1 "
         "to 16384)"},
        {27,
         "If source 3 is on output 0 not executed - Crosspoint inactive (every time: output 0 is "
         "outside 1 to 16384)"},
        {28, "Opto 0 on: never runs - opto 0 is outside 1 to 16384"},
        {29, "Relay 20000 on: never runs - relay 20000 is outside 1 to 16384"},
        {30, "No crosspoint change: never runs - tControl 0 names no crosspoint change"},
        {31, "Source 0 routed: never runs - source 0 is outside 1 to 16384"},
        {32, "Opto on no day: never runs - Day 7 is no day of the week"},
        {33,
         "Once, numbered twice: Number 33 is shared with another row, which the delete after its "
         "run removes too"},
        {34, "Opto 6 message: message never sent - Invalid peer address '0.0.0.0': not set"},
        {35, "No kind: never runs - Type -1 is no kind of event"},
        {36, "Serial port 193" + unable.arg("Invalid serial port 193")},
        {39, "Day as text: Day holds 'Wednesday', which is no number here: read as 0"},
        {40, "Nothing to do: does nothing - no action is set"},
        {41, "Serial on COM150: message sent only where COM150 exists - /dev/ttyS149 is not on this machine"},
        {37,
         "Source 3 on 12 takes 5: rows 37 and 38 trigger one another without end through their "
         "crosspoint "
         "actions"},
    };
    ASSERT_EQ(problems.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(problems[i].number, expected[i].first);
        EXPECT_EQ(problems[i].text, expected[i].second);
        EXPECT_TRUE(problems[i].text.startsWith(problems[i].title))
            << problems[i].text.toStdString();
        EXPECT_EQ(problems[i].warning, expected[i].first == 41);
    }
}

// Row `number`: when `source` (tControl 1, 2) or the output as a whole (3, 4) changes on `dest`,
// do `x` (1 take, 2 sum on, 3 sum off) of `take` to `to`.
AutomationEvent xpoint(int number, int dest, int source, int tcontrol, int x, int take, int to,
                       int day = 0) {
    AutomationEvent ev;
    ev.Title = QStringLiteral("Row %1").arg(number);
    ev.Type = kCrosspointTrigger;
    ev.Active = kActive;
    const int values[] = {number, day, dest, source, tcontrol, x, take, to};
    int16_t AutomationEvent::*const fields[] = {
        &AutomationEvent::Number,        &AutomationEvent::Day,      &AutomationEvent::TriggerDest,
        &AutomationEvent::TriggerSource, &AutomationEvent::tControl, &AutomationEvent::xcontrol,
        &AutomationEvent::SourceChan,    &AutomationEvent::DestChan};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        ev.*fields[i] = static_cast<int16_t>(values[i]);
    return ev;
}

// Crosspoint-triggered rows whose takes start one another are one line naming them; rows whose
// triggers cannot come again from their own takes are not.
TEST(ScheduleCheck, CrosspointTriggersThatStartOneAnotherWithoutEnd) {
    const QString pair =
        "Row 1: rows 1 and 2 trigger one another without end through their crosspoint actions";
    const struct {
        const char* name;
        std::vector<AutomationEvent> rows;
        QString found;  // empty: no problem
    } cases[] = {
        // clang-format off
        {"each takes the other's trigger", {xpoint(1, 12, 3, 1, 1, 5, 12), xpoint(2, 12, 5, 1, 1, 3, 12)}, pair},
        {"routed, then taken off by the other", {xpoint(1, 12, 5, 1, 1, 3, 12), xpoint(2, 12, 5, 2, 1, 5, 12)}, pair},
        {"emptied and filled", {xpoint(1, 12, 0, 3, 3, 3, 12), xpoint(2, 12, 0, 4, 2, 3, 12)}, pair},
        {"a round of three", {xpoint(4, 12, 3, 1, 1, 5, 12), xpoint(5, 12, 5, 1, 1, 7, 12), xpoint(6, 12, 7, 1, 1, 3, 12),
                              xpoint(7, 13, 9, 1, 1, 1, 12)},
         "Row 4: rows 4, 5 and 6 trigger one another without end through their crosspoint actions"},
        {"a take that changes nothing the first waits for", {xpoint(1, 12, 5, 2, 1, 3, 12), xpoint(2, 12, 3, 1, 1, 3, 12)}, ""},
        {"an output never taken off again", {xpoint(1, 12, 3, 1, 1, 5, 13), xpoint(2, 13, 5, 1, 1, 7, 12),
                                             xpoint(3, 12, 7, 1, 1, 3, 12)}, ""},
        {"one way only", {xpoint(1, 12, 3, 1, 1, 5, 12), xpoint(2, 12, 5, 1, 1, 7, 13)}, ""},
        {"on different days", {xpoint(1, 12, 3, 1, 1, 5, 12, 0), xpoint(2, 12, 5, 1, 1, 3, 12, 1)}, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<RowProblem> problems = CheckSchedule(c.rows, QString());
        QStringList texts;
        for (const RowProblem& p : problems) texts << p.text;
        EXPECT_EQ(texts, c.found.isEmpty() ? QStringList() : QStringList{c.found});
    }
}

TEST(ScheduleCheck, TheWorkedRowsOfTheDatabaseContractHaveNoProblem) {
    test::Folder folder;
    folder.createDatabase();
    folder.sql(SourceText(QStringLiteral("docs/examples/worked-rows.sql")));
    test::FileBytes names;  // the input names that row 9 loads
    names.words({200, 4, 0, 3}).text("Mic2", 4).text("mic1", 4).text("Tape", 4);
    names.fill(3).byte(0).byte(0).byte(1).fill(3 * 256);
    test::WriteFile(folder.file(QStringLiteral("inputs.alp")), names.data);
    QFile::link(QStringLiteral("/dev/null"), folder.file(QStringLiteral("COM3")));  // row 8's port

    const std::vector<AutomationEvent> rows = readRows(folder);
    EXPECT_EQ(rows.size(), 14u);
    for (const RowProblem& p : CheckSchedule(rows, folder.path()))
        ADD_FAILURE() << p.text.toStdString();
    // The same file, gone: the one row that loads it says so.
    QFile::remove(folder.file(QStringLiteral("inputs.alp")));
    const std::vector<RowProblem> problems = CheckSchedule(rows, folder.path());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].number, 9);
}

// The check reads a file as it is: an older schema stays older, nothing is written beside it,
// and the rows the engine would leave out are listed as such.
TEST(ScheduleCheck, ReadsAFileWithoutChangingItAndListsTheRowsBeyondTheLimit) {
    test::Folder folder;
    folder.createDatabase();
    folder.sql("ALTER TABLE Automation DROP COLUMN FileChannel1");
    folder.sql("UPDATE Info SET Version = '17'");
    const QString path = folder.file(kDatabaseFileName);
    {
        Database db(path);
        Transaction tx(db);
        Statement st(db,
                     "INSERT INTO Automation (Number, Day, Time, Title, Active, Type) VALUES (?1, "
                     "0, '10:00:00', ?2, 1, 0)");
        const auto insert = [&](int number, const QString& title) {
            st.reset();
            st.bind(1, static_cast<int64_t>(number));
            st.bind(2, title);
            st.run();
        };
        insert(101, "Beyond two");
        for (int n = -32768; n <= -2; ++n) insert(n, "Filler");  // as many as the engine loads
        insert(100, "Beyond one");
        tx.commit();
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    const QDateTime modified = QFileInfo(path).lastModified();

    const std::vector<AutomationEvent> rows = readRows(folder);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kMaxEvents) + 2);
    std::vector<RowProblem> problems = CheckSchedule(rows, folder.path());
    // The filler's Numbers are no row numbers either: each is left out by the load.
    ASSERT_EQ(problems.size(), static_cast<std::size_t>(kMaxEvents) + 2);
    EXPECT_EQ(
        problems.front(),
        (RowProblem{
            -32768, "Filler",
            "Filler: never runs - Number -32768 is outside 1 to 32767 (a stored Number that is not "
            "a whole number of that range reads as 0)"}));
    problems.erase(problems.begin(), problems.end() - 2);
    const QString beyond =
        QStringLiteral(": never runs - only the first 32767 rows in Number order are loaded");
    EXPECT_EQ(problems, (std::vector<RowProblem>{{100, "Beyond one", "Beyond one" + beyond},
                                                 {101, "Beyond two", "Beyond two" + beyond}}));

    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll() == before);
    EXPECT_EQ(QFileInfo(path).lastModified(), modified);
    EXPECT_FALSE(Database(path).hasColumn("Automation", "FileChannel1"));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{kDatabaseFileName});
}

TEST(ScheduleCheck, AFileThatCannotBeReadSaysWhyAndWritesNothing) {
    test::Folder folder;
    test::WriteFile(folder.file(kDatabaseFileName),
                    QByteArray("not a database, only a page of text to read......", 48));
    const DatabaseRead read = InspectAutomationDatabase(folder.file(kDatabaseFileName));
    EXPECT_EQ(read.outcome, DatabaseRead::Failed);
    EXPECT_FALSE(read.failure.isEmpty());
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{kDatabaseFileName});
    EXPECT_EQ(InspectAutomationDatabase(folder.file("none.mdb")).outcome, DatabaseRead::Missing);
}

}  // namespace
}  // namespace tarvo
