// The preview of a schedule: the timed occurrences in the order the timed runner decides them,
// with the one-time, skip, inactive and delay rules and daylight saving, held against what the
// engine itself does with the same rows over the same week; and what rows do, in words.
#include <gtest/gtest.h>

#include <functional>

#include <QTimeZone>

#include "engine/main_loop.h"
#include "scheduler/schedule_preview.h"
#include "store/load_database.h"
#include "support/test_support.h"

namespace tarvo {
namespace {

using test::Row;
using test::TimedRow;
using test::WeekMoment;

AutomationEvent timed(int number, int day, const char* time, const char* title,
                      int active = kActive, const std::function<void(AutomationEvent&)>& set = {}) {
    AutomationEvent ev;
    ev.Number = static_cast<int16_t>(number);
    ev.Day = static_cast<int16_t>(day);
    ev.DayName = DayNameOf(day);
    ev.Time = time;
    ev.Title = title;
    ev.Active = static_cast<int16_t>(active);
    if (set) set(ev);
    return ev;
}

// "<local moment> <title> (<note>)" for each timed entry.
QStringList entryLines(const SchedulePreview& p) {
    QStringList out;
    for (const TimedEntry& e : p.timed) {
        const PreviewRow& row = p.rows.at(static_cast<std::size_t>(e.row));
        const QString note = EntryNote(p, e);
        out << LocalMoment(p, e.at).toString(QStringLiteral("ddd HH:mm:ss ")) + row.title +
                   (note.isEmpty() ? QString() : QStringLiteral(" (") + note + QLatin1Char(')'));
    }
    return out;
}

TEST(SchedulePreview, AWeekAndADayInTheOrderTheTimedRunnerDecidesIt) {
    const std::vector<AutomationEvent> rows = {
        timed(1, 0, "09:00:00", "Second at nine", kActive,
              [](AutomationEvent& e) { e.Priority = 2; }),
        timed(2, 0, "09:00:00", "First at nine", kActive,
              [](AutomationEvent& e) { e.Priority = 1; }),
        timed(3, 0, "09:02:00", "Once", kRunOnce),
        timed(4, 0, "09:03:00", "Not this week", kSkipNext),
        timed(5, 2, "12:00:00", "Resting", kInactive),
        timed(6, 3, "23:59:50", "Ten minutes on", kActive,
              [](AutomationEvent& e) { e.Delay = 600; }),
        timed(7, 4, "00:09:50", "At the delayed second"),
        timed(8, 5, "10:00:00", "Once, thirty seconds on", kRunOnce,
              [](AutomationEvent& e) { e.Delay = 30; }),
        timed(9, 6, "07:00:00", "Active true", -1),
        timed(10, 7, "09:00:00", "No day"),
        timed(11, 1, "24:00:00", "Not on the clock"),
        timed(12, 0, "24:00:00", "Opto five", kActive,
              [](AutomationEvent& e) {
                  e.Type = kOptoOn;
                  e.Opto = 5;
              }),
        // Its condition is asked at 11:00:00, not when the take goes out.
        timed(13, 5, "11:00:00", "Studio 2 if news is on", kActive,
              [](AutomationEvent& e) {
                  e.Delay = 30, e.Condition = 1, e.ReqSource = 5, e.ReqDest = 12;
              }),
        timed(14, 5, "12:00:00", "Two conditions", kActive,
              [](AutomationEvent& e) {
                  e.Delay = 5, e.Condition = 3, e.ReqRelay = 2, e.Condition2 = 6, e.ReqOpto2 = 1;
              }),
    };
    const ManualClock clock(WeekMoment(0, 8, 59));
    const SchedulePreview p = PreviewSchedule(rows, clock.now(), 8, clock.zone());
    EXPECT_EQ(
        entryLines(p),
        (QStringList{
            "Mon 09:00:00 First at nine",
            "Mon 09:00:00 Second at nine",
            "Mon 09:02:00 Once (once, then deleted)",
            "Mon 09:03:00 Not this week (skipped; runs from the next time on)",
            "Wed 12:00:00 Resting (inactive)",
            "Fri 00:09:50 At the delayed second",
            "Fri 00:09:50 Ten minutes on (delayed 600 s from 23:59:50)",
            "Sat 10:00:30 Once, thirty seconds on (delayed 30 s from 10:00:00; once, then deleted)",
            "Sat 11:00:30 Studio 2 if news is on (condition checked at 11:00:00, run 30 s later)",
            "Sat 12:00:05 Two conditions (conditions checked at 12:00:00, run 5 s later)",
            "Sun 07:00:00 Active true (not run: Active -1)",
            "Mon 09:00:00 First at nine",
            "Mon 09:00:00 Second at nine",
            "Mon 09:03:00 Not this week",
        }));
    ASSERT_EQ(p.triggered.size(), 1u);
    EXPECT_EQ(p.triggered[0].trigger, "opto 5 on");
}

// The week of each zone's change, as the engine runs it: every history line at its moment.
struct Change {
    const char* zone;
    QDate sunday;
    int hour;      // the hour the clock skips or goes through twice
    bool skipped;  // spring: skipped; autumn: repeated
};

const Change kChanges[] = {
    {"Europe/Helsinki", QDate(2027, 3, 28), 3, true},
    {"America/New_York", QDate(2027, 3, 14), 2, true},
    {"Europe/Helsinki", QDate(2027, 10, 31), 3, false},
    {"America/New_York", QDate(2027, 11, 7), 1, false},
};

class MomentView : public test::RecordingView {
  public:
    explicit MomentView(const Clock& c) : clock_(c) {}
    void addHistoryLine(const ListLine& line, bool red) override {
        seen << clock_.now().toString(Qt::ISODate) + QLatin1Char(' ') + line.title;
        RecordingView::addHistoryLine(line, red);
    }
    QStringList seen;

  private:
    const Clock& clock_;
};

QString hhmm(int hour, int minute, int second = 0) {
    return QTime(hour, minute, second).toString(QStringLiteral("HH:mm:ss"));
}

TEST(SchedulePreview, SaysWhatTheEngineDoesInAWeekWithADaylightSavingChange) {
    for (const Change& c : kChanges) {
        SCOPED_TRACE(std::string(c.zone) + (c.skipped ? " spring" : " autumn"));
        const QTimeZone zone(c.zone);
        ASSERT_TRUE(zone.isValid()) << "time zone data missing";
        const int h = c.hour;
        std::vector<Row> rows = {
            TimedRow(1, 6, hhmm(h - 1, 55), "Ten minutes on"),
            TimedRow(2, 6, hhmm(h, 0), "On the hour"),
            TimedRow(3, 6, hhmm(h, 30), "Half past, skip", kSkipNext),
            TimedRow(4, 6, hhmm(h, 45), "Quarter to, once", kRunOnce),
            TimedRow(5, 6, hhmm(h, 45), "Quarter to, inactive", kInactive),
            TimedRow(6, 6, hhmm(h + 1, 0), "Hour after"),
            TimedRow(7, 0, hhmm(h, 30), "Monday", kSkipNext),
            TimedRow(8, 5, hhmm(23, 59, 59), "Saturday night"),
            TimedRow(9, 6, hhmm(h, 5), "Five past"),
        };
        // Elapsed time: across the change, or from the first pass of the repeated hour into the
        // second.
        rows[0]["Delay"] = 600;
        if (!c.skipped) rows[0]["Time"] = hhmm(h, 55);
        test::Folder folder;
        folder.createDatabase(rows);

        ManualClock clock(QDateTime(c.sunday.addDays(-6), QTime(0, 0, 0, 500)), zone);
        const DatabaseRead read = InspectAutomationDatabase(folder.file(kDatabaseFileName));
        ASSERT_EQ(read.outcome, DatabaseRead::Read);
        const SchedulePreview p = PreviewSchedule(read.rows, clock.now(), 7, zone);

        MomentView view(clock);
        Engine e(clock, view, folder.path());
        MainLoop loop(e);
        StartUp(e, loop);
        loop.disable();
        // Alarms decide the timed occurrences at their moments; a tick at each delayed run's due
        // moment, and every hour, does the rest. The switcher is up throughout.
        while (clock.now().toUTC() < p.to) {
            QDateTime next = std::min(p.to, clock.now().toUTC().addSecs(3600));
            if (!e.scheduler.DelayedEvents.empty())
                next = std::min(next, e.scheduler.DelayedEvents.front().due);
            clock.advance(std::max<qint64>(clock.now().toUTC().msecsTo(next), 0));
            e.switcher.master().Connected = e.switcher.master().Online = true;
            e.switcher.master().NoReplyCount = 0;
            TimerTick(e);
        }

        QStringList expected;
        for (const TimedEntry& entry : p.timed) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(entry.row));
            const QString title = entry.state == PreviewState::Runs ? row.title
                                  : entry.state == PreviewState::Inactive
                                      ? row.title + " - Inactive"
                                      : row.title + " - Not Executed";
            expected << LocalMoment(p, entry.at).toString(Qt::ISODate) + QLatin1Char(' ') + title;
        }
        EXPECT_EQ(view.seen, expected);
        EXPECT_EQ(expected.size(), 9);  // every row once

        // Each row of the Sunday appears once, the repeated hour included; the skipped hour's
        // rows at the change, the hour after on the clock.
        const QStringList lines = entryLines(p);
        EXPECT_EQ(lines.filter("Half past, skip").size(), 1);
        EXPECT_EQ(lines.filter("Quarter to, once").size(), 1);
        EXPECT_EQ(lines.filter("Monday").size(), 1);
        if (c.skipped) {
            EXPECT_TRUE(lines.contains("Sun " + hhmm(h + 1, 0) + " On the hour (for " + hhmm(h, 0) +
                                       ", which the clock skips)"))
                << lines.join('\n').toStdString();
            EXPECT_TRUE(lines.contains("Sun " + hhmm(h + 1, 5) +
                                       " Ten minutes on (delayed 600 s from " + hhmm(h - 1, 55) +
                                       ")"))
                << lines.join('\n').toStdString();
        } else {
            // After everything of the first pass, just before the hour after.
            const qsizetype delayed =
                lines.indexOf("Sun " + hhmm(h, 5) + " Ten minutes on (delayed 600 s from " +
                              hhmm(h, 55) + "; the second time round the repeated hour)");
            EXPECT_GT(delayed, 0) << lines.join('\n').toStdString();
            EXPECT_EQ(lines.value(delayed + 1), "Sun " + hhmm(h + 1, 0) + " Hour after");
        }
    }
}

TEST(SchedulePreview, WhatARowDoesAndWhenInWords) {
    const auto with = [](const std::function<void(AutomationEvent&)>& set) {
        return timed(1, 0, "09:00:00", "Row", kActive, set);
    };
    const struct {
        AutomationEvent row;
        QStringList actions;
        QStringList conditions;
    } cases[] = {
        {with([](AutomationEvent& e) { e.xcontrol = 1, e.SourceChan = 5, e.DestChan = 12; }),
         {"take 5 to 12"},
         {}},
        {with([](AutomationEvent& e) { e.xcontrol = 6, e.SourceChan = 5, e.DestChan = 12; }),
         {"priority sum off 5 to 12"},
         {}},
        {with([](AutomationEvent& e) { e.xcontrol = 2, e.DestChan = 12; }),
         {"sum on 0 to 12, refused: Invalid Crosspoint"},
         {}},
        {with([](AutomationEvent& e) {
             e.scontrol = 1, e.Salvo = 1, e.rcontrol = 1, e.Relay = 9, e.ocontrol = 1,
             e.OptoOut = 3;
             e.xcontrol = 2, e.SourceChan = 5, e.DestChan = 12;
         }),
         {"sum on 5 to 12", "salvo 1", "latch relay 9", "opto 3 on"},
         {}},
        {with([](AutomationEvent& e) { e.rcontrol = 3, e.Relay = 9; }), {"momentary relay 9"}, {}},
        {with([](AutomationEvent& e) { e.sscontrol = 1, e.ssSource = 10, e.ssDeviceID = 3; }),
         {"source select 10 on device 3"},
         {}},
        {with([](AutomationEvent& e) { e.vcontrol = 1, e.VChan = 4, e.Gain = 1024; }),
         {"gain of channel 4 to 1024"},
         {}},
        {with([](AutomationEvent& e) { e.rccontrol = 1, e.rcRelay = 2, e.rcOpto = 5; }),
         {"associate relay 2 with opto 5"},
         {}},
        {with([](AutomationEvent& e) {
             e.mcontrol = 1, e.mtype = 1, e.Message = "NEWS START^M", e.MIPAddress = "10.0.0.9",
             e.MIPPort = 5000;
         }),
         {"TCP message to 10.0.0.9:5000: \"NEWS START^M\""},
         {}},
        {with([](AutomationEvent& e) {
             e.mcontrol = 3, e.mtype = 4, e.Message = "cue.txt", e.MIPAddress = "10.0.0.9",
             e.MIPPort = 5001;
         }),
         {"UDP message to 10.0.0.9:5001: file cue.txt"},
         {}},
        {with([](AutomationEvent& e) {
             e.mcontrol = 1, e.mtype = 2, e.Message = "TALLY", e.MCommPort = 1, e.MBaudRate = 1;
         }),
         {"serial message on COM2 at 9600: \"TALLY\""},
         {}},
        {with([](AutomationEvent& e) { e.FileType = 1, e.FileName = "alphas.dat"; }),
         {"upload input alphas from alphas.dat"},
         {}},
        {with([](AutomationEvent& e) {
             e.FileType = 11, e.FileName = "m.cfg", e.FFrame = 2, e.FSlot = 4;
         }),
         {"upload module configuration of frame 2 slot 4 from m.cfg"},
         {}},
        {with([](AutomationEvent& e) {
             e.Condition = 1, e.ReqSource = 3, e.ReqDest = 7, e.Condition2 = 4, e.ReqRelay2 = 4;
         }),
         {},
         {"if source 3 is on output 7", "if relay 4 is off"}},
        {with([](AutomationEvent& e) {
             e.Condition = 5, e.ReqOpto = 2, e.Condition2 = 2, e.ReqSource2 = 1, e.ReqDest2 = 2;
         }),
         {},
         {"if opto 2 is on", "if source 1 is not on output 2"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ActionWords(c.row), c.actions);
        EXPECT_EQ(ConditionWords(c.row), c.conditions);
    }
}

TEST(SchedulePreview, TriggeredEventsByTriggerEachByDay) {
    const auto trigger = [](int number, int day, const char* title,
                            const std::function<void(AutomationEvent&)>& set) {
        return timed(number, day, "24:00:00", title, kActive, set);
    };
    const auto opto = [](int n, int type) {
        return [=](AutomationEvent& e) {
            e.Type = static_cast<int16_t>(type), e.Opto = static_cast<int16_t>(n);
        };
    };
    const auto crosspoint = [](int source, int dest, int control) {
        return [=](AutomationEvent& e) {
            e.Type = kCrosspointTrigger, e.TriggerSource = static_cast<int16_t>(source),
            e.TriggerDest = static_cast<int16_t>(dest);
            e.tControl = static_cast<int16_t>(control);
        };
    };
    const std::vector<AutomationEvent> rows = {
        trigger(1, 6, "Sunday on", opto(5, kOptoOn)),
        trigger(2, 7, "No day on", opto(5, kOptoOn)),
        trigger(3, 0, "Monday on, later",
                [&](AutomationEvent& e) { opto(5, kOptoOn)(e), e.Delay = 5, e.Active = kRunOnce; }),
        trigger(4, 0, "Monday on", opto(5, kOptoOn)),
        trigger(5, 0, "Opto off", opto(5, kOptoOff)),
        trigger(12, 0, "Opto off, later, if relay 2",
                [&](AutomationEvent& e) {
                    opto(5, kOptoOff)(e), e.Delay = 5, e.Condition = 3, e.ReqRelay = 2;
                }),
        trigger(6, 2, "Relay on", opto(9, kRelayOn)),
        trigger(7, 0, "Routed", crosspoint(3, 12, 1)),
        trigger(8, 0, "First source", crosspoint(0, 12, 3)),
        trigger(9, 0, "Last source gone", crosspoint(0, 12, 4)),
        trigger(10, 0, "Taken off", crosspoint(3, 12, 2)),
        timed(11, 0, "09:00:00", "Timed"),
    };
    const ManualClock clock(WeekMoment(0, 0, 0));
    const SchedulePreview p = PreviewSchedule(rows, clock.now(), 7, clock.zone());
    QStringList shown;
    for (const TriggerGroup& g : p.triggered) {
        shown << g.trigger;
        for (int i : g.rows) {
            const PreviewRow& row = p.rows.at(static_cast<std::size_t>(i));
            const QString note = TriggeredNote(row);
            shown << "  " + DayNameOf(row.day).toString() + " " + row.title +
                         (note.isEmpty() ? QString() : " (" + note + ")");
        }
    }
    EXPECT_EQ(shown, (QStringList{
                         "opto 5 on",
                         "  Monday Monday on",
                         "  Monday Monday on, later (once, then deleted; 5 s after the trigger)",
                         "  Sunday Sunday on",
                         "  None No day on",
                         "opto 5 off",
                         "  Monday Opto off",
                         "  Monday Opto off, later, if relay 2 (condition checked at the trigger, "
                         "run 5 s later)",
                         "relay 9 on",
                         "  Wedensday Relay on",
                         "source 3 to output 12",
                         "  Monday Routed",
                         "source 3 off output 12",
                         "  Monday Taken off",
                         "output 12 gets its first source",
                         "  Monday First source",
                         "output 12 loses its last source",
                         "  Monday Last source gone",
                     }));
}

}  // namespace
}  // namespace tarvo
