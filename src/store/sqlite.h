// A thin RAII layer over the SQLite C API. Every caller opens the database for one operation
// and closes it again; nothing is held between ticks.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

struct sqlite3;
struct sqlite3_stmt;

namespace tarvo {

// A stored value as SQLite hands it over: Null, integer, real, text or blob.
struct FieldValue {
    std::variant<std::monostate, int64_t, double, QString, QByteArray> v;
    bool isNull() const { return std::holds_alternative<std::monostate>(v); }
};

// Conversions of a stored value to an in-memory type. A value that does not convert (text that
// is not a number, a number that does not fit) is a failure of that read.
int64_t ToInteger(const FieldValue& f, int64_t min, int64_t max);
QString ToText(const FieldValue& f);
// The same conversions, empty instead of failing.
std::optional<int64_t> IntegerIfConvertible(const FieldValue& f, int64_t min, int64_t max);
std::optional<QString> TextIfConvertible(const FieldValue& f);
bool ToFlag(const FieldValue& f);

class Statement;
class TarvoError;

// How long a write by the editing tool at the same moment is waited for, by a program that may
// wait (the check and the preview of a schedule).
constexpr int kDefaultBusyTimeoutMs = 5000;
// How long the engine's own statements wait for another writer's lock: they run on the loop,
// which must never wait. What gave up is tried again at the next file check.
constexpr int kEngineBusyTimeoutMs = 50;

// How long one step of a statement may run beyond the lock wait before it is stopped and fails
// as a read that failed. No statement of the engine's comes near it on a table of 32767 rows;
// it bounds what a damaged or hostile file could still make SQLite do.
constexpr int kStatementBudgetMs = 1000;

// Whether a failure was another writer's lock on the file (SQLITE_BUSY, SQLITE_LOCKED) rather
// than a fault of the file or of the statement: it goes away by itself.
bool IsLockFailure(const TarvoError& failure);

// What tells one state of a database file from another: the file itself (device and inode), its
// size, its modification and change times to the nanosecond, and SQLite's file change counter,
// which every commit in rollback-journal mode moves on by one. A copy moved in with the old
// modification time, or two commits within one tick of the file system's clock, still differ.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedSec = 0;
    int64_t modifiedNsec = 0;
    int64_t changedSec = 0;
    int64_t changedNsec = 0;
    uint32_t changeCounter = 0;
    // A file in WAL mode: its commits go to the "-wal" file beside it and leave the file itself
    // as it was until a checkpoint, so that one's inode, size and modification time are part of
    // the identity (all zero when there is none).
    uint64_t walInode = 0;
    int64_t walSize = 0;
    int64_t walModifiedSec = 0;
    int64_t walModifiedNsec = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

class Database {
public:
    enum Access { ReadWrite, ReadOnly };
    // Opens an existing database file; a missing or unreadable file is a failure. A lock held
    // by another writer is waited for up to `busyTimeoutMs`. The file is data, never code: its
    // triggers and views are not run (a view read or a table with a trigger behaves as if the
    // view were not there or the trigger not there), SQLite's defensive mode is on, the schema
    // is not trusted with functions that have side effects, and each step of a statement that
    // runs longer than `busyTimeoutMs` + kStatementBudgetMs is stopped and fails.
    explicit Database(const QString& path, int busyTimeoutMs = kDefaultBusyTimeoutMs,
                      Access access = ReadWrite);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* handle() const { return db_; }
    const QString& path() const { return path_; }
    void exec(const QString& sql);
    bool tableExists(const QString& table);
    // Column names of a table, as declared.
    QStringList columns(const QString& table);
    bool hasColumn(const QString& table, const QString& column);
    // Rollback-journal mode, so that every commit moves the file change counter on. False when
    // the file stays in WAL mode: another program that has it open in that mode keeps it so.
    bool useRollbackJournal();
    // The identity of the file this connection has open, as it is now; nothing when the path no
    // longer names that file (it was renamed over or removed). Taken while this connection holds
    // a lock, no other writer can commit in between: it is the state the connection reads.
    std::optional<FileIdentity> identity() const;
    [[noreturn]] void failWith(int rc, const QString& what) const;
    // Starts and ends the time budget of one step of a statement; outside a step nothing is
    // stopped (a rollback, say).
    void startStep();
    void endStep() { deadlineNs_ = 0; }

private:
    static int overBudget(void* self);
    sqlite3* db_ = nullptr;
    QString path_;
    int64_t budgetNs_ = 0;
    int64_t deadlineNs_ = 0;
    bool stopped_ = false;
};

// Rolls back unless committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool done_ = false;
};

// A prepared statement; as a cursor it steps forward over the rows of a query.
class Statement {
public:
    Statement(Database& db, const QString& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const FieldValue& value);  // 1-based
    void bind(int index, int64_t value);
    void bind(int index, const QString& value);
    // Steps to the next row; false at the end.
    bool next();
    // Runs a statement that returns no rows.
    void run();
    void reset();

    int columnCount() const;
    QString columnName(int i) const;
    // Index of a column by name, without regard to case; -1 when there is none.
    int columnIndex(const QString& name) const;
    FieldValue value(int i) const;
    // The value of a named column of the current row; a missing column is a failure.
    FieldValue field(const QString& name) const;
    // For readers that take the values of many rows straight from SQLite.
    sqlite3_stmt* handle() const { return stmt_; }

  private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
    QHash<QString, int> index_;
};

// The identity of the file at `path` as it is now, or nothing when there is no such file. It
// costs one look at the file system and one read of four bytes, nothing that waits for a lock.
// With `known`: when the file's status (device, inode, size, both times to the nanosecond) is as
// known says, nothing has committed since (every commit writes the file), and `known` is
// returned without opening the file: the periodic check costs one stat.
std::optional<FileIdentity> FileIdentityIfExists(const QString& path,
                                                 const std::optional<FileIdentity>& known = std::nullopt);
bool FileExists(const QString& path);

}  // namespace tarvo
