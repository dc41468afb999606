// The engine's metrics text and health as a scraper sees them: counters that move with what the
// engine does against a switcher on a loopback socket, the whole text accepted by promtool, and
// the health turning bad when the loop stops or the database cannot be read.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include <QFile>
#include <QProcess>

#include "engine/main_loop.h"
#include "engine/metrics.h"
#include "scheduler/triggered.h"
#include "store/sqlite.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/loop_wait.h"

namespace tarvo::test {
namespace {

// The value of one series ("name{labels}") in the text; NaN when it is not there.
double sampleOf(const QByteArray& text, const QByteArray& series) {
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(series + ' ')) return line.mid(series.size() + 1).toDouble();
    return std::nan("");
}

// What promtool finds wrong with the text (empty when nothing). It is installed with the
// build's packages: a missing promtool fails the test.
QString promtoolProblems(const QByteArray& text) {
    const QString promtool = QStringLiteral("/usr/bin/promtool");
    if (!QFile::exists(promtool)) return QStringLiteral("no promtool at ") + promtool;
    QProcess p;
    p.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!p.waitForStarted(10000)) return QStringLiteral("promtool did not start");
    p.write(text);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) return QStringLiteral("promtool did not finish");
    const QString said = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("exit %1: %2").arg(p.exitCode()).arg(said);
    return said;  // promtool is silent on a clean text; anything it says is a finding
}

Row take(Row r, int source, int dest) {
    r["xcontrol"] = 1;
    r["SourceChan"] = source;
    r["DestChan"] = dest;
    return r;
}

QByteArray takeReport(int source0, int output0) {
    return FrameBuilder(kTakeType).num14(4).num14(source0).num14(output0).finish();
}

qint64 nowMs(Harness& h) { return h.clock.now().toMSecsSinceEpoch(); }

// A timed take, a take that no switcher confirms, an opto-triggered take, a refused operand, the
// switcher closing the link and a take while it is down: after each step, the series it moves.
TEST(EngineMetrics, CountersMoveWithTakesRefusalsAndLinkLossesAndPromtoolAcceptsTheText) {
    Peer switcher;
    Harness h(WeekMoment(0, 8, 59, 58, 2));
    Row opto{{"Number", 4}, {"Type", 1}, {"Day", 0}, {"Time", "24:00:00"}, {"Title", "Contact 5"}, {"Active", 1},
             {"Opto", 5}};
    h.folder.createDatabase({take(TimedRow(1, 0, "09:00:00", "Take one"), 5, 12),
                             take(TimedRow(2, 0, "09:00:05", "No source"), 0, 12),
                             take(TimedRow(3, 0, "09:00:10", "Take two"), 6, 12), take(opto, 3, 4)});
    h.folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(switcher.port()));

    const struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<std::pair<QByteArray, double>> expect;
    } steps[] = {
        {"start-up, the switcher answers and reports takes",
         [&] {
             h.startUp();
             ASSERT_TRUE(waitUntil([&] { return h.master().isConnected(); }));
             h.online();
             h.master().RxBuffer += takeReport(0, 0);
             while (ConsumeOneUnit(h.e().switcher, kMaster)) {
             }
         },
         {{"tarvo_link_up{link=\"master\"}", 1},
          {"tarvo_link_losses_total{link=\"master\"}", 0},
          {"tarvo_takes_sent_total{link=\"master\"}", 0},
          {"tarvo_events_total{outcome=\"run\"}", 0}}},
        {"the timed take at its second",
         [&] { h.runUntil(WeekMoment(0, 9, 0, 0, 500)); },
         {{"tarvo_takes_sent_total{link=\"master\"}", 1},
          {"tarvo_takes_unconfirmed_total{link=\"master\"}", 0},
          {"tarvo_events_total{outcome=\"run\"}", 1},
          {"tarvo_decision_lateness_seconds_count", 1},
          {"tarvo_decision_lateness_seconds_bucket{le=\"0.001\"}", 1}}},
        {"the switcher says nothing of it for a second",
         [&] { h.advance(1000); },
         {{"tarvo_takes_unconfirmed_total{link=\"master\"}", 1}}},
        {"an opto report starts a take",
         [&] {
             ProcessOptoEvent(h.s(), 4, 1);
             h.settle();
         },
         {{"tarvo_takes_sent_total{link=\"master\"}", 2},
          {"tarvo_events_total{outcome=\"run\"}", 2},
          {"tarvo_trigger_latency_seconds_count", 1},
          {"tarvo_trigger_latency_seconds_bucket{le=\"+Inf\"}", 1},
          {"tarvo_runs_in_progress", 0}}},
        {"a take without a source is refused",
         [&] { h.runUntil(WeekMoment(0, 9, 0, 5, 500)); },
         {{"tarvo_refusals_total{reason=\"Invalid Crosspoint\"}", 1},
          {"tarvo_events_total{outcome=\"refused\"}", 1},
          {"tarvo_takes_sent_total{link=\"master\"}", 2}}},
        {"the switcher closes the link and stops listening",
         [&] {
             switcher.server.close();
             switcher.client->disconnectFromHost();
             ASSERT_TRUE(waitUntil([&] { return !h.master().Connected; }));
         },
         {{"tarvo_link_up{link=\"master\"}", 0},
          {"tarvo_link_connected{link=\"master\"}", 0},
          {"tarvo_link_losses_total{link=\"master\"}", 1}}},
        {"a take while the link is down",
         [&] { h.runUntil(WeekMoment(0, 9, 0, 10, 500)); },
         {{"tarvo_refusals_total{reason=\"Server not connected\"}", 1},
          {"tarvo_events_total{outcome=\"refused\"}", 2},
          {"tarvo_events_total{outcome=\"run\"}", 2},
          {"tarvo_takes_sent_total{link=\"master\"}", 2},
          {"tarvo_takes_unconfirmed_total{link=\"master\"}", 2},
          {"tarvo_link_losses_total{link=\"master\"}", 1}}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        if (testing::Test::HasFatalFailure()) return;
        const QByteArray text = MetricsText(h.e(), nowMs(h));
        for (const auto& [series, value] : step.expect)
            EXPECT_EQ(sampleOf(text, series), value) << series.constData() << "\n" << text.constData();
    }

    const QByteArray text = MetricsText(h.e(), nowMs(h));
    EXPECT_EQ(promtoolProblems(text), QString()) << text.constData();
    EXPECT_EQ(sampleOf(text, "tarvo_healthy"), 1);
    EXPECT_EQ(sampleOf(text, "tarvo_next_event_timestamp_seconds"),
              QDateTime(WeekMoment(0, 9, 0, 0).date().addDays(7), QTime(9, 0), h.clock.zone()).toMSecsSinceEpoch() /
                  1000.0);
    EXPECT_TRUE(text.contains("tarvo_build_info{version=\"" TARVO_VERSION "\"} 1\n"));
}

// Healthy only while the ticks run to their end and the last load read the database; the reason
// in words otherwise, and healthy again once the fault is gone.
TEST(EngineMetrics, HealthFollowsTheTicksAndTheLastLoad) {
    struct Case {
        const char* name;
        // Brings the engine to the state looked at; `editor` may hold the database.
        std::function<void(Harness&, std::unique_ptr<Database>& editor)> bring;
        QString reason;  // empty: healthy; a trailing '*' matches any rest
        bool locked;
        // Ends the fault (may be empty): the engine is healthy after five more ticks.
        std::function<void(Harness&, std::unique_ptr<Database>& editor)> end;
    };
    using Editor = std::unique_ptr<Database>;
    const std::vector<Case> cases = {
        {"ticks running, database read",
         [](Harness& h, Editor&) {
             h.startUp();
             h.tick(3);
         },
         QString(), false, {}},
        {"started, no tick yet", [](Harness& h, Editor&) { h.startUp(); }, QStringLiteral("no tick yet"), false,
         {}},
        {"the loop stopped turning",
         [](Harness& h, Editor&) {
             h.startUp();
             h.tick();
             h.clock.advance(5200);
         },
         QStringLiteral("no tick for 5.2 s"), false, {}},
        {"every tick cut short by a failure",
         [](Harness& h, Editor&) {
             h.startUp();
             h.tick();
             h.e().TimerTicks = 32767;
             h.tick(5);
         },
         QStringLiteral("no tick for 2.5 s"), false, [](Harness& h, Editor&) { h.e().TimerTicks = 0; }},
        {"the database replaced by a file that is none",
         [](Harness& h, Editor&) {
             h.startUp();
             QFile f(h.e().store.DatabasePath);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
             f.write("Title;Time\r\nnews;10:00:00\r\n");
             f.close();
             h.tick(5);
         },
         QStringLiteral("database unreadable: *"), false,
         [](Harness& h, Editor&) {
             QFile::remove(h.e().store.DatabasePath);
             h.folder.createDatabase();
         }},
        {"the editing tool holds the database from before the start",
         [](Harness& h, Editor& editor) {
             editor = std::make_unique<Database>(h.e().store.DatabasePath);
             editor->exec("BEGIN EXCLUSIVE");
             h.startUp();
             h.tick(3);
         },
         QStringLiteral("database locked*"), true,
         [](Harness&, Editor& editor) {
             editor->exec("ROLLBACK");
             editor.reset();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(WeekMoment(0, 8, 0));
        h.folder.createDatabase({TimedRow(1, 0, "09:00:00", "Nine")});
        Editor editor;
        c.bring(h, editor);
        if (testing::Test::HasFatalFailure()) return;
        const Health health = EngineHealth(h.e(), nowMs(h));
        EXPECT_EQ(health.ok, c.reason.isEmpty());
        if (c.reason.endsWith(QLatin1Char('*')))
            EXPECT_TRUE(health.reason.startsWith(c.reason.chopped(1))) << health.reason.toStdString();
        else
            EXPECT_EQ(health.reason, c.reason);
        if (health.reason.startsWith(QStringLiteral("database unreadable: "))) {
            // The reason is the error log's.
            const QString why = health.reason.mid(21);
            EXPECT_FALSE(why.isEmpty());
            EXPECT_FALSE(h.folder.errorLines().filter(why).isEmpty())
                << why.toStdString() << "\n" << h.folder.errorLines().join('\n').toStdString();
        }
        const QByteArray text = MetricsText(h.e(), nowMs(h));
        EXPECT_EQ(sampleOf(text, "tarvo_healthy"), health.ok ? 1 : 0);
        EXPECT_EQ(sampleOf(text, "tarvo_database_locked"), c.locked ? 1 : 0);
        if (!c.end) continue;
        c.end(h, editor);
        h.tick(5);
        const Health after = EngineHealth(h.e(), nowMs(h));
        EXPECT_TRUE(after.ok) << after.reason.toStdString();
        EXPECT_EQ(sampleOf(MetricsText(h.e(), nowMs(h)), "tarvo_database_locked"), 0);
    }
}

}  // namespace
}  // namespace tarvo::test
