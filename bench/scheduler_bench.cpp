// The schedule's figures: a simulated week of a large table on the manual clock, and how late
// after its second a timed event is decided on the real clock, with the main loop's tick aligned
// to each half-second and with a plain repeating 500 ms timer.
#include <algorithm>
#include <vector>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "engine/main_loop.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace {

using namespace tarvo;

void BM_SimulatedWeek2000Events(benchmark::State& state) {
    std::vector<test::Row> rows;
    for (int n = 0; n < 2000; ++n) {
        const int secs = (n * 4409) % 86400;
        rows.push_back(test::TimedRow(n + 1, n % 7, QTime(0, 0).addSecs(secs).toString("hh:mm:ss"),
                                      QStringLiteral("Event %1").arg(n)));
    }
    int decided = 0;
    for (auto _ : state) {
        test::Harness h(test::WeekMoment(0, 0, 0, 0, 2));
        h.folder.createDatabase(rows);
        h.startUp();
        h.runUntil(test::WeekMoment(6, 23, 59, 59, 500));
        decided = static_cast<int>(h.view.history.size());
    }
    state.counters["events_decided"] = decided;
    state.counters["ticks"] = 7 * 86400 * 2;
}
BENCHMARK(BM_SimulatedWeek2000Events)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);

// Records how many ms after the start of its second each event was decided.
class LatenessView : public test::RecordingView {
public:
    explicit LatenessView(Clock& c) : clock_(c) {}
    void addHistoryLine(const ListLine& line, bool red) override {
        const QTime now = clock_.now().time();
        const QTime due = QTime::fromString(line.time, "hh:mm:ss");
        lateness.push_back(due.msecsTo(now));
        test::RecordingView::addHistoryLine(line, red);
        if (static_cast<int>(lateness.size()) >= wanted && loop) loop->quit();
    }
    std::vector<int> lateness;
    int wanted = 0;
    QEventLoop* loop = nullptr;

private:
    Clock& clock_;
};

void BM_TimedEventLateness(benchmark::State& state) {
    const auto timing = state.range(0) == 0 ? MainLoop::Timing::Aligned : MainLoop::Timing::Plain;
    const int count = static_cast<int>(state.range(1));
    for (auto _ : state) {
        SystemClock clock;
        LatenessView view(clock);
        view.wanted = count;
        test::Folder folder;
        // One event every second, starting two seconds from now.
        std::vector<test::Row> rows;
        const QDateTime first = QDateTime::currentDateTime().addSecs(2);
        for (int i = 0; i < count; ++i) {
            const QDateTime at = first.addSecs(i);
            rows.push_back(test::TimedRow(i + 1, at.date().dayOfWeek() - 1, at.time().toString("hh:mm:ss"),
                                          QStringLiteral("E%1").arg(i)));
        }
        folder.createDatabase(rows);
        Engine e(clock, view, folder.path());
        MainLoop loop(e, timing);
        StartUp(e, loop);
        QEventLoop wait;
        view.loop = &wait;
        QTimer::singleShot((count + 10) * 1000, &wait, &QEventLoop::quit);
        wait.exec();
        loop.disable();

        std::vector<int> l = view.lateness;
        std::sort(l.begin(), l.end());
        if (l.empty()) {
            state.SkipWithError("no events decided");
            return;
        }
        state.counters["decided"] = static_cast<double>(l.size());
        state.counters["median_ms"] = l[l.size() / 2];
        state.counters["p99_ms"] = l[std::min(l.size() - 1, l.size() * 99 / 100)];
        state.counters["max_ms"] = l.back();
    }
}
BENCHMARK(BM_TimedEventLateness)
    ->Args({0, 200})
    ->Args({1, 200})
    ->ArgNames({"plain_timer", "events"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
