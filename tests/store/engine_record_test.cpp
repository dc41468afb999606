#include <gtest/gtest.h>

#include <QFile>

#include "base/clock.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "logs/logs.h"
#include "scheduler/timed_runner.h"
#include "store/engine_record.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Folder;
using test::TimedRow;
using test::WeekMoment;

QDateTime utc(int day, int h, int m, int s = 0) { return WeekMoment(day, h, m, s).toUTC(); }

// A row whose every field differs from its default, so that a field the copy drops shows.
AutomationEvent everyFieldSet() {
    AutomationEvent ev;
    ev.DayName = QStringLiteral("Wedensday");
    ev.Time = QStringLiteral("09:30:00");
    ev.Title = QStringLiteral("Tiitus – ääni");
    ev.FileName = QStringLiteral("salvos.txt");
    ev.Message = QStringLiteral("hello\\r");
    ev.Method = QStringLiteral("TCP");
    ev.MIPAddress = QStringLiteral("127.0.0.1");
    int16_t next = 1;
    ev.MIPPort = 40001;
    ev.MBaudRate = 9600;
    ev.Color = 0x123456;
    for (int16_t* f : {&ev.Number, &ev.Day, &ev.Delay, &ev.SourceChan, &ev.DestChan, &ev.ReqSource, &ev.ReqDest,
                       &ev.ReqSource2, &ev.ReqDest2, &ev.ReqOpto, &ev.ReqRelay, &ev.ReqOpto2, &ev.ReqRelay2,
                       &ev.ssSource, &ev.ssDeviceID, &ev.Active, &ev.Relay, &ev.Opto, &ev.rcRelay, &ev.rcOpto,
                       &ev.OptoOut, &ev.Salvo, &ev.VChan, &ev.Gain, &ev.xcontrol, &ev.rcontrol, &ev.scontrol,
                       &ev.vcontrol, &ev.ocontrol, &ev.rccontrol, &ev.sscontrol, &ev.Type, &ev.Priority,
                       &ev.Condition, &ev.Condition2, &ev.OptoCondition, &ev.RelayCondition, &ev.OptoCondition2,
                       &ev.RelayCondition2, &ev.FileType, &ev.FileChannel1, &ev.Template, &ev.mcontrol, &ev.mtype,
                       &ev.TriggerSource, &ev.TriggerDest, &ev.tControl, &ev.Option})
        *f = next++;
    for (uint8_t* f : {&ev.FFrame, &ev.FSlot, &ev.MFrame, &ev.MSlot, &ev.MPort, &ev.MCommPort})
        *f = static_cast<uint8_t>(next++);
    return ev;
}

// What a run leaves in the record, read back by the next start: after a kill (the record as the
// process left it, never closed) and after an orderly exit.
TEST(EngineRecord, WhatARunLeavesIsReadBackByTheNextStart) {
    Folder folder;
    ManualClock clock(WeekMoment(2, 9, 0));
    Logs logs(clock, folder.path());
    const QString path = folder.file(kEngineRecordFileName);
    const PendingRowChange once{7, true, kRunOnce, true, 2, QStringLiteral("09:00:00")};
    const AutomationEvent copy = everyFieldSet();
    {
        EngineRecord record(logs, path);
        EXPECT_FALSE(record.open(utc(2, 9, 0)).has_value()) << "the first start ever finds nothing";
        record.advance(utc(2, 9, 0, 10), utc(2, 9, 0, 10));
        // Two decisions that ran nothing (written off): one at or before the horizon, dropped,
        // and one after it, kept.
        auto writtenOff = [&](const RecordedOccurrence& o, const QDateTime& at) {
            record.endRun(record.beginRun(RunStart{std::get<0>(o), QStringLiteral("Off"), false, std::nullopt, o, at, 0}));
        };
        writtenOff({3, 100, 32400}, utc(2, 9, 0, 5));
        writtenOff({4, 100, 32420}, utc(2, 9, 0, 20));
        const int64_t cut = record.beginRun(RunStart{7, QStringLiteral("Cut off"), true, once, std::nullopt, {}, 0});
        const int64_t ended = record.beginRun(RunStart{8, QStringLiteral("Ended"), true, std::nullopt, std::nullopt, {}, 0});
        record.endRun(ended);
        const int64_t atExit = record.beginRun(RunStart{9, QStringLiteral("At exit"), true, PendingRowChange{9, false, kSkipNext, false, 0, QString()},
                                                        std::nullopt, {}, 0});
        record.abandonRun(atExit);
        const int64_t gone = record.addDelayed(utc(2, 9, 1), false, copy);
        record.addDelayed(utc(2, 9, 2), true, copy);
        record.removeDelayed(gone);
        record.advance(utc(2, 9, 0, 15), utc(2, 9, 0, 15));
        EXPECT_NE(cut, 0);
        // Killed here: nothing closes the record.
    }
    {
        EngineRecord record(logs, path);
        const std::optional<PreviousRun> p = record.open(utc(2, 9, 5));
        ASSERT_TRUE(p.has_value()) << folder.errorLines().join('\n').toStdString();
        EXPECT_FALSE(p->endedInOrder);
        EXPECT_EQ(p->lastWritten, utc(2, 9, 0, 15));
        EXPECT_EQ(p->horizon, utc(2, 9, 0, 15));
        EXPECT_EQ(p->decided, (std::vector<RecordedOccurrence>{{4, 100, 32420}}));
        ASSERT_EQ(p->runs.size(), 1u);
        EXPECT_EQ(p->runs[0].title, "Cut off");
        EXPECT_TRUE(p->runs[0].acting);
        ASSERT_TRUE(p->runs[0].owed.has_value());
        EXPECT_EQ(p->runs[0].owed->day, 2);
        EXPECT_EQ(p->runs[0].owed->time, "09:00:00");
        EXPECT_EQ(p->runs[0].owed->active, kRunOnce);
        EXPECT_TRUE(p->runs[0].owed->timed);
        // The run ended at exit handed its re-arm to the owed changes.
        ASSERT_EQ(p->owed.size(), 1u);
        EXPECT_EQ(p->owed[0].number, 9);
        EXPECT_FALSE(p->owed[0].remove);
        ASSERT_EQ(p->delayed.size(), 1u);
        EXPECT_EQ(p->delayed[0].due, utc(2, 9, 2));
        EXPECT_TRUE(p->delayed[0].deleteAfter);
        EXPECT_EQ(EncodeEvent(p->delayed[0].event), EncodeEvent(copy));
        EXPECT_EQ(p->delayed[0].event.Title, copy.Title);
        EXPECT_EQ(p->delayed[0].event.MCommPort, copy.MCommPort);
        record.settlePrevious(p->owed);
        record.close(utc(2, 9, 6), utc(2, 9, 6));
    }
    EngineRecord record(logs, path);
    const std::optional<PreviousRun> p = record.open(utc(2, 9, 7));
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(p->endedInOrder);
    EXPECT_TRUE(p->runs.empty()) << "settled by the start that reported them";
    EXPECT_EQ(p->horizon, utc(2, 9, 6));
    EXPECT_TRUE(folder.errorLines().isEmpty());
}

// A record that cannot be read or written is said once; the engine runs on without it.
TEST(EngineRecord, ARecordThatCannotBeReadIsReportedOnceAndTheRunGoesOn) {
    Folder folder;
    ManualClock clock(WeekMoment(2, 9, 0));
    Logs logs(clock, folder.path());
    const QString path = folder.file(kEngineRecordFileName);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    EngineRecord record(logs, path);
    EXPECT_FALSE(record.open(utc(2, 9, 0)).has_value());
    EXPECT_FALSE(record.isOpen());
    record.advance(utc(2, 9, 0), utc(2, 9, 0));
    EXPECT_EQ(record.beginRun(RunStart{1, QStringLiteral("Runs"), true, std::nullopt, std::nullopt, {}, 0}), 0);
    const QStringList errors = folder.errorLines();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("not a database")) << errors[0].toStdString();
}

// After more than a week away the occurrences older than the catch-up window are one line, with
// their upkeep done once; the rows then run as before.
TEST(EngineRecord, AWeekAwayIsPassedOverInOneLineWithItsUpkeep) {
    test::Harness h(WeekMoment(0, 8, 59, 50));
    std::vector<test::Row> rows{TimedRow(1, 0, "09:00:00", "Weekly"), TimedRow(2, 0, "09:00:00", "Once", kRunOnce),
                                TimedRow(3, 0, "09:00:00", "Skip", kSkipNext),
                                TimedRow(4, 0, "09:00:00", "Off", kInactive)};
    h.folder.createDatabase(rows);
    h.startUp();
    h.tick(4);
    ProgramExit(h.e(), nullptr);
    h.engine.reset();

    h.clock.setNow(WeekMoment(0, 8, 59, 50).addDays(8).addSecs(3600));
    h.engine = std::make_unique<Engine>(h.clock, h.view, h.folder.path());
    h.startUp();
    h.tick(4);
    const QStringList lines = h.folder.activityLines();
    // Weekly and Skip twice (the day it was left and a week later), Once the first time only.
    EXPECT_EQ(lines.count(QStringLiteral("5") + kMissedWhileStopped), 1) << lines.join('\n').toStdString();
    EXPECT_FALSE(lines.join('\n').contains(" not executed - Missed\n"));
    EXPECT_EQ(h.folder.query("SELECT COUNT(*) FROM Automation WHERE Number = 2").toInt(), 0);
    EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 3").toInt(), kActive);
    EXPECT_EQ(h.folder.query("SELECT Active FROM Automation WHERE Number = 4").toInt(), kInactive);
    ProgramExit(h.e(), nullptr);
}

// What fell due while the engine was away is decided a few occurrences a turn of the loop (each
// flushes its entry to the disk first; forty in one turn held the loop, its keep-alives and the
// bytes received, for as long), each once and in order: also when a kill comes in the middle.
TEST(EngineRecord, ABacklogIsDecidedAFewATurnEachOnceInOrderThroughAKill) {
    for (const bool killMidway : {false, true}) {
        SCOPED_TRACE(killMidway ? "killed midway" : "undisturbed");
        test::Harness h(WeekMoment(0, 8, 59, 50));
        std::vector<test::Row> rows;
        QStringList titles;
        for (int i = 0; i < 40; ++i) {
            titles << QStringLiteral("R%1").arg(i, 2, 10, QLatin1Char('0'));
            rows.push_back(TimedRow(i + 1, 0, QTime(9, 0, i).toString(QStringLiteral("HH:mm:ss")), titles.back()));
        }
        h.folder.createDatabase(rows);
        h.startUp();
        h.tick(4);
        ProgramExit(h.e(), nullptr);
        h.engine.reset();

        // Back at 09:01: all forty are late, none by three minutes.
        const auto start = [&](const QDateTime& at) {
            h.clock.setNow(at);
            h.engine = std::make_unique<Engine>(h.clock, h.view, h.folder.path());
            h.startUp();
            h.online();
        };
        start(WeekMoment(0, 9, 1, 0));
        std::size_t most = 0;
        const auto turn = [&](auto&& step) {
            const std::size_t before = h.view.history.size();
            step();
            most = std::max(most, h.view.history.size() - before);
        };
        turn([&] { TimerTick(h.e()); });
        ASSERT_GT(h.view.history.size(), 0u);
        ASSERT_LT(h.view.history.size(), 40u);
        if (killMidway) {
            turn([&] { h.clock.fireNextWithin(0); });
            h.engine.reset();  // killed: nothing ends in order
            start(WeekMoment(0, 9, 1, 2));
        }
        for (int i = 0; i < 100 && h.view.history.size() < 40; ++i)
            turn([&] { if (!h.clock.fireNextWithin(0)) h.tick(); });
        EXPECT_LE(most, 8u);
        EXPECT_EQ(h.view.historyTitles(), titles);
        ProgramExit(h.e(), nullptr);
    }
}

}  // namespace
}  // namespace tarvo
