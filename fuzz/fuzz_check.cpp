// The check and the preview of a schedule: any tables, columns and values (the loader target's
// input), written as a real database file and inspected, then checked against the program folder
// and previewed for up to 16 days from a moment in the week before a change of daylight saving.
//
// The inspection must leave the file as it was; every problem must belong to a row read, its
// line starting with that row's title; the preview's entries must fall inside its span in the
// order they are decided, a one-time row at most once, and every triggered row must be under
// exactly one trigger.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTimeZone>

#include "database_writer.h"
#include "fuzz_engine.h"
#include "loader_input.h"
#include "scheduler/schedule_check.h"
#include "scheduler/schedule_preview.h"
#include "store/event_store.h"
#include "store/load_database.h"

using namespace tarvo;
using fuzz::Require;

namespace {

QByteArray FileHash(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha1);
    h.addData(&f);
    return h.result();
}

// The week before each zone's spring change, and one without any.
const QTimeZone& ZoneOf(int choice) {
    static const QTimeZone zones[] = {QTimeZone::utc(), QTimeZone("Europe/Helsinki"),
                                      QTimeZone("America/New_York")};
    return zones[choice % 3];
}

void CheckProblems(const std::vector<AutomationEvent>& rows,
                   const std::vector<RowProblem>& problems) {
    std::size_t row = 0;
    for (const RowProblem& p : problems) {
        // Row by row, in the order read.
        while (row < rows.size() && (rows[row].Number != p.number || rows[row].Title != p.title))
            ++row;
        Require(row < rows.size(), "a problem belongs to a row read, in row order");
        Require(p.text.startsWith(p.title), "a problem's line starts with its row's title");
    }
}

void CheckPreview(const SchedulePreview& p) {
    Require(p.rows.size() <= static_cast<std::size_t>(kMaxEvents),
            "the preview holds the rows the engine loads");
    std::vector<int> seen(p.rows.size(), 0);
    QDateTime last;
    for (const TimedEntry& e : p.timed) {
        Require(e.row >= 0 && static_cast<std::size_t>(e.row) < p.rows.size(),
                "an entry designates a row");
        Require(e.at > p.from && e.at <= p.to, "an entry falls inside the preview");
        Require(!last.isValid() || last <= e.at, "the entries in the order they fall");
        last = e.at;
        const PreviewRow& row = p.rows[static_cast<std::size_t>(e.row)];
        Require(row.active != kRunOnce || ++seen[static_cast<std::size_t>(e.row)] == 1,
                "a one-time row at most once");
        Require(e.lastRun == (row.active == kRunOnce), "the last run is the one-time row's");
        EntryNote(p, e);
    }
    std::vector<int> grouped(p.rows.size(), 0);
    for (const TriggerGroup& g : p.triggered) {
        Require(!g.rows.empty() && !g.trigger.isEmpty(), "a trigger with its events");
        for (int i : g.rows) ++grouped.at(static_cast<std::size_t>(i));
    }
    for (std::size_t i = 0; i < p.rows.size(); ++i)
        Require(grouped[i] == 0 || grouped[i] == 1, "each triggered row under one trigger");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::StartQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString program = fuzz::SubFolder(QStringLiteral("check"));
    static const std::vector<QString> folders = {QString(), program};

    const fuzz::Description d = fuzz::ReadDescription(data, size);
    QDir(program).removeRecursively();
    QDir().mkpath(program);
    const QString path = program + kDatabaseFileName;
    fuzz::WriteDatabase(path, d, folders);
    const QByteArray before = FileHash(path);

    try {
        const DatabaseRead read = InspectAutomationDatabase(path);
        Require(FileHash(path) == before, "an inspection leaves the file as it was");
        Require(QDir(program).entryList(QDir::Files) == QStringList{kDatabaseFileName},
                "an inspection writes nothing");
        if (read.outcome != DatabaseRead::Read) return 0;

        CheckProblems(read.rows, CheckSchedule(read.rows, program));
        // 22 March 2027 is a Monday: Helsinki springs forward on the Sunday after, and New York
        // has done so the Sunday before.
        const QTimeZone& zone = ZoneOf(d.day);
        const QDateTime start(QDate(2027, 3, 22).addDays(d.day % 7), QTime(d.hour, d.minute), zone);
        CheckPreview(PreviewSchedule(read.rows, start, d.ticks(), zone));
    } catch (...) {
        fuzz::Broken("an exception escaped the check or the preview");
    }
    return 0;
}
