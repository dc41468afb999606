#include "store/sqlite.h"

#include <cmath>
#include <ctime>

#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>
#include <sqlite3.h>

#include "logs/failure.h"

namespace tarvo {

namespace {

[[noreturn]] void conversionFailure() {
    fail(kErrTypeMismatch, QStringLiteral("Type mismatch"));
}

[[noreturn]] void overflowFailure() { fail(kErrOverflow, QStringLiteral("Overflow")); }

enum class Conversion { Done, Mismatch, Overflow };

// Rounds half to even, as the classic integer conversion does.
Conversion roundHalfEven(double d, int64_t& v) {
    if (!std::isfinite(d) || d > 9.2e18 || d < -9.2e18) return Conversion::Overflow;
    v = static_cast<int64_t>(std::nearbyint(d));
    return Conversion::Done;
}

// The conversion itself reports instead of failing: a load reads it for every field of every
// row, and a table of values that do not convert must not cost a failure each.
Conversion convertInteger(const FieldValue& f, int64_t min, int64_t max, int64_t& v) {
    Conversion c = Conversion::Done;
    if (const auto* i = std::get_if<int64_t>(&f.v)) {
        v = *i;
    } else if (const auto* d = std::get_if<double>(&f.v)) {
        c = roundHalfEven(*d, v);
    } else if (const auto* s = std::get_if<QString>(&f.v)) {
        const QString t = s->trimmed();
        if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
            v = -1;
        } else if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
            v = 0;
        } else {
            bool ok = false;
            v = t.toLongLong(&ok);
            if (!ok) {
                const double d = t.toDouble(&ok);
                if (!ok) return Conversion::Mismatch;
                c = roundHalfEven(d, v);
            }
        }
    } else {
        return Conversion::Mismatch;  // Null or blob
    }
    if (c == Conversion::Done && (v < min || v > max)) c = Conversion::Overflow;
    return c;
}

}  // namespace

int64_t ToInteger(const FieldValue& f, int64_t min, int64_t max) {
    int64_t v = 0;
    switch (convertInteger(f, min, max, v)) {
        case Conversion::Done:
            return v;
        case Conversion::Mismatch:
            conversionFailure();
        case Conversion::Overflow:
            break;
    }
    overflowFailure();
}

std::optional<int64_t> IntegerIfConvertible(const FieldValue& f, int64_t min, int64_t max) {
    int64_t v = 0;
    if (convertInteger(f, min, max, v) != Conversion::Done) return std::nullopt;
    return v;
}

std::optional<QString> TextIfConvertible(const FieldValue& f) {
    if (const auto* s = std::get_if<QString>(&f.v)) return *s;
    if (const auto* i = std::get_if<int64_t>(&f.v)) return QString::number(*i);
    if (const auto* d = std::get_if<double>(&f.v)) return QString::number(*d, 'g', 15);
    return std::nullopt;
}

QString ToText(const FieldValue& f) {
    std::optional<QString> t = TextIfConvertible(f);
    if (!t) conversionFailure();
    return *std::move(t);
}

bool ToFlag(const FieldValue& f) { return ToInteger(f, INT64_MIN, INT64_MAX) != 0; }

Database::Database(const QString& path, int busyTimeoutMs, Access access) : path_(path) {
    if (!QFileInfo::exists(path)) fail(kErrFileNotFound, QStringLiteral("File not found: ") + path);
    // One thread uses a connection, from its open to its close: SQLite's own locking of every
    // call (a mutex taken for each column read) is not needed.
    const int mode = access == ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    const int rc =
        sqlite3_open_v2(path.toUtf8().constData(), &db_, mode | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const QString msg = db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QStringLiteral("cannot open");
        sqlite3_close(db_);
        db_ = nullptr;
        fail(kErrDatabase + rc, msg + QStringLiteral(": ") + path);
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    sqlite3_extended_result_codes(db_, 0);
    // The operators' file is data: nothing stored in it runs. Whoever may write the file could
    // otherwise make a read of the engine change its settings (a trigger on a one-time row's
    // delete) or never end (a view on an endless query).
    int done = 0;
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, &done);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_VIEW, 0, &done);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, &done);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &done);  // PRAGMA trusted_schema=OFF
    budgetNs_ = (static_cast<int64_t>(busyTimeoutMs) + kStatementBudgetMs) * 1000000;
    sqlite3_progress_handler(db_, 1000, &Database::overBudget, this);
}

namespace {

int64_t monotonicNs() {
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

void Database::startStep() {
    deadlineNs_ = monotonicNs() + budgetNs_;
    stopped_ = false;
}

int Database::overBudget(void* self) {
    auto* db = static_cast<Database*>(self);
    if (db->deadlineNs_ == 0 || monotonicNs() < db->deadlineNs_) return 0;
    db->stopped_ = true;
    return 1;
}

Database::~Database() {
    if (db_) sqlite3_close_v2(db_);
}

void Database::failWith(int rc, const QString& what) const {
    if (rc == SQLITE_INTERRUPT && stopped_)
        fail(kErrDatabase + rc, QStringLiteral("Statement stopped after %1 ms without an end (%2)")
                                    .arg(budgetNs_ / 1000000)
                                    .arg(what));
    fail(kErrDatabase + rc, QString::fromUtf8(sqlite3_errmsg(db_)) + QStringLiteral(" (") + what +
                                QStringLiteral(")"));
}

void Database::exec(const QString& sql) {
    char* err = nullptr;
    startStep();
    const int rc = sqlite3_exec(db_, sql.toUtf8().constData(), nullptr, nullptr, &err);
    endStep();
    if (rc == SQLITE_INTERRUPT && stopped_) {
        sqlite3_free(err);
        failWith(rc, sql);
    }
    if (rc != SQLITE_OK) {
        const QString msg = err ? QString::fromUtf8(err) : QString();
        sqlite3_free(err);
        fail(kErrDatabase + rc, msg + QStringLiteral(" (") + sql + QStringLiteral(")"));
    }
}

bool Database::tableExists(const QString& table) {
    Statement st(*this, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1 COLLATE NOCASE"));
    st.bind(1, table);
    return st.next();
}

QStringList Database::columns(const QString& table) {
    Statement st(*this, QStringLiteral("SELECT name FROM pragma_table_info(?1)"));
    st.bind(1, table);
    QStringList names;
    while (st.next()) names << ToText(st.value(0));
    return names;
}

bool Database::hasColumn(const QString& table, const QString& column) {
    return columns(table).contains(column, Qt::CaseInsensitive);
}

namespace {

bool isWal(const QString& mode) { return mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0; }

}  // namespace

bool Database::useRollbackJournal() {
    QString mode;
    {
        Statement st(*this, QStringLiteral("PRAGMA journal_mode"));
        if (st.next()) mode = ToText(st.value(0));
    }
    if (mode.compare(QLatin1String("delete"), Qt::CaseInsensitive) == 0) return true;
    // Leaving WAL mode needs the file to itself: while another connection reads it, the switch
    // meets a lock (or SQLite answers with the mode it stays in). The file is then read as it
    // is, in WAL mode: a reader there is not held up by the other program.
    try {
        Statement change(*this, QStringLiteral("PRAGMA journal_mode=DELETE"));
        return !(change.next() && isWal(ToText(change.value(0))));
    } catch (const TarvoError& failure) {
        if (isWal(mode) && IsLockFailure(failure)) return false;
        throw;
    }
}

Transaction::Transaction(Database& db) : db_(db) { db_.exec(QStringLiteral("BEGIN IMMEDIATE")); }

Transaction::~Transaction() {
    if (!done_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    db_.exec(QStringLiteral("COMMIT"));
    done_ = true;
}

Statement::Statement(Database& db, const QString& sql) : db_(db) {
    const QByteArray utf8 = sql.toUtf8();
    const int rc = sqlite3_prepare_v2(db.handle(), utf8.constData(), static_cast<int>(utf8.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        const QString msg = QString::fromUtf8(sqlite3_errmsg(db.handle()));
        // A missing table or column reads as the classic "not found in this collection".
        const int number = msg.startsWith(QLatin1String("no such table"))    ? kErrNoSuchTable
                           : msg.startsWith(QLatin1String("no such column")) ? kErrNoSuchField
                                                                               : kErrDatabase + rc;
        fail(number, msg + QStringLiteral(" (") + sql + QStringLiteral(")"));
    }
    for (int i = 0; i < sqlite3_column_count(stmt_); ++i) {
        const QString name = columnName(i).toLower();
        if (!index_.contains(name)) index_.insert(name, i);
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(int index, const FieldValue& value) {
    int rc = SQLITE_OK;
    if (value.isNull()) {
        rc = sqlite3_bind_null(stmt_, index);
    } else if (const auto* i = std::get_if<int64_t>(&value.v)) {
        rc = sqlite3_bind_int64(stmt_, index, *i);
    } else if (const auto* d = std::get_if<double>(&value.v)) {
        rc = sqlite3_bind_double(stmt_, index, *d);
    } else if (const auto* s = std::get_if<QString>(&value.v)) {
        const QByteArray u = s->toUtf8();
        rc = sqlite3_bind_text(stmt_, index, u.constData(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
    } else if (const auto* b = std::get_if<QByteArray>(&value.v)) {
        rc = sqlite3_bind_blob(stmt_, index, b->constData(), static_cast<int>(b->size()), SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) db_.failWith(rc, QStringLiteral("bind"));
}

void Statement::bind(int index, int64_t value) { bind(index, FieldValue{value}); }
void Statement::bind(int index, const QString& value) { bind(index, FieldValue{value}); }

bool Statement::next() {
    db_.startStep();
    const int rc = sqlite3_step(stmt_);
    db_.endStep();
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_.failWith(rc, QString::fromUtf8(sqlite3_sql(stmt_)));
}

void Statement::run() {
    while (next()) {
    }
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const { return sqlite3_column_count(stmt_); }

QString Statement::columnName(int i) const { return QString::fromUtf8(sqlite3_column_name(stmt_, i)); }

int Statement::columnIndex(const QString& name) const { return index_.value(name.toLower(), -1); }

FieldValue Statement::value(int i) const {
    if (i < 0 || i >= columnCount()) failSubscript();
    switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_INTEGER:
            return FieldValue{static_cast<int64_t>(sqlite3_column_int64(stmt_, i))};
        case SQLITE_FLOAT:
            return FieldValue{sqlite3_column_double(stmt_, i)};
        case SQLITE_TEXT: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
            return FieldValue{QString::fromUtf8(p, sqlite3_column_bytes(stmt_, i))};
        }
        case SQLITE_BLOB: {
            const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
            return FieldValue{QByteArray(p, sqlite3_column_bytes(stmt_, i))};
        }
        default:
            return FieldValue{};
    }
}

FieldValue Statement::field(const QString& name) const {
    const int i = columnIndex(name);
    if (i < 0) fail(kErrNoSuchField, QStringLiteral("Item not found in this collection: ") + name);
    return value(i);
}

namespace {

// The file at `path` as the file system describes it; the change counter is not read here.
std::optional<FileIdentity> statIdentity(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FileIdentity id;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<int64_t>(st.st_size);
    id.modifiedSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    id.modifiedNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    id.changedSec = static_cast<int64_t>(st.st_ctim.tv_sec);
    id.changedNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    struct stat wal {};
    if (::stat(QFile::encodeName(path + QStringLiteral("-wal")).constData(), &wal) == 0) {
        id.walInode = static_cast<uint64_t>(wal.st_ino);
        id.walSize = static_cast<int64_t>(wal.st_size);
        id.walModifiedSec = static_cast<int64_t>(wal.st_mtim.tv_sec);
        id.walModifiedNsec = static_cast<int64_t>(wal.st_mtim.tv_nsec);
    }
    return id;
}

// SQLite's file change counter: bytes 24 to 27 of the header, big-endian, read with one pread
// through the connection's own descriptor of the file. A descriptor of our own would be no
// cheaper, and closing it would end every POSIX lock this process holds on the file (the
// engine's write lock, or another connection's), which SQLite cannot know of.
std::optional<uint32_t> changeCounterOf(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return std::nullopt;
    unsigned char b[4] = {};
    const int rc = file->pMethods->xRead(file, b, 4, 24);
    // A file shorter than the header reads as zeros.
    if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) return std::nullopt;
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}

}  // namespace

bool IsLockFailure(const TarvoError& failure) {
    return failure.number() == kErrDatabase + SQLITE_BUSY || failure.number() == kErrDatabase + SQLITE_LOCKED;
}

std::optional<FileIdentity> Database::identity() const {
    int moved = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved)
        return std::nullopt;
    std::optional<FileIdentity> id = statIdentity(path_);
    const std::optional<uint32_t> counter = changeCounterOf(db_);
    if (!id || !counter) return std::nullopt;
    id->changeCounter = *counter;
    return id;
}

std::optional<FileIdentity> FileIdentityIfExists(const QString& path, const std::optional<FileIdentity>& known) {
    std::optional<FileIdentity> id = statIdentity(path);
    if (!id) return std::nullopt;
    if (known) {
        FileIdentity sameCounter = *id;
        sameCounter.changeCounter = known->changeCounter;
        if (sameCounter == *known) return known;
    }
    // Opening reads nothing under a lock; SQLite keeps its descriptor open past the close while
    // another connection of this process holds a lock on the file.
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
        if (const std::optional<uint32_t> counter = changeCounterOf(db)) id->changeCounter = *counter;
    }
    sqlite3_close_v2(db);
    return id;
}

bool FileExists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

}  // namespace tarvo
