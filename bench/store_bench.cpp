// Loading a full table: 32767 rows, the most the engine's 16-bit indices allow.
#include <benchmark/benchmark.h>

#include <chrono>

#include <sqlite3.h>

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include "engine/engine.h"
#include "logs/logs.h"
#include "store/engine_record.h"
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
        st.bind(1, static_cast<int64_t>(n + 1));  // Numbers 1 to 32767: a row of Number 0 is left out
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

// The same reload with the engine's record open, as tarvo-engined runs: each load also compares
// the table with the one it read before, for the schedule's history (here nothing changed, so
// every row is compared and none recorded).
void BM_Reload32767RowsWithHistory(benchmark::State& state) {
    test::Folder folder;
    fillTable(folder, 32767, false);
    ManualClock clock(test::WeekMoment(0, 8, 0));
    test::RecordingView view;
    Engine e(clock, view, folder.path());
    e.record.open(clock.now().toUTC());
    LoadDatabase(e);
    for (auto _ : state) {
        LoadDatabase(e);
        benchmark::DoNotOptimize(e.scheduler.Events.data());
    }
    if (e.scheduler.TotalEvents() != 32767 || !e.store.seenRows) state.SkipWithError("not all rows loaded");
}
BENCHMARK(BM_Reload32767RowsWithHistory)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

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

// SQLite alone: every column of every row stepped through the C API, read-only, in the order
// the rows are stored. The floor any load of these rows stands on. `flags` are added to the
// open's (SQLITE_OPEN_NOMUTEX drops the locking of every call, as the engine's connections do).
int64_t stepEveryColumn(const QString& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY | flags, nullptr) !=
        SQLITE_OK)
        return -1;
    sqlite3_stmt* st = nullptr;
    int64_t seen = 0;
    if (sqlite3_prepare_v2(db, "SELECT * FROM Automation", -1, &st, nullptr) == SQLITE_OK) {
        const int columns = sqlite3_column_count(st);
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 0; c < columns; ++c) {
                switch (sqlite3_column_type(st, c)) {
                    case SQLITE_INTEGER:
                        seen += sqlite3_column_int64(st, c);
                        break;
                    case SQLITE_FLOAT:
                        seen += static_cast<int64_t>(sqlite3_column_double(st, c));
                        break;
                    case SQLITE_TEXT:
                        seen +=
                            sqlite3_column_text(st, c) != nullptr ? sqlite3_column_bytes(st, c) : 0;
                        break;
                    case SQLITE_BLOB:
                        seen +=
                            sqlite3_column_blob(st, c) != nullptr ? sqlite3_column_bytes(st, c) : 0;
                        break;
                    default:
                        break;
                }
            }
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return seen;
}

// The table of bench/full_table.sql: a value in every one of the 69 columns.
void fillFullTable(const test::Folder& folder) {
    folder.createDatabase();
    QFile sql(QStringLiteral(TARVO_SOURCE_DIR "/bench/full_table.sql"));
    if (!sql.open(QIODevice::ReadOnly)) throw std::runtime_error("bench/full_table.sql not found");
    folder.sql(QString::fromUtf8(sql.readAll()));
}

// The whole load as start-up does it (upgrade check, read, conversions, sort, trigger lists,
// next event) beside SQLite alone stepping the same rows, alternately in each iteration so that
// both see the same machine. The time is the load's; "floor_ms" is SQLite's with the default
// open (as a plain C program has it), "ratio" the load over that floor; "floor_nomutex_ms" and
// "ratio_nomutex" the same against a floor opened without SQLite's locking.
void BM_LoadBesideSQLite(benchmark::State& state) {
    test::Folder folder;
    fillFullTable(folder);
    ManualClock clock(test::WeekMoment(0, 8, 0));
    test::RecordingView view;
    Engine e(clock, view, folder.path());
    LoadDatabase(e);  // the schema is up to date from here on, as after the first start
    using Steady = std::chrono::steady_clock;
    double floorSeconds = 0;
    double bareSeconds = 0;
    double loadSeconds = 0;
    for (auto _ : state) {
        const auto t00 = Steady::now();
        benchmark::DoNotOptimize(stepEveryColumn(e.store.DatabasePath, SQLITE_OPEN_NOMUTEX));
        const auto t0 = Steady::now();
        benchmark::DoNotOptimize(stepEveryColumn(e.store.DatabasePath, 0));
        const auto t1 = Steady::now();
        LoadDatabase(e);
        ReselectNextEvent(e);
        const auto t2 = Steady::now();
        benchmark::DoNotOptimize(e.scheduler.Events.data());
        const double load = std::chrono::duration<double>(t2 - t1).count();
        floorSeconds += std::chrono::duration<double>(t1 - t0).count();
        bareSeconds += std::chrono::duration<double>(t0 - t00).count();
        loadSeconds += load;
        state.SetIterationTime(load);
        view.next.clear();
        view.history.clear();
    }
    if (e.scheduler.TotalEvents() != 32767) state.SkipWithError("not all rows loaded");
    state.counters["floor_ms"] =
        benchmark::Counter(floorSeconds * 1000, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = loadSeconds / floorSeconds;
    state.counters["floor_nomutex_ms"] =
        benchmark::Counter(bareSeconds * 1000, benchmark::Counter::kAvgIterations);
    state.counters["ratio_nomutex"] = loadSeconds / bareSeconds;
}
BENCHMARK(BM_LoadBesideSQLite)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
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

// The engine record's writes around one run: the entry before its first action (flushed to
// the disk when it guards a timed occurrence, not for a triggered run that owes nothing) and its
// end. Wall time: the flush is the point.
void BM_RecordRun(benchmark::State& state) {
    const bool durable = state.range(0) != 0;
    test::Folder folder;
    ManualClock clock(test::WeekMoment(0, 8, 0));
    Logs logs(clock, folder.path());
    EngineRecord record(logs, folder.file(kEngineRecordFileName));
    record.open(clock.now().toUTC());
    int day = 0;
    for (auto _ : state) {
        RunStart start{1, QStringLiteral("Morning take"), true, std::nullopt, std::nullopt, QDateTime(), 0};
        if (durable) {
            start.occurrence = RecordedOccurrence{1, ++day, 32400};
            start.occurrenceAt = clock.now().toUTC();
        }
        record.endRun(record.beginRun(start));
    }
}
BENCHMARK(BM_RecordRun)->ArgName("timed")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
