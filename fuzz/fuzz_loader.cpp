// The database loader: any tables, columns and values, written as a real database file and
// loaded twice (version check and upgrade, settings, events, the sort, the triggered lists and,
// when TaskViewDB names a folder, the task-view copy), then the next event is chosen and a few
// timer ticks run on a manual clock.
//
// After every load the event tables must be within their bounds, in running order and with
// every field under its maximum; the second load must find nothing left to upgrade; and every
// failure must have been one the engine raised and reported.
#include <sqlite3.h>

#include <QDir>

#include "base/clock.h"
#include "database_writer.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "fuzz_engine.h"
#include "loader_input.h"
#include "scheduler/next_event.h"
#include "scheduler/time_arith.h"
#include "store/load_database.h"

using namespace tarvo;
using fuzz::Description;
using fuzz::Require;
using fuzz::WriteDatabase;

namespace {

// 7 December 2026 is a Monday.
const QDate kMonday(2026, 12, 7);

// The folders a TaskViewDB value may name, all inside the fuzzer's own folder: none, blank,
// the copy's folder with and without its separator, the program folder itself (also by
// another spelling), a folder that does not exist and a plain file.
std::vector<QString> FolderChoices(const QString& program, const QString& taskView) {
    QString bare = taskView;
    bare.chop(1);
    return {QString(),
            QStringLiteral(""),
            QStringLiteral(" "),
            bare,
            taskView,
            program,
            program + QStringLiteral("../") + QDir(program).dirName(),
            taskView + QStringLiteral("missing"),
            taskView + QStringLiteral("plain.txt")};
}

// The schema as the file holds it, and the version it is at: what an upgrade changes.
QString Schema(const QString& path) {
    sqlite3* db = nullptr;
    QString out;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        for (const char* sql : {"SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM "
                                "sqlite_master ORDER BY 1",
                                "SELECT quote(Version) FROM Info ORDER BY rowid LIMIT 1"}) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) continue;
            while (sqlite3_step(st) == SQLITE_ROW)
                out +=
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) +
                    QLatin1Char('\n');
            sqlite3_finalize(st);
        }
    }
    sqlite3_close_v2(db);
    return out;
}

// The loaded fields and the most each may hold after its maximum rule (values below zero stay).
struct Maximum {
    int16_t AutomationEvent::*field;
    int16_t max;
    const char* name;
};
const Maximum kMaxima[] = {
    {&AutomationEvent::Active, 3, "Active"},
    {&AutomationEvent::Gain, 2047, "Gain"},
    {&AutomationEvent::xcontrol, 6, "xcontrol"},
    {&AutomationEvent::rcontrol, 3, "rcontrol"},
    {&AutomationEvent::scontrol, 1, "scontrol"},
    {&AutomationEvent::vcontrol, 3, "vcontrol"},
    {&AutomationEvent::ocontrol, 2, "ocontrol"},
    {&AutomationEvent::rccontrol, 1, "rccontrol"},
    {&AutomationEvent::sscontrol, 1, "sscontrol"},
    {&AutomationEvent::Type, 5, "Type"},
    {&AutomationEvent::Condition, 6, "Condition"},
    {&AutomationEvent::Condition2, 6, "Condition2"},
    {&AutomationEvent::OptoCondition, 2, "OptoCondition"},
    {&AutomationEvent::RelayCondition, 2, "RelayCondition"},
    {&AutomationEvent::OptoCondition2, 2, "OptoCondition2"},
    {&AutomationEvent::RelayCondition2, 2, "RelayCondition2"},
    {&AutomationEvent::FileType, 12, "FileType"},
    {&AutomationEvent::Template, 128, "Template"},
    {&AutomationEvent::mcontrol, 4, "mcontrol"},
    {&AutomationEvent::mtype, 4, "mtype"},
    {&AutomationEvent::tControl, 4, "tControl"},
};

bool RunsBefore(const AutomationEvent& a, const AutomationEvent& b) {
    if (a.Day != b.Day) return a.Day < b.Day;
    const int t = QString::compare(a.Time, b.Time, Qt::CaseSensitive);
    if (t != 0) return t < 0;
    if (a.Priority != b.Priority) return a.Priority < b.Priority;
    return a.Delay < b.Delay;
}

void CheckTriggerTable(Engine& e, TriggerTable t, bool (*kind)(int16_t),
                       int16_t AutomationEvent::*key, bool justLoaded) {
    const auto& list = e.scheduler.triggerTable(t);
    const auto count = static_cast<int32_t>(list.size());
    for (int32_t i = 0; i < count; ++i) {
        const AutomationEvent& ev = list[static_cast<std::size_t>(i)];
        Require(kind(ev.Type), "a trigger table holds only its own kind");
        if (i == 0) continue;
        const AutomationEvent& prev = list[static_cast<std::size_t>(i - 1)];
        Require(prev.*key < ev.*key || (prev.*key == ev.*key && prev.Delay <= ev.Delay),
                "a trigger table is in key and delay order");
    }
    if (!justLoaded || e.scheduler.TotalEvents() == 0) return;
    int32_t expected = 0;
    for (const AutomationEvent& ev : e.scheduler.Events) expected += kind(ev.Type) ? 1 : 0;
    Require(count == expected, "a load lists every event of the trigger's kind");
}

void CheckEvents(Engine& e, bool justLoaded) {
    const Scheduler& s = e.scheduler;
    Require(s.TotalEvents() <= kMaxEvents, "TotalEvents within 0..32767");
    Require(s.NextEventIndex >= 0 && s.NextEventIndex < std::max<int32_t>(s.TotalEvents(), 1),
            "NextEventIndex within the events");
    for (int32_t i = 0; i < s.TotalEvents(); ++i) {
        const AutomationEvent& ev = s.Events[static_cast<std::size_t>(i)];
        for (const Maximum& m : kMaxima)
            if (ev.*m.field > m.max) fuzz::Broken(m.name);
        Require(ev.DayName == DayNameOf(ev.Day), "DayName follows Day");
        if (i > 0)
            Require(!RunsBefore(ev, s.Events[static_cast<std::size_t>(i - 1)]),
                    "Events in running order");
    }
    CheckTriggerTable(
        e, TriggerTable::Opto, [](int16_t t) { return t == kOptoOn || t == kOptoOff; },
        &AutomationEvent::Opto, justLoaded);
    CheckTriggerTable(
        e, TriggerTable::Relay, [](int16_t t) { return t == kRelayOn || t == kRelayOff; },
        &AutomationEvent::Opto, justLoaded);
    CheckTriggerTable(
        e, TriggerTable::Crosspoint, [](int16_t t) { return t == kCrosspointTrigger; },
        &AutomationEvent::TriggerDest, justLoaded);
    if (!s.CrosspointEvents.empty()) {
        std::vector<int16_t> dests;
        for (const AutomationEvent& ev : s.CrosspointEvents)
            if (dests.empty() || dests.back() != ev.TriggerDest) dests.push_back(ev.TriggerDest);
        Require(dests == s.CrosspointTriggerDests, "one trigger destination per destination with events");
    }
}

// A dotted address as a load leaves it: four numbers 0..255 in plain decimal.
bool Normalised(const QString& address) {
    const QStringList parts = address.split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        bool ok = false;
        const int v = part.toInt(&ok);
        if (!ok || v < 0 || v > 255 || QString::number(v) != part) return false;
    }
    return true;
}

// Once a load has read the switcher's address, no text of the file survives unchecked.
void CheckSettings(const Engine& e) {
    const EngineSettings& s = e.settings;
    if (s.IPAddr.isEmpty()) return;  // no load got as far as the switcher's address
    Require(Normalised(s.IPAddr), "IPAddr normalised");
    Require(Normalised(s.SlaveIPAddr), "SlaveIPAddr normalised");
    Require(s.IPPort > 0 && s.SlaveIPPort > 0, "ports above 0");
    Require(s.SlaveEnabled == (s.SlaveIPAddr != QLatin1String("0.0.0.0")),
            "SlaveEnabled follows SlaveIPAddr");
}

// Whatever a load read, the engine never dials out of the fuzzer, and its logs stay small.
void KeepInside(Engine& e) {
    EngineSettings& s = e.settings;
    s.IPAddr = s.SlaveIPAddr = QStringLiteral("0.0.0.0");
    s.SlaveEnabled = e.switcher.SlaveEnabled = false;
    for (SwitcherLink* l : {&e.switcher.master(), &e.switcher.slave()}) l->wantedAddress = s.IPAddr;
    e.logs.MaxTallyFile = 1;
    e.logs.ArchiveTally = false;
}

// The clock at the first timed event that can fall due, when there is one.
void MoveToFirstTimedEvent(Engine& e, ManualClock& clock) {
    for (const AutomationEvent& ev : e.scheduler.Events) {
        const std::optional<int> seconds = EventSeconds(ev.Time.view());
        if (ev.Type != kTimed || !IsWeekday(ev.Day) || !seconds) continue;
        clock.setNow(QDateTime(kMonday.addDays(ev.Day), QTime(0, 0).addSecs(*seconds)));
        return;
    }
}

void FreshFolder(const QString& path) {
    QDir(path).removeRecursively();
    QDir().mkpath(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString program = fuzz::SubFolder(QStringLiteral("loader"));
    static const QString taskView = fuzz::SubFolder(QStringLiteral("taskview"));
    static const std::vector<QString> folders = FolderChoices(program, taskView);

    const Description d = fuzz::ReadDescription(data, size);
    FreshFolder(program);
    FreshFolder(taskView);
    {
        QFile plain(taskView + QStringLiteral("plain.txt"));
        plain.open(QIODevice::WriteOnly);
    }
    const QString path = program + kDatabaseFileName;
    WriteDatabase(path, d, folders);

    try {
        ManualClock clock(
            QDateTime(kMonday.addDays(std::min<int>(d.day, 6)), QTime(d.hour, d.minute)));
        fuzz::QuietView view;
        Engine e(clock, view, program);

        LoadDatabase(e);
        CheckEvents(e, true);
        CheckSettings(e);
        const QString upgraded = Schema(path);
        LoadDatabase(e);
        CheckEvents(e, true);
        CheckSettings(e);
        if (Schema(path) != upgraded) fuzz::Broken("a second load changed the schema again");

        if (d.day == 7) MoveToFirstTimedEvent(e, clock);
        e.scheduler.sampleClock();
        ReselectNextEvent(e);
        CheckEvents(e, false);
        for (int n = 0; n < d.ticks(); ++n) {
            KeepInside(e);
            clock.advance(500);
            TimerTick(e);
            CheckEvents(e, false);
        }
    } catch (...) {
        fuzz::Broken("an exception escaped the engine");
    }
    fuzz::CheckErrorLog(program);
    return 0;
}
