// The console's editor: the rows of the Automation table as forms, saves checked as `--check`
// checks and made in one transaction that names the versions it changed, and the history of
// every change with its undo. All of it runs off the loop on connections of its own; the engine
// is asked to read the file again once a save is made.
#include <algorithm>
#include <set>

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>

#include "engine/engine.h"
#include "engine/main_loop.h"
#include "logs/logs.h"
#include "scheduler/event_form.h"
#include "scheduler/schedule_check.h"
#include "store/load_database.h"
#include "store/schedule_edit.h"
#include "store/sqlite.h"
#include "web/console.h"

namespace tarvo::web {

namespace {

// An editor waits this long for the engine or another writer; it is off the loop.
constexpr int kEditorBusyMs = 2000;
constexpr int kMaxChangesPerSave = 4096;

struct Paths {
    QString database, record, folder;
};

std::vector<AutomationEvent> readTable(const Paths& p) {
    Database db(p.database, kEditorBusyMs, Database::ReadOnly);
    db.exec(QStringLiteral("BEGIN"));
    return ReadAllRows(db);
}

QJsonObject rowJson(const AutomationEvent& row, const QJsonArray& problems) {
    return {{QStringLiteral("version"), RowVersion(row)},
            {QStringLiteral("form"), FormOf(row)},
            {QStringLiteral("problems"), problems}};
}

QJsonValue formOrNull(const std::optional<AutomationEvent>& row) {
    return row ? QJsonValue(FormOf(*row)) : QJsonValue(QJsonValue::Null);
}

// Every row with its version, its form and what `--check` finds in it.
QJsonObject tableJson(const std::vector<AutomationEvent>& rows, const QString& folder) {
    std::multimap<int16_t, RowProblem> problems;
    for (RowProblem& p : CheckSchedule(rows, folder)) problems.emplace(p.number, std::move(p));
    QJsonArray out;
    std::set<int> used;
    for (const AutomationEvent& row : rows) {
        QJsonArray mine;
        const auto [from, to] = problems.equal_range(row.Number);
        for (auto it = from; it != to; ++it)
            mine.append(QJsonObject{{QStringLiteral("field"), ProblemField(row, it->second.text)},
                                    {QStringLiteral("text"), it->second.text},
                                    {QStringLiteral("warning"), it->second.warning}});
        out.append(rowJson(row, mine));
        used.insert(row.Number);
    }
    int next = used.empty() ? 1 : *used.rbegin() + 1;
    if (next > kMaxEvents)
        for (next = 1; next <= kMaxEvents && used.count(next); ++next) {
        }
    return {{QStringLiteral("rows"), out}, {QStringLiteral("nextNumber"), next}};
}

QJsonObject changeJson(const ScheduleChange& c) {
    QJsonArray rows;
    for (const RowChange& r : c.rows)
        rows.append(QJsonObject{{QStringLiteral("number"), r.number},
                                {QStringLiteral("before"), formOrNull(r.before)},
                                {QStringLiteral("after"), formOrNull(r.after)},
                                {QStringLiteral("beforeVersion"), r.before ? RowVersion(*r.before) : QString()},
                                {QStringLiteral("afterVersion"), r.after ? RowVersion(*r.after) : QString()}});
    return {{QStringLiteral("id"), static_cast<qint64>(c.id)},
            {QStringLiteral("at"), c.at.toString(Qt::ISODateWithMs)},
            {QStringLiteral("who"), c.who},
            {QStringLiteral("what"), c.what},
            {QStringLiteral("rows"), rows}};
}

QJsonObject problemJson(std::size_t change, const QString& field, const QString& text) {
    return {{QStringLiteral("change"), static_cast<int>(change)},
            {QStringLiteral("field"), field},
            {QStringLiteral("text"), text}};
}

// One save: the edits, each with the form the editor sent (shown back in a conflict).
struct Save {
    Paths paths;
    QString who, what;
    std::vector<RowEdit> edits;
    std::vector<QJsonValue> yours;
};

HttpReply conflictReply(const Save& save, const std::vector<EditOutcome::StaleRow>& stale) {
    QJsonArray conflicts;
    for (const EditOutcome::StaleRow& s : stale) {
        QJsonArray theirs;
        for (const AutomationEvent& r : s.current)
            theirs.append(QJsonObject{{QStringLiteral("version"), RowVersion(r)}, {QStringLiteral("form"), FormOf(r)}});
        conflicts.append(QJsonObject{{QStringLiteral("change"), static_cast<int>(s.edit)},
                                     {QStringLiteral("yours"), save.yours[s.edit]},
                                     {QStringLiteral("theirs"), theirs}});
    }
    return Json({{QStringLiteral("conflicts"), conflicts}}, 409);
}

// The edits whose row is no longer as the editor saw it in `table`: a conflict is told before
// the check, which would otherwise find the row the editor did not see beside the one it made.
// The save itself looks again under its lock.
std::vector<EditOutcome::StaleRow> staleIn(const std::vector<AutomationEvent>& table, const std::vector<RowEdit>& edits) {
    std::vector<EditOutcome::StaleRow> stale;
    for (std::size_t i = 0; i < edits.size(); ++i) {
        EditOutcome::StaleRow s{i, {}};
        bool found = false;
        for (const AutomationEvent& r : table)
            if (r.Number == edits[i].number) {
                s.current.push_back(r);
                found = found || (!edits[i].version.isEmpty() && RowVersion(r) == edits[i].version);
            }
        if (edits[i].version.isEmpty() ? !s.current.empty() : !found) stale.push_back(std::move(s));
    }
    return stale;
}

// Checks the rows a save makes as `--check` would check them in the table they make, and makes
// it when nothing is refused. Runs off the loop.
HttpReply makeSave(const Save& save) {
    std::vector<AutomationEvent> table;
    try {
        table = readTable(save.paths);
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        return IsLockFailure(failure) ? Error(503, QStringLiteral("database is locked"))
                                      : Error(500, failure.description());
    }
    if (const auto stale = staleIn(table, save.edits); !stale.empty()) return conflictReply(save, stale);
    // The table as the save leaves it, for the check.
    std::vector<AutomationEvent> after = table;
    for (const RowEdit& e : save.edits)
        if (!e.version.isEmpty())
            std::erase_if(after, [&](const AutomationEvent& r) { return r.Number == e.number && RowVersion(r) == e.version; });
    for (const RowEdit& e : save.edits)
        if (e.after) after.push_back(*e.after);
    std::stable_sort(after.begin(), after.end(),
                     [](const AutomationEvent& a, const AutomationEvent& b) { return a.Number < b.Number; });
    QJsonArray problems;
    for (std::size_t i = 0; i < save.edits.size(); ++i) {
        const RowEdit& e = save.edits[i];
        if (!e.after) continue;
        for (const FieldProblem& p : CheckRowInTable(*e.after, after, save.paths.folder))
            if (!p.warning) problems.append(problemJson(i, p.field, p.text));
        const auto same = std::count_if(after.begin(), after.end(),
                                        [&](const AutomationEvent& r) { return r.Number == e.after->Number; });
        if (same > 1)
            problems.append(problemJson(i, QStringLiteral("number"),
                                        QStringLiteral("Number %1 is used by another row").arg(e.after->Number)));
    }
    if (!problems.isEmpty()) return Json({{QStringLiteral("problems"), problems}}, 422);

    const EditOutcome done =
        ApplyScheduleEdit(save.paths.database, save.paths.record, save.who, save.what, save.edits, kEditorBusyMs);
    switch (done.result) {
        case EditOutcome::Done: {
            QJsonArray rows;
            for (const RowChange& c : done.changes)
                if (c.after) rows.append(rowJson(*c.after, QJsonArray()));
            return Json({{QStringLiteral("change"), static_cast<qint64>(done.changeId)},
                              {QStringLiteral("rows"), rows}});
        }
        case EditOutcome::Stale:
            return conflictReply(save, done.stale);
        case EditOutcome::Invalid: {
            QJsonArray doubled;
            for (std::size_t i = 0; i < save.edits.size(); ++i)
                if (save.edits[i].after &&
                    std::count(done.doubled.begin(), done.doubled.end(), save.edits[i].after->Number))
                    doubled.append(problemJson(i, QStringLiteral("number"),
                                               QStringLiteral("Number %1 is used by another row")
                                                   .arg(save.edits[i].after->Number)));
            return Json({{QStringLiteral("problems"), doubled}}, 422);
        }
        case EditOutcome::Locked:
            return Error(503, QStringLiteral("database is locked"));
        case EditOutcome::Failed:
            break;
    }
    return Error(500, done.failure);
}

// The edits of a POST /api/events body, or the reason it is refused (an HTTP status and text).
struct ParsedSave {
    std::vector<RowEdit> edits;
    std::vector<QJsonValue> yours;
    QJsonArray problems;
    QString refusal;
};

ParsedSave parseSave(const QByteArray& body) {
    ParsedSave p;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    const QJsonValue changes = doc.object().value(QStringLiteral("changes"));
    if (error.error != QJsonParseError::NoError || !doc.isObject() || !changes.isArray() ||
        changes.toArray().isEmpty()) {
        p.refusal = QStringLiteral("the body is {\"changes\": [...]}");
        return p;
    }
    const QJsonArray list = changes.toArray();
    if (list.size() > kMaxChangesPerSave) {
        p.refusal = QStringLiteral("at most %1 changes in one save").arg(kMaxChangesPerSave);
        return p;
    }
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject c = list[i].toObject();
        RowEdit e;
        const QJsonValue number = c.value(QStringLiteral("number"));
        const QJsonValue version = c.value(QStringLiteral("version"));
        const QJsonValue form = c.value(QStringLiteral("form"));
        const double n = number.toDouble(-1);
        if (!number.isDouble() || n != static_cast<int>(n) || n < -32768 || n > 32767 ||
            !(version.isString() || version.isNull() || version.isUndefined()) ||
            !(form.isObject() || form.isNull())) {
            p.refusal = QStringLiteral("change %1 is {\"number\": N, \"version\": \"...\", \"form\": {...} or null}").arg(i);
            return p;
        }
        e.number = static_cast<int16_t>(n);
        e.version = version.toString();
        if (form.isNull() && e.version.isEmpty()) {
            p.refusal = QStringLiteral("change %1 removes a row without naming its version").arg(i);
            return p;
        }
        if (form.isObject()) {
            std::vector<FieldProblem> problems;
            e.after = RowFromForm(form.toObject(), problems);
            for (const FieldProblem& fp : problems)
                if (!fp.warning) p.problems.append(problemJson(static_cast<std::size_t>(i), fp.field, fp.text));
        }
        p.yours.push_back(form);
        p.edits.push_back(std::move(e));
    }
    return p;
}

}  // namespace

void WebConsole::editor(const HttpRequest& rq, const QString& user, Role role, Answer answer) {
    if (!engine_) return answer(Error(503, QStringLiteral("no engine")));
    const QByteArray& path = rq.path;
    const bool get = rq.method == "GET" || rq.method == "HEAD";
    const Paths paths{engine_->store.DatabasePath, engine_->record.path, engine_->AppFolder};
    if (!get && role != Role::Editor) return answer(Error(403, QStringLiteral("only an editor changes the schedule")));
    // A save made: the engine reads the file at once, then the editor has its answer.
    QPointer<WebConsole> self(this);
    Answer reloadThenAnswer = [self, answer](HttpReply r) {
        if (self && self->engine_ && r.status == 200) CheckDatabaseFile(*self->engine_);
        answer(std::move(r));
    };

    if (path == "/api/events") {
        if (get) {
            return answerLater(
                [paths] {
                    try {
                        return Json(tableJson(readTable(paths), paths.folder));
                    } catch (...) {
                        const TarvoError failure = CurrentFailure(std::current_exception());
                        return IsLockFailure(failure) ? Error(503, QStringLiteral("database is locked"))
                                                      : Error(500, failure.description());
                    }
                },
                std::move(answer));
        }
        if (rq.method != "POST") return answer(Error(405, QStringLiteral("GET or POST")));
        ParsedSave parsed = parseSave(rq.body);
        if (!parsed.refusal.isEmpty()) return answer(Error(400, parsed.refusal));
        if (!parsed.problems.isEmpty()) return answer(Json({{QStringLiteral("problems"), parsed.problems}}, 422));
        Save save{paths, user, QStringLiteral("edit"), std::move(parsed.edits), std::move(parsed.yours)};
        return answerLater([save = std::move(save)] { return makeSave(save); }, std::move(reloadThenAnswer));
    }

    if (path == "/api/changes") {
        if (!get) return answer(Error(405, QStringLiteral("GET only")));
        ScheduleHistory::Filter filter;
        bool ok = true;
        auto number = [&](const char* key, int64_t min, int64_t max) -> std::optional<int64_t> {
            const QString v = rq.query.queryItemValue(QLatin1String(key));
            if (v.isEmpty()) return std::nullopt;
            bool good = false;
            const qlonglong n = v.toLongLong(&good);
            if (!good || n < min || n > max) ok = false;
            return n;
        };
        if (const auto n = number("number", -32768, 32767)) filter.number = static_cast<int16_t>(*n);
        // A day is a date (the changes made on it, local time) or a weekday of the rows, 0 Monday.
        const QDate date = QDate::fromString(rq.query.queryItemValue(QStringLiteral("day")), Qt::ISODate);
        if (date.isValid()) {
            const QTimeZone zone = engine_->clock.zone();
            filter.fromMs = QDateTime(date, QTime(0, 0), zone).toMSecsSinceEpoch();
            filter.toMs = QDateTime(date.addDays(1), QTime(0, 0), zone).toMSecsSinceEpoch();
        } else if (const auto d = number("day", -32768, 32767)) {
            filter.day = static_cast<int16_t>(*d);
        }
        if (const auto b = number("before", 1, INT64_MAX)) filter.beforeId = *b;
        if (const auto l = number("limit", 1, 1000)) filter.limit = static_cast<int>(*l);
        if (!ok) return answer(Error(400, QStringLiteral("number, day, before and limit are whole numbers")));
        return answerLater(
            [paths, filter] {
                try {
                    const std::unique_ptr<Database> db = OpenHistory(paths.record, kEditorBusyMs);
                    QJsonArray out;
                    for (const ScheduleChange& c : ScheduleHistory(*db).list(filter)) out.append(changeJson(c));
                    return Json({{QStringLiteral("changes"), out}});
                } catch (...) {
                    return Error(500, CurrentFailure(std::current_exception()).description());
                }
            },
            std::move(answer));
    }

    // POST /api/changes/ID/undo
    const QList<QByteArray> parts = path.split('/');
    bool ok = false;
    const qlonglong id = parts.size() == 5 ? parts[3].toLongLong(&ok) : 0;
    if (!ok || id <= 0 || parts[4] != "undo") return answer(Error(404, QStringLiteral("no such page")));
    if (rq.method != "POST") return answer(Error(405, QStringLiteral("POST only")));
    return answerLater(
        [paths, user, id] {
            std::optional<ScheduleChange> change;
            try {
                const std::unique_ptr<Database> db = OpenHistory(paths.record, kEditorBusyMs);
                change = ScheduleHistory(*db).get(id);
            } catch (...) {
                return Error(500, CurrentFailure(std::current_exception()).description());
            }
            if (!change) return Error(404, QStringLiteral("no change %1").arg(id));
            // Each row back as it was: the row the change made is the one that must still be there.
            Save save{paths, user, QStringLiteral("undo of change %1").arg(id), {}, {}};
            for (const RowChange& r : change->rows) {
                RowEdit e;
                e.number = r.after ? r.after->Number : r.before->Number;
                e.version = r.after ? RowVersion(*r.after) : QString();
                e.after = r.before;
                save.edits.push_back(std::move(e));
                save.yours.push_back(formOrNull(r.before));
            }
            return makeSave(save);
        },
        std::move(reloadThenAnswer));
}

}  // namespace tarvo::web
