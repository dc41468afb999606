// View / Schedule with a week of 200 rows. With TARVO_SCREENSHOT_DIR set the test saves the
// window's picture there as schedule_window.png (scripts/screenshot --schedule makes the one in
// docs/ with it).
#include <gtest/gtest.h>

#include <QDialog>
#include <QHeaderView>
#include <QLineEdit>

#include "ui/schedule_window.h"
#include "ui_fixture.h"

namespace tarvo::test {
namespace {

int visibleRows(QTreeWidget* list) {
    int shown = 0;
    for (int g = 0; g < list->topLevelItemCount(); ++g)
        for (int r = 0; r < list->topLevelItem(g)->childCount(); ++r)
            shown += !list->topLevelItem(g)->isHidden() && !list->topLevelItem(g)->child(r)->isHidden();
    return shown;
}

TEST(ScheduleWindow, AWeekOfTwoHundredRowsByDayWithTheCheckFilterAndWhatHasPassed) {
    WindowHarness h;  // Monday 09:00
    const QStringList shows = {"Morning Show to TX1", "News Jingle Salvo", "Studio 2 Mic Live",
                               "Weekend Feed to TX2", "Evening News Handover", "Traffic Bulletin to All Outputs"};
    std::vector<Row> rows;
    for (int i = 0; i < 200; ++i) {
        Row row = TimedRow(i + 1, i % 7, QTime(6, 0).addSecs(i / 7 * 1800).toString("HH:mm:ss"),
                           QStringLiteral("%1 %2").arg(shows[i % shows.size()]).arg(i + 1));
        row["xcontrol"] = 1;
        row["SourceChan"] = 1 + i % 12;
        row["DestChan"] = 1 + i % 4;
        rows.push_back(row);
    }
    rows[0]["Title"] = "Broken take";  // Monday 06:00: next Monday's, within the week
    rows[0]["DestChan"] = 0;
    h.folder.createDatabase(rows);
    LoadDatabase(h.e());
    h.window->show();
    h.action("mnuSchedule")->trigger();
    processEvents();
    auto* schedule = h.window->findChild<QDialog*>("frmSchedule");
    ASSERT_NE(schedule, nullptr);
    auto* timed = schedule->findChild<QTreeWidget*>("lvTimed");

    // Monday from 09:00, Tuesday to Sunday, and next Monday up to 09:00.
    ASSERT_EQ(timed->topLevelItemCount(), 8);
    EXPECT_EQ(timed->topLevelItem(0)->text(0), "Monday 2026-12-07");
    EXPECT_EQ(timed->topLevelItem(7)->text(0), "Monday 2026-12-14");
    EXPECT_EQ(visibleRows(timed), 200);
    EXPECT_GE(timed->columnWidth(1), timed->fontMetrics().horizontalAdvance("Traffic Bulletin to All Outputs 200"));

    QTreeWidgetItem* broken = timed->topLevelItem(7)->child(0);
    EXPECT_EQ(broken->text(1), "Broken take");
    EXPECT_TRUE(broken->text(5).contains("not executed")) << broken->text(5).toStdString();

    // An hour on: the rows after 09:00 up to 10:00 are greyed as passed, the rest not.
    h.clock.setNow(WeekMoment(0, 10, 0));
    static_cast<ScheduleWindow*>(schedule)->markPassed();
    QTreeWidgetItem* monday = timed->topLevelItem(0);
    int passed = 0;
    for (int r = 0; r < monday->childCount(); ++r) passed += monday->child(r)->toolTip(0) == "passed";
    EXPECT_EQ(passed, 2);  // 09:30, 10:00

    if (const QString dir = qEnvironmentVariable("TARVO_SCREENSHOT_DIR"); !dir.isEmpty()) {
        EXPECT_TRUE(schedule->grab().save(dir + "/schedule_window.png", "PNG"));
    }

    auto* filter = schedule->findChild<QLineEdit*>("txtFilter");
    filter->setText("broken");
    EXPECT_EQ(visibleRows(timed), 1);
    filter->clear();
    EXPECT_EQ(visibleRows(timed), 200);
}

}  // namespace
}  // namespace tarvo::test
