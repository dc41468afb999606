// What tarvo-engined --check and --preview write: one line per problem or entry for a person,
// the same as one JSON document for a tool, and exit 2 for a database that cannot be read.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

#include "schedule_report.h"
#include "support/test_support.h"

namespace tarvo::cli {
namespace {

using test::Row;
using test::TimedRow;
using test::WeekMoment;

TEST(ScheduleReport, ThePreviewAsLinesAndAsJson) {
    test::Folder folder;
    Row take = TimedRow(1, 0, "09:00:00", "News to TX1");
    take["xcontrol"] = 1, take["SourceChan"] = 5, take["DestChan"] = 12, take["Condition"] = 4,
    take["ReqRelay"] = 4;
    Row delayed = TimedRow(2, 1, "10:00:00", "Later", 3);
    delayed["Delay"] = 600, delayed["scontrol"] = 1, delayed["Salvo"] = 1;
    const Row opto{{"Number", 3}, {"Type", 1},          {"Opto", 5},
                   {"Day", 0},    {"Time", "24:00:00"}, {"Title", "Mic live"},
                   {"Active", 1}, {"ocontrol", 1},      {"OptoOut", 3}};
    folder.createDatabase({take, delayed, opto});

    const ManualClock clock(WeekMoment(0, 8, 0));
    const QDateTime now = clock.now();
    const Report lines = ScheduleReport(folder.path(), 7, false, now, QTimeZone::utc());
    EXPECT_EQ(lines.exitCode, 0);
    EXPECT_EQ(lines.out,
              "Timed events from 2026-12-07 08:00:00 to 2026-12-14 08:00:00 (UTC)\n"
              "2026-12-07 Monday    09:00:00  News to TX1: take 5 to 12, if relay 4 is off\n"
              "2026-12-08 Tuesday   10:10:00  Later: salvo 1 (delayed 600 s from 10:00:00; once, "
              "then deleted)\n"
              "\n"
              "Triggered events\n"
              "opto 5 on\n"
              "  Monday    Mic live: opto 3 on\n");

    const Report json = ScheduleReport(folder.path(), 7, true, now, QTimeZone::utc());
    EXPECT_EQ(json.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(doc["from"].toString(), "2026-12-07T08:00:00Z");
    const QJsonArray timed = doc["timed"].toArray();
    ASSERT_EQ(timed.size(), 2);
    const QJsonObject later = timed[1].toObject();
    EXPECT_EQ(later["date"].toString(), "2026-12-08");
    EXPECT_EQ(later["day"].toString(), "Tuesday");
    EXPECT_EQ(later["time"].toString(), "10:10:00");
    EXPECT_EQ(later["number"].toInt(), 2);
    EXPECT_EQ(later["delayed"].toInt(), 600);
    EXPECT_TRUE(later["once"].toBool());
    EXPECT_EQ(later["actions"].toArray(), QJsonArray{"salvo 1"});
    EXPECT_EQ(timed[0].toObject()["conditions"].toArray(), QJsonArray{"if relay 4 is off"});
    const QJsonArray triggered = doc["triggered"].toArray();
    ASSERT_EQ(triggered.size(), 1);
    EXPECT_EQ(triggered[0].toObject()["trigger"].toString(), "opto 5 on");
    EXPECT_EQ(triggered[0].toObject()["events"].toArray()[0].toObject()["title"].toString(),
              "Mic live");
}

TEST(ScheduleReport, TheCheckExitsByWhatItFound) {
    test::Folder folder;
    const ManualClock clock(WeekMoment(0, 8, 0));
    const QDateTime now = clock.now();
    const Report missing = ScheduleReport(folder.path(), 0, false, now, QTimeZone::utc());
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.startsWith("there is no database ")) << missing.err.toStdString();

    Row fine = TimedRow(1, 0, "09:00:00", "Fine");
    fine["scontrol"] = 1;
    fine["Salvo"] = 1;
    folder.createDatabase({fine});
    // As the editing tool leaves it, the switcher's address is not set.
    const Report unset = ScheduleReport(folder.path(), 0, false, now, QTimeZone::utc());
    EXPECT_EQ(unset.exitCode, 1);
    EXPECT_EQ(unset.out, "Settings: the switcher's address is not set (Server IPAddr 0.0.0.0): the engine never "
                         "connects\n1 problem in 1 row\n");
    folder.sql("UPDATE Server SET IPAddr = '127.0.0.1'");
    const Report clean = ScheduleReport(folder.path(), 0, false, now, QTimeZone::utc());
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_EQ(clean.out, "No problems in 1 row\n");

    folder.sql(
        "INSERT INTO Automation (Number, Day, Time, Title, Type, Active) VALUES (2, 7, '09:00:00', "
        "'Parked', 0, 1)");
    const Report found = ScheduleReport(folder.path(), 0, false, now, QTimeZone::utc());
    EXPECT_EQ(found.exitCode, 1);
    EXPECT_EQ(found.out,
              "Number 2: Parked: never runs - Day 7 is no day of the week\n1 problem in 2 rows\n");
    const QJsonObject doc =
        QJsonDocument::fromJson(
            ScheduleReport(folder.path(), 0, true, now, QTimeZone::utc()).out.toUtf8())
            .object();
    EXPECT_EQ(doc["rows"].toInt(), 2);
    EXPECT_EQ(
        doc["problems"].toArray(),
        (QJsonArray{QJsonObject{{"number", 2},
                                {"title", "Parked"},
                                {"text", "Parked: never runs - Day 7 is no day of the week"},
                                {"warning", false}}}));
    EXPECT_EQ(doc["settings"].toArray(), QJsonArray());

    // A warning alone (a serial device only the target may have) is said and passes.
    folder.sql("DELETE FROM Automation WHERE Number = 2");
    folder.sql("UPDATE Automation SET mcontrol = 1, mtype = 2, Message = 'x', MCommPort = 149 WHERE Number = 1");
    const Report warned = ScheduleReport(folder.path(), 0, false, now, QTimeZone::utc());
    EXPECT_EQ(warned.exitCode, 0);
    EXPECT_EQ(warned.out, "Number 1: warning: Fine: message sent only where COM150 exists - /dev/ttyS149 is not on "
                          "this machine\nNo problems in 1 row\n");

    folder.sql("UPDATE Type SET Type = 'Inventory'");
    const Report other = ScheduleReport(folder.path(), 7, false, now, QTimeZone::utc());
    EXPECT_EQ(other.exitCode, 2);
    EXPECT_TRUE(other.err.contains("Invalid Database File")) << other.err.toStdString();
    EXPECT_TRUE(other.out.isEmpty());
}

}  // namespace
}  // namespace tarvo::cli
