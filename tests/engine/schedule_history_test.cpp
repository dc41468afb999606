#include <gtest/gtest.h>

#include "engine/engine.h"
#include "store/engine_record.h"
#include "store/load_database.h"
#include "store/schedule_edit.h"
#include "store/sqlite.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Harness;
using test::InsertRows;
using test::TimedRow;
using test::WeekMoment;

struct HistoryRig {
    Harness h{WeekMoment(0, 8, 59, 50)};
    HistoryRig() {
        h.folder.createDatabase({TimedRow(1, 0, QStringLiteral("09:00:00"), QStringLiteral("Once"), kRunOnce),
                                 TimedRow(2, 0, QStringLiteral("10:00:00"), QStringLiteral("News")),
                                 TimedRow(3, 0, QStringLiteral("11:00:00"), QStringLiteral("Weather"))});
        h.startUp();
    }
    QString db() const { return h.folder.file(kDatabaseFileName); }
    QString record() const { return h.folder.file(kEngineRecordFileName); }
    std::vector<AutomationEvent> rows(std::optional<int16_t> number = std::nullopt) const {
        Database d(db());
        std::vector<AutomationEvent> out = ReadAllRows(d);
        if (number) std::erase_if(out, [&](const AutomationEvent& r) { return r.Number != *number; });
        return out;
    }
    std::vector<ScheduleChange> history() const {
        const std::unique_ptr<Database> d = OpenHistory(record(), 1000);
        return ScheduleHistory(*d).list({});
    }
    EditOutcome edit(const QString& who, std::vector<RowEdit> edits, int busyMs = 500) const {
        return ApplyScheduleEdit(db(), record(), who, QStringLiteral("edit"), edits, busyMs);
    }
    // The file is looked at every fifth tick.
    void reload() { h.tick(5); }
    QStringList outsideLines() const {
        return h.folder.activityLines().filter(QStringLiteral("changed by another program"));
    }
};

// Who changed what, as the history tells it: an editor, the engine's own upkeep and another
// program, each once, whatever order they come in between two reloads.
TEST(ScheduleHistory, EachChangeIsRecordedOnceWithWhoMadeIt) {
    HistoryRig r;
    ASSERT_TRUE(r.history().empty());  // the first load is where the history starts

    // An editor retitles row 2; the engine reads it and finds nothing unexplained.
    AutomationEvent news = r.rows(2).front();
    AutomationEvent retitled = news;
    retitled.Title = QStringLiteral("News at ten");
    EditOutcome done = r.edit(QStringLiteral("ann"), {{2, RowVersion(news), retitled}});
    ASSERT_EQ(done.result, EditOutcome::Done);
    r.reload();
    EXPECT_TRUE(r.outsideLines().isEmpty());

    // Another program changes row 3 and adds row 4; between the same two reloads an editor
    // removes row 2 and the one-time row 1 runs and is deleted by the engine.
    r.h.folder.sql(QStringLiteral("UPDATE Automation SET Title = 'Weather!' WHERE Number = 3"));
    InsertRows(r.db(), {TimedRow(4, 0, QStringLiteral("12:00:00"), QStringLiteral("Noon"))});
    done = r.edit(QStringLiteral("bob"), {{2, RowVersion(r.rows(2).front()), std::nullopt}});
    ASSERT_EQ(done.result, EditOutcome::Done);
    r.h.runUntil(WeekMoment(0, 9, 0, 3));
    r.h.settle();
    r.reload();
    ASSERT_TRUE(r.rows(1).empty());

    const std::vector<ScheduleChange> h = r.history();  // newest first
    std::map<QString, std::vector<const ScheduleChange*>> byWho;
    for (const ScheduleChange& c : h) byWho[c.who].push_back(&c);
    ASSERT_EQ(byWho[QStringLiteral("ann")].size(), 1u);
    ASSERT_EQ(byWho[QStringLiteral("bob")].size(), 1u);
    ASSERT_EQ(byWho[kEngineEditor].size(), 1u);
    ASSERT_EQ(byWho[kOutsideEditor].size(), 1u);
    const ScheduleChange& outside = *byWho[kOutsideEditor].front();
    ASSERT_EQ(outside.rows.size(), 2u);
    EXPECT_EQ(outside.rows[0].before->Title, QStringLiteral("Weather"));
    EXPECT_EQ(outside.rows[0].after->Title, QStringLiteral("Weather!"));
    EXPECT_FALSE(outside.rows[1].before);
    EXPECT_EQ(outside.rows[1].after->Number, 4);
    const ScheduleChange& engine = *byWho[kEngineEditor].front();
    ASSERT_EQ(engine.rows.size(), 1u);
    EXPECT_EQ(engine.rows[0].number, 1);
    EXPECT_FALSE(engine.rows[0].after);
    EXPECT_EQ(r.outsideLines(),
              QStringList{QStringLiteral("Automation table changed by another program: 1 added, 1 changed, 0 removed")});

    // The next reload after nothing changed adds nothing.
    r.h.folder.sql(QStringLiteral("UPDATE Server SET IPPort = IPPort"));
    r.reload();
    EXPECT_EQ(r.history().size(), h.size());
}

// A save names the version it changed: a row changed meanwhile (here by the engine's own delete
// of a one-time row after its run, or by another editor) refuses it whole, and nothing changes.
TEST(ScheduleHistory, ASaveOfARowChangedMeanwhileChangesNothing) {
    HistoryRig r;
    const AutomationEvent once = r.rows(1).front();
    const AutomationEvent weather = r.rows(3).front();
    r.h.runUntil(WeekMoment(0, 9, 0, 3));
    r.h.settle();
    ASSERT_TRUE(r.rows(1).empty());

    AutomationEvent moved = once;
    moved.Time = QStringLiteral("09:30:00");
    AutomationEvent renamed = weather;
    renamed.Title = QStringLiteral("Weather, renamed");
    struct Case {
        const char* what;
        std::vector<RowEdit> edits;
        EditOutcome::Result result;
        std::size_t staleEdit;
        std::size_t current;
    };
    AutomationEvent newTwo = once;
    newTwo.Number = 2;
    AutomationEvent otherThree = weather;
    otherThree.Number = 3;
    otherThree.Title = QStringLiteral("another three");
    const Case cases[] = {
        {"the row the engine deleted", {{3, RowVersion(weather), renamed}, {1, RowVersion(once), moved}},
         EditOutcome::Stale, 1, 0},
        {"a new row on a Number taken meanwhile", {{2, QString(), newTwo}}, EditOutcome::Stale, 0, 1},
        {"two rows left on one Number", {{1, QString(), [&] { AutomationEvent e = otherThree; e.Number = 1; return e; }()},
                                          {3, RowVersion(weather), [&] { AutomationEvent e = weather; e.Number = 1; return e; }()}},
         EditOutcome::Invalid, 0, 0},
    };
    const std::size_t entries = r.history().size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const EditOutcome out = r.edit(QStringLiteral("ann"), c.edits);
        EXPECT_EQ(out.result, c.result);
        if (c.result == EditOutcome::Stale) {
            ASSERT_EQ(out.stale.size(), 1u);
            EXPECT_EQ(out.stale[0].edit, c.staleEdit);
            EXPECT_EQ(out.stale[0].current.size(), c.current);
        }
        EXPECT_EQ(r.rows(3).front().Title, QStringLiteral("Weather"));
        EXPECT_EQ(r.history().size(), entries);
    }

    // Another program holding the file: the save waits its time and gives up, unmade.
    Database holder(r.db());
    holder.exec(QStringLiteral("BEGIN EXCLUSIVE"));
    EXPECT_EQ(r.edit(QStringLiteral("ann"), {{3, RowVersion(weather), renamed}}, 50).result, EditOutcome::Locked);
    holder.exec(QStringLiteral("ROLLBACK"));
    EXPECT_EQ(r.edit(QStringLiteral("ann"), {{3, RowVersion(weather), renamed}}).result, EditOutcome::Done);
}

// Rows paired by content, whatever the order or how many share a Number.
TEST(ScheduleHistory, RowsArePairedByContentAndTheNewestEntriesKept) {
    auto row = [](int16_t n, const char* title) {
        AutomationEvent e;
        e.Number = n;
        e.Title = QString::fromUtf8(title);
        return e;
    };
    const std::vector<AutomationEvent> before{row(1, "a"), row(5, "x"), row(5, "y"), row(7, "gone")};
    const std::vector<AutomationEvent> after{row(1, "a"), row(5, "y"), row(5, "z"), row(9, "new")};
    const std::vector<RowChange> d = DiffRows(before, after);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].before->Title, QStringLiteral("x"));
    EXPECT_EQ(d[0].after->Title, QStringLiteral("z"));
    EXPECT_FALSE(d[1].after);
    EXPECT_FALSE(d[2].before);
    std::vector<AutomationEvent> applied = before;
    ApplyChanges(applied, d);
    EXPECT_TRUE(DiffRows(applied, after).empty());

    // The history keeps its newest entries, with their rows, and lets the older ones go.
    test::Folder folder;
    const std::unique_ptr<Database> db = OpenHistory(folder.file(kEngineRecordFileName), 1000);
    ScheduleHistory history(*db, 3);
    for (int i = 0; i < 5; ++i) history.append({0, QDateTime::currentDateTimeUtc(), QStringLiteral("ann"), QStringLiteral("edit"), d});
    std::vector<int64_t> ids;
    for (const ScheduleChange& c : history.list({})) ids.push_back(c.id);
    EXPECT_EQ(ids, (std::vector<int64_t>{5, 4, 3}));
    Statement rows(*db, QStringLiteral("SELECT COUNT(*) FROM schedule_change_rows"));
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(ToInteger(rows.value(0), 0, 100), 9);
}

}  // namespace
}  // namespace tarvo
