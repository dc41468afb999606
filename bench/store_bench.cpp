// Loading a full table: 32767 rows, the most the engine's 16-bit indices allow.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QStringList>

#include "store/load_database.h"
#include "store/sqlite.h"
#include "support/test_support.h"

namespace {

using namespace tarvo;

void fillTable(const test::Folder& folder, int rows, bool reversed) {
    folder.createDatabase();
    Database db(folder.file(kDatabaseFileName));
    Transaction t(db);
    Statement st(db,
                 "INSERT INTO Automation (Number, Day, Time, Title, Active, Type, Priority, Delay, xcontrol, "
                 "SourceChan, DestChan, Gain, FileType, Message, FileName) VALUES (?1, ?2, ?3, ?4, 1, ?5, ?6, ?7, 1, 5, 12, "
                 "1024, 0, ' ', ' ')");
    for (int i = 0; i < rows; ++i) {
        const int n = reversed ? rows - 1 - i : i;
        st.reset();
        st.bind(1, static_cast<int64_t>(n));
        st.bind(2, static_cast<int64_t>(n % 7));
        const int secs = (n * 7919) % 86400;  // spread over the day, many ties on the same second
        st.bind(3, QStringLiteral("%1:%2:%3")
                       .arg(secs / 3600, 2, 10, QLatin1Char('0'))
                       .arg(secs / 60 % 60, 2, 10, QLatin1Char('0'))
                       .arg(secs % 60 / 10 * 10, 2, 10, QLatin1Char('0')));
        st.bind(4, QStringLiteral("Event %1").arg(n));
        st.bind(5, static_cast<int64_t>(n % 11 == 0 ? 1 + n % 5 : 0));
        st.bind(6, static_cast<int64_t>(n % 3));
        st.bind(7, static_cast<int64_t>(n % 4 * 10));
        st.run();
    }
    t.commit();
}

void BM_Load32767Rows(benchmark::State& state) {
    test::Folder folder;
    fillTable(folder, 32767, state.range(0) != 0);
    ManualClock clock(test::WeekMoment(0, 8, 0));
    test::RecordingView view;
    Engine e(clock, view, folder.path());
    for (auto _ : state) {
        LoadDatabase(e);
        benchmark::DoNotOptimize(e.scheduler.Events.data());
    }
    if (e.scheduler.TotalEvents() != 32767) state.SkipWithError("not all rows loaded");
    state.counters["rows"] = e.scheduler.TotalEvents();
}
BENCHMARK(BM_Load32767Rows)->Arg(0)->Arg(1)->ArgNames({"reversed"})->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// A full table that the loader cannot read field by field: every column but a few missing (a
// file from another tool), or every number column holding a value that does not convert.
void BM_Load32767RowsWithUnreadableFields(benchmark::State& state) {
    test::Folder folder;
    const bool missing = state.range(0) == 0;
    {
        folder.createDatabase();
        Database db(folder.file(kDatabaseFileName));
        Transaction t(db);
        if (missing) {
            db.exec("DROP TABLE Automation");
            db.exec("CREATE TABLE Automation (Number INTEGER, Day INTEGER, Time TEXT, Title TEXT)");
        }
        Statement st(db, "INSERT INTO Automation (Number, Day, Time, Title) "
                         "VALUES (?1, ?2, '08:00:00', 'Event')");
        for (int i = 0; i < 32767; ++i) {
            st.reset();
            st.bind(1, static_cast<int64_t>(i));
            st.bind(2, static_cast<int64_t>(i % 7));
            st.run();
        }
        if (!missing) {
            QStringList numbers;
            for (const char* c : {"SourceChan", "DestChan", "ReqSource", "ReqDest", "Active", "Relay",
                                  "Opto", "Salvo", "VChan", "Gain", "xcontrol", "rcontrol", "scontrol",
                                  "vcontrol", "Type", "Condition", "FileType", "Priority", "Delay", "Color"})
                numbers << QStringLiteral("[%1] = X'00'").arg(QLatin1String(c));
            db.exec(QStringLiteral("UPDATE Automation SET ") + numbers.join(QStringLiteral(", ")));
        }
        t.commit();
    }
    ManualClock clock(test::WeekMoment(0, 8, 0));
    test::RecordingView view;
    Engine e(clock, view, folder.path());
    for (auto _ : state) {
        LoadDatabase(e);
        benchmark::DoNotOptimize(e.scheduler.Events.data());
    }
    if (e.scheduler.TotalEvents() != 32767) state.SkipWithError("not all rows loaded");
}
BENCHMARK(BM_Load32767RowsWithUnreadableFields)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"badValues"})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_SortOnly32767Rows(benchmark::State& state) {
    test::Folder folder;
    fillTable(folder, 32767, true);
    ManualClock clock(test::WeekMoment(0, 8, 0));
    test::RecordingView view;
    Engine e(clock, view, folder.path());
    LoadDatabase(e);
    const auto loaded = e.scheduler.Events;
    for (auto _ : state) {
        state.PauseTiming();
        e.scheduler.Events = loaded;
        state.ResumeTiming();
        SortEvents(e.scheduler.Events);
    }
}
BENCHMARK(BM_SortOnly32767Rows)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
