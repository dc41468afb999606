#include "store/engine_record.h"

#include <QDataStream>
#include <QFile>
#include <QIODevice>

#include <sqlite3.h>

#include "logs/logs.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

const QString kLocation = QStringLiteral("Error Writing Engine Record");
constexpr int kSchemaVersion = 1;
// The record is the engine's own: it never waits for another writer.
constexpr int kRecordBusyMs = 20;

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value);
CREATE TABLE IF NOT EXISTS decided (number INTEGER, day INTEGER, seconds INTEGER, at_ms INTEGER,
                                    PRIMARY KEY (number, day, seconds));
CREATE TABLE IF NOT EXISTS delayed (id INTEGER PRIMARY KEY AUTOINCREMENT, due_ms INTEGER,
                                    delete_after INTEGER, event BLOB);
CREATE TABLE IF NOT EXISTS owed (seq INTEGER PRIMARY KEY, number INTEGER, remove INTEGER,
                                 expect_active INTEGER, day INTEGER, time TEXT);
CREATE TABLE IF NOT EXISTS runs (id INTEGER PRIMARY KEY AUTOINCREMENT, number INTEGER, title TEXT,
                                 acting INTEGER, owed INTEGER, owed_remove INTEGER,
                                 owed_active INTEGER, owed_day INTEGER, owed_time TEXT);
)";

qint64 ms(const QDateTime& t) { return t.isValid() ? t.toMSecsSinceEpoch() : INT64_MIN; }
QDateTime fromMs(int64_t v) {
    return v == INT64_MIN ? QDateTime() : QDateTime::fromMSecsSinceEpoch(v, Qt::UTC);
}

int64_t integer(const Statement& st, int i) { return ToInteger(st.value(i), INT64_MIN, INT64_MAX); }
QString text(const Statement& st, int i) {
    const FieldValue v = st.value(i);
    return v.isNull() ? QString() : ToText(v);
}

void setMeta(Database& db, const char* key, const FieldValue& value) {
    Statement st(db, QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?1, ?2)"));
    st.bind(1, QString::fromLatin1(key));
    st.bind(2, value);
    st.run();
}

std::optional<FieldValue> meta(Database& db, const char* key) {
    Statement st(db, QStringLiteral("SELECT value FROM meta WHERE key = ?1"));
    st.bind(1, QString::fromLatin1(key));
    if (!st.next()) return std::nullopt;
    return st.value(0);
}

void bindOwed(Statement& st, int first, const PendingRowChange& c) {
    st.bind(first, static_cast<int64_t>(c.number));
    st.bind(first + 1, static_cast<int64_t>(c.remove ? 1 : 0));
    st.bind(first + 2, static_cast<int64_t>(c.active));
    st.bind(first + 3, static_cast<int64_t>(c.timed ? c.day : -1));
    st.bind(first + 4, c.time);
}

PendingRowChange owedAt(const Statement& st, int first) {
    PendingRowChange c;
    c.number = static_cast<int16_t>(integer(st, first));
    c.remove = integer(st, first + 1) != 0;
    c.active = static_cast<int16_t>(integer(st, first + 2));
    const int64_t day = integer(st, first + 3);
    c.timed = day >= 0;
    c.day = c.timed ? static_cast<int16_t>(day) : int16_t{0};
    c.time = text(st, first + 4);
    return c;
}

// Every field of a row, in one order, for the copy a delayed entry keeps.
template <typename Ev, typename F>
void eachField(Ev& ev, F&& f) {
    f(ev.DayName), f(ev.Time), f(ev.Title), f(ev.FileName), f(ev.Message), f(ev.Method), f(ev.MIPAddress);
    f(ev.MIPPort), f(ev.MBaudRate), f(ev.Color);
    f(ev.Number), f(ev.Day), f(ev.Delay), f(ev.SourceChan), f(ev.DestChan), f(ev.ReqSource), f(ev.ReqDest);
    f(ev.ReqSource2), f(ev.ReqDest2), f(ev.ReqOpto), f(ev.ReqRelay), f(ev.ReqOpto2), f(ev.ReqRelay2);
    f(ev.ssSource), f(ev.ssDeviceID), f(ev.Active), f(ev.Relay), f(ev.Opto), f(ev.rcRelay), f(ev.rcOpto);
    f(ev.OptoOut), f(ev.Salvo), f(ev.VChan), f(ev.Gain), f(ev.xcontrol), f(ev.rcontrol), f(ev.scontrol);
    f(ev.vcontrol), f(ev.ocontrol), f(ev.rccontrol), f(ev.sscontrol), f(ev.Type), f(ev.Priority);
    f(ev.Condition), f(ev.Condition2), f(ev.OptoCondition), f(ev.RelayCondition), f(ev.OptoCondition2);
    f(ev.RelayCondition2), f(ev.FileType), f(ev.FileChannel1), f(ev.Template), f(ev.mcontrol), f(ev.mtype);
    f(ev.TriggerSource), f(ev.TriggerDest), f(ev.tControl), f(ev.Option);
    f(ev.FFrame), f(ev.FSlot), f(ev.MFrame), f(ev.MSlot), f(ev.MPort), f(ev.MCommPort);
}

constexpr quint8 kEventFormat = 1;

}  // namespace

bool SameEvent(const AutomationEvent& a, const AutomationEvent& b) {
    if (!(a.Kept == b.Kept && a.Unreadable == b.Unreadable)) return false;
    // Each field of `a` is compared with the field at the same place in `b`.
    bool same = true;
    const auto* base = reinterpret_cast<const char*>(&a);
    const auto* otherBase = reinterpret_cast<const char*>(&b);
    eachField(a, [&](const auto& field) {
        using T = std::decay_t<decltype(field)>;
        const auto* at = reinterpret_cast<const char*>(&field);
        same = same && field == *reinterpret_cast<const T*>(otherBase + (at - base));
    });
    return same;
}

QByteArray EncodeEvent(const AutomationEvent& ev) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kEventFormat;
    eachField(ev, [&](const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, Text>)
            out << field.toString();
        else
            out << field;
    });
    return bytes;
}

std::optional<AutomationEvent> DecodeEvent(const QByteArray& bytes) {
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint8 format = 0;
    in >> format;
    if (format != kEventFormat) return std::nullopt;
    AutomationEvent ev;
    eachField(ev, [&](auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, Text>) {
            QString s;
            in >> s;
            field = s;
        } else {
            in >> field;
        }
    });
    if (in.status() != QDataStream::Ok || !in.atEnd()) return std::nullopt;
    return ev;
}

EngineRecord::EngineRecord(Logs& logs, const QString& recordPath) : path(recordPath), logs_(logs) {}

EngineRecord::~EngineRecord() = default;

std::optional<PreviousRun> EngineRecord::open(const QDateTime& now) {
    db_.reset();
    std::optional<PreviousRun> previous;
    try {
        const bool existed = QFile::exists(path);
        if (!existed) {
            // SQLite takes an empty file as a new database.
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                fail(kErrPermission, QStringLiteral("Unable to make ") + path + QStringLiteral(": ") + f.errorString());
        }
        auto db = std::make_unique<Database>(path, kRecordBusyMs);
        db->exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        db->exec(QStringLiteral("PRAGMA synchronous = FULL"));
        db->exec(QString::fromLatin1(kSchema));
        ScheduleHistory{*db};
        const std::optional<FieldValue> version = meta(*db, "version");
        if (existed && version && !version->isNull()) {
            if (ToInteger(*version, INT64_MIN, INT64_MAX) != kSchemaVersion)
                fail(kErrDatabase, QStringLiteral("The engine record %1 is of another version").arg(path));
            PreviousRun p;
            const std::optional<FieldValue> ended = meta(*db, "ended_in_order");
            p.endedInOrder = ended && !ended->isNull() && ToFlag(*ended);
            if (const auto v = meta(*db, "last_written"); v && !v->isNull())
                p.lastWritten = fromMs(ToInteger(*v, INT64_MIN, INT64_MAX));
            if (const auto v = meta(*db, "horizon"); v && !v->isNull())
                p.horizon = fromMs(ToInteger(*v, INT64_MIN, INT64_MAX));
            Statement decided(*db, QStringLiteral("SELECT number, day, seconds FROM decided"));
            while (decided.next())
                p.decided.emplace_back(static_cast<int16_t>(integer(decided, 0)), integer(decided, 1),
                                       static_cast<int>(integer(decided, 2)));
            Statement delayed(*db, QStringLiteral("SELECT id, due_ms, delete_after, event FROM delayed ORDER BY due_ms, id"));
            while (delayed.next()) {
                const FieldValue blob = delayed.value(3);
                const auto* bytes = std::get_if<QByteArray>(&blob.v);
                const std::optional<AutomationEvent> ev = bytes ? DecodeEvent(*bytes) : std::nullopt;
                if (!ev) {
                    WriteErrorLog(logs_, QStringLiteral("A delayed entry of the engine record cannot be read; it is dropped"),
                                  kLocation);
                    continue;
                }
                p.delayed.push_back({integer(delayed, 0), fromMs(integer(delayed, 1)), integer(delayed, 2) != 0, *ev});
            }
            Statement owed(*db, QStringLiteral("SELECT number, remove, expect_active, day, time FROM owed ORDER BY seq"));
            while (owed.next()) p.owed.push_back(owedAt(owed, 0));
            Statement runs(*db, QStringLiteral("SELECT id, title, acting, owed, number, owed_remove, owed_active, "
                                               "owed_day, owed_time FROM runs ORDER BY id"));
            while (runs.next()) {
                RecordedRun r;
                r.id = integer(runs, 0);
                r.title = text(runs, 1);
                r.acting = integer(runs, 2) != 0;
                r.number = static_cast<int16_t>(integer(runs, 4));
                if (integer(runs, 3) != 0) r.owed = owedAt(runs, 4);
                p.runs.push_back(std::move(r));
            }
            previous = std::move(p);
        }
        // This run starts. What the previous one left in progress stays until the caller has
        // reported it and taken over what it owed (settlePrevious).
        Transaction t(*db);
        setMeta(*db, "version", FieldValue{int64_t{kSchemaVersion}});
        setMeta(*db, "ended_in_order", FieldValue{int64_t{0}});
        setMeta(*db, "last_written", FieldValue{int64_t{ms(now)}});
        t.commit();
        db_ = std::move(db);
        failing_ = false;
    } catch (...) {
        ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
        failing_ = true;
        db_.reset();
        return std::nullopt;
    }
    return previous;
}

void EngineRecord::begin(bool durable) {
    if (depth_++ > 0) {
        durable_ = durable_ || durable;
        return;
    }
    durable_ = durable;
    startedDurable_ = durable;
    failed_ = false;
    try {
        // A guarded write waits for the disk; the others are safe from a kill as they are (the
        // system holds them) and reach the disk with the next guarded one.
        db_->exec(durable ? QStringLiteral("PRAGMA synchronous = FULL") : QStringLiteral("PRAGMA synchronous = NORMAL"));
        db_->exec(QStringLiteral("BEGIN IMMEDIATE"));
    } catch (...) {
        failed_ = true;
        if (!failing_) {
            failing_ = true;
            ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
        }
    }
}

void EngineRecord::end(bool commit) {
    if (--depth_ > 0) return;
    const bool wasFailing = failing_;
    try {
        if (!failed_ && commit) {
            db_->exec(QStringLiteral("COMMIT"));
            // A part that wanted the disk, in a transaction begun without: the log is flushed now.
            if (durable_ && !startedDurable_) db_->exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
            if (wasFailing) {
                failing_ = false;
                WriteErrorLog(logs_, QStringLiteral("Engine record written again"), kLocation);
            }
            return;
        }
        if (!failed_) db_->exec(QStringLiteral("ROLLBACK"));
    } catch (...) {
        try {
            db_->exec(QStringLiteral("ROLLBACK"));
        } catch (...) {
        }
        if (!failing_) {
            failing_ = true;
            ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
        }
    }
}

EngineRecord::Batch::Batch(EngineRecord& record, bool durable) : r_(record) {
    if (!r_.isOpen()) return;
    outer_ = true;
    r_.begin(durable);
}

EngineRecord::Batch::~Batch() {
    if (outer_) r_.end(true);
}

template <typename F>
void EngineRecord::write(bool durable, F&& body) {
    if (!db_) return;
    begin(durable);
    if (!failed_) {
        try {
            body(*db_);
        } catch (...) {
            failed_ = true;
            if (!failing_) {
                failing_ = true;
                ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
            }
            try {
                db_->exec(QStringLiteral("ROLLBACK"));
            } catch (...) {
            }
        }
    }
    end(true);
}

int64_t EngineRecord::appendHistory(const ScheduleChange& change) {
    int64_t id = 0;
    write(true, [&](Database& db) { id = ScheduleHistory(db).append(change); });
    return failed_ ? 0 : id;
}

std::vector<ScheduleChange> EngineRecord::historySince(int64_t id) {
    std::vector<ScheduleChange> entries;
    if (!db_) return entries;
    try {
        entries = ScheduleHistory(*db_).since(id);
    } catch (...) {
        ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
    }
    return entries;
}

int64_t EngineRecord::lastHistoryId() {
    if (!db_) return 0;
    try {
        return ScheduleHistory(*db_).lastId();
    } catch (...) {
        ReportError(logs_, kLocation, CurrentFailure(std::current_exception()));
        return 0;
    }
}

void EngineRecord::settlePrevious(const std::vector<PendingRowChange>& owed) {
    Batch batch(*this, true);
    write(true, [&](Database& db) { db.exec(QStringLiteral("DELETE FROM runs")); });
    setOwed(owed);
}

namespace {

void insertDecided(Database& db, const RecordedOccurrence& occurrence, const QDateTime& at) {
    Statement st(db, QStringLiteral("INSERT OR IGNORE INTO decided (number, day, seconds, at_ms) VALUES (?1, ?2, ?3, ?4)"));
    st.bind(1, static_cast<int64_t>(std::get<0>(occurrence)));
    st.bind(2, static_cast<int64_t>(std::get<1>(occurrence)));
    st.bind(3, static_cast<int64_t>(std::get<2>(occurrence)));
    st.bind(4, static_cast<int64_t>(ms(at)));
    st.run();
}

}  // namespace

int64_t EngineRecord::beginRun(const RunStart& start) {
    int64_t id = 0;
    // A triggered run that owes nothing guards no action across a restart: its entry only names
    // it if a kill cuts it off, and need not wait for the disk.
    const bool durable = start.occurrence || start.owed || start.delayedId != 0;
    write(durable, [&](Database& db) {
        if (start.occurrence) insertDecided(db, *start.occurrence, start.occurrenceAt);
        if (start.delayedId != 0) {
            Statement st(db, QStringLiteral("DELETE FROM delayed WHERE id = ?1"));
            st.bind(1, start.delayedId);
            st.run();
        }
        Statement st(db, QStringLiteral("INSERT INTO runs (number, title, acting, owed, owed_remove, owed_active, "
                                        "owed_day, owed_time) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
        st.bind(1, static_cast<int64_t>(start.number));
        st.bind(2, start.title);
        st.bind(3, static_cast<int64_t>(start.acting ? 1 : 0));
        st.bind(4, static_cast<int64_t>(start.owed ? 1 : 0));
        const PendingRowChange none;
        const PendingRowChange& owed = start.owed ? *start.owed : none;
        st.bind(5, static_cast<int64_t>(owed.remove ? 1 : 0));
        st.bind(6, static_cast<int64_t>(owed.active));
        st.bind(7, static_cast<int64_t>(owed.timed ? owed.day : -1));
        st.bind(8, owed.time);
        st.run();
        id = sqlite3_last_insert_rowid(db.handle());
    });
    return id;
}

void EngineRecord::endRun(int64_t id) {
    if (id == 0) return;
    write(false, [&](Database& db) {
        Statement st(db, QStringLiteral("DELETE FROM runs WHERE id = ?1"));
        st.bind(1, id);
        st.run();
    });
}

void EngineRecord::abandonRun(int64_t id) {
    if (id == 0) return;
    write(false, [&](Database& db) {
        Statement o(db, QStringLiteral("INSERT INTO owed (number, remove, expect_active, day, time) "
                                       "SELECT number, owed_remove, owed_active, owed_day, owed_time "
                                       "FROM runs WHERE id = ?1 AND owed <> 0"));
        o.bind(1, id);
        o.run();
        Statement st(db, QStringLiteral("DELETE FROM runs WHERE id = ?1"));
        st.bind(1, id);
        st.run();
    });
}

int64_t EngineRecord::addDelayed(const QDateTime& due, bool deleteAfter, const AutomationEvent& event) {
    int64_t id = 0;
    write(true, [&](Database& db) {
        Statement st(db, QStringLiteral("INSERT INTO delayed (due_ms, delete_after, event) VALUES (?1, ?2, ?3)"));
        st.bind(1, static_cast<int64_t>(ms(due)));
        st.bind(2, static_cast<int64_t>(deleteAfter ? 1 : 0));
        st.bind(3, FieldValue{EncodeEvent(event)});
        st.run();
        id = sqlite3_last_insert_rowid(db.handle());
    });
    return id;
}

void EngineRecord::removeDelayed(int64_t id) {
    if (id == 0) return;
    write(false, [&](Database& db) {
        Statement st(db, QStringLiteral("DELETE FROM delayed WHERE id = ?1"));
        st.bind(1, id);
        st.run();
    });
}

void EngineRecord::setOwed(const std::vector<PendingRowChange>& owed) {
    write(false, [&](Database& db) {
        db.exec(QStringLiteral("DELETE FROM owed"));
        Statement st(db, QStringLiteral("INSERT INTO owed (number, remove, expect_active, day, time) VALUES (?1, ?2, ?3, ?4, ?5)"));
        for (const PendingRowChange& c : owed) {
            bindOwed(st, 1, c);
            st.run();
            st.reset();
        }
    });
}

void EngineRecord::advance(const QDateTime& horizon, const QDateTime& now, bool always) {
    if (!always && lastAdvance_.isValid() && lastAdvance_ <= now && lastAdvance_.msecsTo(now) < kAdvanceEveryMs)
        return;
    lastAdvance_ = now;
    write(false, [&](Database& db) {
        setMeta(db, "horizon", FieldValue{int64_t{ms(horizon)}});
        setMeta(db, "last_written", FieldValue{int64_t{ms(now)}});
        Statement st(db, QStringLiteral("DELETE FROM decided WHERE at_ms <= ?1"));
        st.bind(1, static_cast<int64_t>(ms(horizon)));
        st.run();
    });
}

void EngineRecord::close(const QDateTime& horizon, const QDateTime& now) {
    if (!db_) return;
    advance(horizon, now);
    write(true, [&](Database& db) { setMeta(db, "ended_in_order", FieldValue{int64_t{1}}); });
    db_.reset();
}

}  // namespace tarvo
