#include "store/schedule_edit.h"

#include <algorithm>
#include <map>

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>

#include <QTimeZone>
#include <sqlite3.h>

#include "logs/failure.h"
#include "logs/logs.h"
#include "store/engine_record.h"
#include "store/load_database.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

const char* const kHistorySchema = R"(
CREATE TABLE IF NOT EXISTS schedule_changes (id INTEGER PRIMARY KEY AUTOINCREMENT, at_ms INTEGER,
    who TEXT, what TEXT);
CREATE TABLE IF NOT EXISTS schedule_change_rows (change INTEGER, seq INTEGER, number INTEGER,
    before_number INTEGER, before_day INTEGER, after_day INTEGER, before BLOB, after BLOB);
CREATE INDEX IF NOT EXISTS schedule_change_rows_change ON schedule_change_rows (change, seq);
CREATE INDEX IF NOT EXISTS schedule_change_rows_number ON schedule_change_rows (number);
)";

constexpr quint8 kRowFormat = 1;

// A row as the history keeps it: every field a load reads, the kept texts and what did not read.
QByteArray encodeRow(const AutomationEvent& ev) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kRowFormat << EncodeEvent(ev) << ev.Kept.toString() << ev.Unreadable.toString();
    return bytes;
}

std::optional<AutomationEvent> decodeRow(const FieldValue& value) {
    const auto* bytes = std::get_if<QByteArray>(&value.v);
    if (!bytes) return std::nullopt;
    QDataStream in(*bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint8 format = 0;
    QByteArray event;
    QString kept, unreadable;
    in >> format >> event >> kept >> unreadable;
    if (format != kRowFormat || in.status() != QDataStream::Ok) return std::nullopt;
    std::optional<AutomationEvent> ev = DecodeEvent(event);
    if (!ev) return std::nullopt;
    ev->Kept = kept;
    if (!unreadable.isEmpty()) ev->Unreadable = unreadable;
    return ev;
}

int64_t integerAt(const Statement& st, int i) {
    const FieldValue v = st.value(i);
    return v.isNull() ? 0 : ToInteger(v, INT64_MIN, INT64_MAX);
}

QString textAt(const Statement& st, int i) {
    const FieldValue v = st.value(i);
    return v.isNull() ? QString() : ToText(v);
}

int16_t numberOf(const RowChange& c) { return c.after ? c.after->Number : c.before->Number; }

// The columns an editor writes, with the row's value for each. An empty text is written as an
// empty text (a Null would read as the column's default, "None" for a title); only a kept text
// that is empty is written as Null, as a table made by the editing tool holds it.
std::vector<std::pair<QString, FieldValue>> columnValues(const AutomationEvent& ev) {
    std::vector<std::pair<QString, FieldValue>> c;
    auto i = [&](const char* name, int64_t v) { c.emplace_back(QLatin1String(name), FieldValue{v}); };
    auto t = [&](const char* name, const QString& v) {
        c.emplace_back(QLatin1String(name), FieldValue{v.isEmpty() ? QStringLiteral("") : v});
    };
    auto kept = [&](const char* name, const QString& v) {
        c.emplace_back(QLatin1String(name), v.isEmpty() ? FieldValue{} : FieldValue{v});
    };
    i("Number", ev.Number), i("Day", ev.Day), t("Time", ev.Time), i("Delay", ev.Delay), t("Title", ev.Title);
    i("SourceChan", ev.SourceChan), i("DestChan", ev.DestChan), i("ReqSource", ev.ReqSource);
    i("ReqDest", ev.ReqDest), i("ReqSource2", ev.ReqSource2), i("ReqDest2", ev.ReqDest2);
    i("ReqOpto", ev.ReqOpto), i("ReqRelay", ev.ReqRelay), i("ReqOpto2", ev.ReqOpto2), i("ReqRelay2", ev.ReqRelay2);
    i("ssSource", ev.ssSource), i("ssDeviceID", ev.ssDeviceID), i("Active", ev.Active), i("Relay", ev.Relay);
    i("Opto", ev.Opto), i("rcRelay", ev.rcRelay), i("rcOpto", ev.rcOpto), i("OptoOut", ev.OptoOut);
    i("Salvo", ev.Salvo), i("VChan", ev.VChan), i("Gain", ev.Gain), i("xcontrol", ev.xcontrol);
    i("rcontrol", ev.rcontrol), i("scontrol", ev.scontrol), i("vcontrol", ev.vcontrol);
    i("ocontrol", ev.ocontrol), i("rccontrol", ev.rccontrol), i("sscontrol", ev.sscontrol), i("Type", ev.Type);
    i("Priority", ev.Priority), i("Condition", ev.Condition), i("Condition2", ev.Condition2);
    i("OptoCondition", ev.OptoCondition), i("RelayCondition", ev.RelayCondition);
    i("OptoCondition2", ev.OptoCondition2), i("RelayCondition2", ev.RelayCondition2);
    t("FileName", ev.FileName), i("FileType", ev.FileType), i("FileChannel1", ev.FileChannel1);
    i("Template", ev.Template), i("FFrame", ev.FFrame), i("FSlot", ev.FSlot), t("Message", ev.Message);
    i("mcontrol", ev.mcontrol), i("mtype", ev.mtype), t("Method", ev.Method), t("MIPAddress", ev.MIPAddress);
    i("MIPPort", ev.MIPPort), i("MFrame", ev.MFrame), i("MSlot", ev.MSlot), i("MPort", ev.MPort);
    i("MCommPort", ev.MCommPort), i("MBaudRate", ev.MBaudRate), i("TriggerSource", ev.TriggerSource);
    i("TriggerDest", ev.TriggerDest), i("tControl", ev.tControl), i("Option", ev.Option), i("Color", ev.Color);
    const KeptTexts k = SplitKept(ev.Kept);
    kept("Days", k.Days), kept("Future1", k.Future1), kept("Future2", k.Future2), kept("Future3", k.Future3);
    kept("Future4", k.Future4), kept("Future5", k.Future5);
    return c;
}

// Writes `ev` into the row `rowid` (0: a new row); returns the row's rowid. Only the columns the
// table has are written (an older file lacks some until the engine upgrades it).
int64_t writeRow(Database& db, int64_t rowid, const AutomationEvent& ev) {
    QStringList have;
    for (const QString& c : db.columns(QStringLiteral("Automation"))) have << c.toLower();
    std::vector<std::pair<QString, FieldValue>> values = columnValues(ev);
    std::erase_if(values, [&](const auto& v) { return !have.contains(v.first.toLower()); });
    QStringList names, marks;
    for (std::size_t k = 0; k < values.size(); ++k) {
        names << QLatin1Char('[') + values[k].first + QLatin1Char(']');
        marks << QStringLiteral("?%1").arg(k + 1);
    }
    QString sql;
    if (rowid == 0) {
        sql = QStringLiteral("INSERT INTO Automation (%1) VALUES (%2)").arg(names.join(u','), marks.join(u','));
    } else {
        QStringList sets;
        for (qsizetype k = 0; k < names.size(); ++k) sets << names[k] + QLatin1Char('=') + marks[k];
        sql = QStringLiteral("UPDATE Automation SET %1 WHERE rowid = ?%2").arg(sets.join(u',')).arg(values.size() + 1);
    }
    Statement st(db, sql);
    for (std::size_t k = 0; k < values.size(); ++k) st.bind(static_cast<int>(k + 1), values[k].second);
    if (rowid != 0) st.bind(static_cast<int>(values.size() + 1), rowid);
    st.run();
    return rowid != 0 ? rowid : sqlite3_last_insert_rowid(db.handle());
}

}  // namespace

QString RowVersion(const AutomationEvent& row) {
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(encodeRow(row));
    return QString::fromLatin1(h.result().left(16).toHex());
}

std::vector<RowChange> DiffRows(const std::vector<AutomationEvent>& before,
                                const std::vector<AutomationEvent>& after) {
    struct Side {
        std::vector<const AutomationEvent*> b, a;
    };
    std::map<int16_t, Side> byNumber;
    for (const AutomationEvent& ev : before) byNumber[ev.Number].b.push_back(&ev);
    for (const AutomationEvent& ev : after) byNumber[ev.Number].a.push_back(&ev);
    std::vector<RowChange> changes;
    for (auto& [number, side] : byNumber) {
        // Rows that stayed as they were, however many of one Number, are paired off first; what
        // is left is changed, in order, then added or removed.
        std::vector<bool> aUsed(side.a.size(), false);
        std::vector<const AutomationEvent*> gone, come;
        for (const AutomationEvent* ev : side.b) {
            bool kept = false;
            for (std::size_t k = 0; k < side.a.size() && !kept; ++k)
                if (!aUsed[k] && SameEvent(*side.a[k], *ev)) aUsed[k] = kept = true;
            if (!kept) gone.push_back(ev);
        }
        for (std::size_t k = 0; k < side.a.size(); ++k)
            if (!aUsed[k]) come.push_back(side.a[k]);
        for (std::size_t k = 0; k < std::max(gone.size(), come.size()); ++k) {
            RowChange c;
            c.number = number;
            if (k < gone.size()) c.before = *gone[k];
            if (k < come.size()) c.after = *come[k];
            changes.push_back(std::move(c));
        }
    }
    return changes;
}

void ApplyChanges(std::vector<AutomationEvent>& rows, const std::vector<RowChange>& changes) {
    auto find = [&](const AutomationEvent& ev) {
        return std::find_if(rows.begin(), rows.end(),
                            [&](const AutomationEvent& r) { return r.Number == ev.Number && SameEvent(r, ev); });
    };
    for (const RowChange& c : changes) {
        if (c.before) {
            const auto at = find(*c.before);
            if (at != rows.end()) rows.erase(at);
        }
        if (c.after && find(*c.after) == rows.end()) {
            const auto at = std::upper_bound(rows.begin(), rows.end(), c.after->Number,
                                             [](int16_t n, const AutomationEvent& r) { return n < r.Number; });
            rows.insert(at, *c.after);
        }
    }
}

ScheduleHistory::ScheduleHistory(Database& db, int64_t kept) : db_(db), kept_(kept) { db_.exec(QString::fromLatin1(kHistorySchema)); }

int64_t ScheduleHistory::append(const ScheduleChange& change) {
    // A savepoint: one transaction of its own, or a part of the caller's.
    db_.exec(QStringLiteral("SAVEPOINT history_append"));
    struct Undo {
        Database& db;
        bool done = false;
        ~Undo() {
            if (!done) sqlite3_exec(db.handle(), "ROLLBACK TO history_append; RELEASE history_append", nullptr, nullptr, nullptr);
        }
    } undo{db_};
    Statement head(db_, QStringLiteral("INSERT INTO schedule_changes (at_ms, who, what) VALUES (?1, ?2, ?3)"));
    head.bind(1, change.at.toMSecsSinceEpoch());
    head.bind(2, change.who);
    head.bind(3, change.what);
    head.run();
    const int64_t id = sqlite3_last_insert_rowid(db_.handle());
    Statement row(db_, QStringLiteral("INSERT INTO schedule_change_rows (change, seq, number, before_number, "
                                      "before_day, after_day, before, after) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
    int64_t seq = 0;
    for (const RowChange& c : change.rows) {
        row.bind(1, id);
        row.bind(2, seq++);
        row.bind(3, static_cast<int64_t>(numberOf(c)));
        row.bind(4, c.before ? FieldValue{int64_t{c.before->Number}} : FieldValue{});
        row.bind(5, c.before ? FieldValue{int64_t{c.before->Day}} : FieldValue{});
        row.bind(6, c.after ? FieldValue{int64_t{c.after->Day}} : FieldValue{});
        row.bind(7, c.before ? FieldValue{encodeRow(*c.before)} : FieldValue{});
        row.bind(8, c.after ? FieldValue{encodeRow(*c.after)} : FieldValue{});
        row.run();
        row.reset();
    }
    Statement old(db_, QStringLiteral("DELETE FROM schedule_change_rows WHERE change <= ?1"));
    old.bind(1, id - kept_);
    old.run();
    Statement oldHeads(db_, QStringLiteral("DELETE FROM schedule_changes WHERE id <= ?1"));
    oldHeads.bind(1, id - kept_);
    oldHeads.run();
    db_.exec(QStringLiteral("RELEASE history_append"));
    undo.done = true;
    return id;
}

namespace {

std::vector<ScheduleChange> changesWhere(Database& db, const QString& where, const std::vector<FieldValue>& args) {
    std::vector<ScheduleChange> out;
    Statement heads(db, QStringLiteral("SELECT id, at_ms, who, what FROM schedule_changes ") + where);
    for (std::size_t k = 0; k < args.size(); ++k) heads.bind(static_cast<int>(k + 1), args[k]);
    while (heads.next()) {
        ScheduleChange c;
        c.id = integerAt(heads, 0);
        c.at = QDateTime::fromMSecsSinceEpoch(integerAt(heads, 1), QTimeZone::utc());
        c.who = textAt(heads, 2);
        c.what = textAt(heads, 3);
        out.push_back(std::move(c));
    }
    Statement rows(db, QStringLiteral("SELECT number, before, after FROM schedule_change_rows WHERE change = ?1 ORDER BY seq"));
    for (ScheduleChange& c : out) {
        rows.bind(1, c.id);
        while (rows.next()) {
            RowChange r;
            r.number = static_cast<int16_t>(integerAt(rows, 0));
            r.before = decodeRow(rows.value(1));
            r.after = decodeRow(rows.value(2));
            // An entry that cannot be read is left out rather than shown as what it is not.
            if (r.before || r.after) c.rows.push_back(std::move(r));
        }
        rows.reset();
    }
    return out;
}

}  // namespace

std::vector<ScheduleChange> ScheduleHistory::list(const Filter& f) {
    QStringList conditions;
    std::vector<FieldValue> args;
    if (f.beforeId > 0) {
        args.push_back(FieldValue{f.beforeId});
        conditions << QStringLiteral("id < ?%1").arg(args.size());
    }
    if (f.toMs > 0) {
        args.push_back(FieldValue{int64_t{f.fromMs}});
        args.push_back(FieldValue{int64_t{f.toMs}});
        conditions << QStringLiteral("at_ms >= ?%1 AND at_ms < ?%2").arg(args.size() - 1).arg(args.size());
    }
    if (f.number) {
        args.push_back(FieldValue{int64_t{*f.number}});
        conditions << QStringLiteral("id IN (SELECT change FROM schedule_change_rows WHERE number = ?%1 OR "
                                     "before_number = ?%1)")
                          .arg(args.size());
    }
    if (f.day) {
        args.push_back(FieldValue{int64_t{*f.day}});
        conditions << QStringLiteral("id IN (SELECT change FROM schedule_change_rows WHERE before_day = ?%1 OR "
                                     "after_day = ?%1)")
                          .arg(args.size());
    }
    const QString where = (conditions.isEmpty() ? QString() : QStringLiteral("WHERE ") + conditions.join(QStringLiteral(" AND "))) +
                          QStringLiteral(" ORDER BY id DESC LIMIT %1").arg(std::clamp(f.limit, 1, 1000));
    return changesWhere(db_, where, args);
}

std::optional<ScheduleChange> ScheduleHistory::get(int64_t id) {
    std::vector<ScheduleChange> c = changesWhere(db_, QStringLiteral("WHERE id = ?1"), {FieldValue{id}});
    if (c.empty()) return std::nullopt;
    return std::move(c.front());
}

std::vector<ScheduleChange> ScheduleHistory::since(int64_t id) {
    return changesWhere(db_, QStringLiteral("WHERE id > ?1 ORDER BY id"), {FieldValue{id}});
}

int64_t ScheduleHistory::lastId() {
    Statement st(db_, QStringLiteral("SELECT MAX(id) FROM schedule_changes"));
    return st.next() ? integerAt(st, 0) : 0;
}

std::unique_ptr<Database> OpenHistory(const QString& path, int busyTimeoutMs) {
    if (!QFile::exists(path)) {
        QFile f(path);
        // Another opener may make it first: that is as good.
        if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFile::exists(path))
            fail(kErrPermission, QStringLiteral("Unable to make ") + path + QStringLiteral(": ") + f.errorString());
    }
    auto db = std::make_unique<Database>(path, busyTimeoutMs);
    db->exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    db->exec(QStringLiteral("PRAGMA synchronous = FULL"));
    ScheduleHistory history(*db);
    return db;
}

std::vector<AutomationEvent> ReadAllRows(Database& db) {
    std::vector<AutomationEvent> rows;
    for (StoredRow& r : ReadStoredRows(db, std::nullopt)) rows.push_back(std::move(r.event));
    return rows;
}

EditOutcome ApplyScheduleEdit(const QString& databasePath, const QString& recordPath, const QString& who,
                              const QString& what, const std::vector<RowEdit>& edits, int busyTimeoutMs) {
    EditOutcome out;
    try {
        Database db(databasePath, busyTimeoutMs);
        db.useRollbackJournal();
        // Alone on the file from the look at the versions to the commit: the engine's load
        // cannot read between this entry of the history and the rows it names.
        db.exec(QStringLiteral("BEGIN EXCLUSIVE"));
        struct Target {
            int64_t rowid = 0;
            std::optional<AutomationEvent> before;
        };
        std::vector<Target> targets(edits.size());
        for (std::size_t i = 0; i < edits.size(); ++i) {
            const RowEdit& e = edits[i];
            const std::vector<StoredRow> rows = ReadStoredRows(db, e.number);
            bool found = false;
            if (!e.version.isEmpty()) {
                for (const StoredRow& r : rows)
                    if (RowVersion(r.event) == e.version) {
                        targets[i] = {r.rowid, r.event};
                        found = true;
                        break;
                    }
            } else {
                found = rows.empty();
            }
            if (!found) {
                EditOutcome::StaleRow s;
                s.edit = i;
                for (const StoredRow& r : rows) s.current.push_back(r.event);
                out.stale.push_back(std::move(s));
            }
        }
        if (!out.stale.empty()) {
            db.exec(QStringLiteral("ROLLBACK"));
            out.result = EditOutcome::Stale;
            return out;
        }
        std::vector<int16_t> touched;
        for (std::size_t i = 0; i < edits.size(); ++i) {
            const RowEdit& e = edits[i];
            Target& t = targets[i];
            if (!e.after) {
                Statement st(db, QStringLiteral("DELETE FROM Automation WHERE rowid = ?1"));
                st.bind(1, t.rowid);
                st.run();
                out.changes.push_back({e.number, t.before, std::nullopt});
                continue;
            }
            if (t.before && RowVersion(*t.before) == RowVersion(*e.after)) continue;
            const int64_t rowid = writeRow(db, t.rowid, *e.after);
            // What a load will read of it, which is what the history must hold.
            std::optional<AutomationEvent> written;
            for (StoredRow& r : ReadStoredRows(db, e.after->Number))
                if (r.rowid == rowid) written = std::move(r.event);
            if (!written) fail(kErrDatabase, QStringLiteral("The row just written cannot be read back"));
            touched.push_back(written->Number);
            out.changes.push_back({written->Number, t.before, written});
        }
        for (int16_t n : touched) {
            Statement count(db, QStringLiteral("SELECT COUNT(*) FROM Automation WHERE [Number] = ?1"));
            count.bind(1, static_cast<int64_t>(n));
            if (count.next() && integerAt(count, 0) > 1 &&
                std::find(out.doubled.begin(), out.doubled.end(), n) == out.doubled.end())
                out.doubled.push_back(n);
        }
        if (!out.doubled.empty()) {
            db.exec(QStringLiteral("ROLLBACK"));
            out.changes.clear();
            out.result = EditOutcome::Invalid;
            return out;
        }
        if (out.changes.empty()) {
            db.exec(QStringLiteral("ROLLBACK"));
            out.result = EditOutcome::Done;
            return out;
        }
        {
            // The history first: a change it cannot record is not made.
            const std::unique_ptr<Database> record = OpenHistory(recordPath, busyTimeoutMs);
            ScheduleHistory history(*record);
            ScheduleChange entry;
            entry.at = QDateTime::currentDateTimeUtc();
            entry.who = who;
            entry.what = what;
            entry.rows = out.changes;
            out.changeId = history.append(entry);
        }
        db.exec(QStringLiteral("COMMIT"));
        out.result = EditOutcome::Done;
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        out.changes.clear();
        out.failure = failure.description();
        out.result = IsLockFailure(failure) ? EditOutcome::Locked : EditOutcome::Failed;
    }
    return out;
}

}  // namespace tarvo
