// A database described by loader_input.h, written as a real SQLite file: shared by the targets
// that read databases.
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QString>
#include <QStringList>

#include "loader_input.h"

namespace tarvo::fuzz {

inline QString Quoted(const QString& name) {
    QString q = name;
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

class Writer {
  public:
    explicit Writer(const QString& path) {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            fail("open");
        exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
    }
    ~Writer() { sqlite3_close_v2(db_); }

    void exec(const QString& sql) {
        if (sqlite3_exec(db_, sql.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(sql);
    }

    void table(const Table& t, const std::vector<QString>& folders) {
        QStringList columns, marks;
        for (const Column& c : t.columns) {
            columns << Quoted(c.name) + QLatin1Char(' ') + kDeclaredTypes[c.type];
            marks << QStringLiteral("?");
        }
        exec(QStringLiteral("CREATE TABLE %1 (%2)")
                 .arg(Quoted(t.name), columns.join(QLatin1Char(','))));
        const QByteArray insert = QStringLiteral("INSERT INTO %1 VALUES (%2)")
                                      .arg(Quoted(t.name), marks.join(QLatin1Char(',')))
                                      .toUtf8();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, insert.constData(), -1, &st, nullptr) != SQLITE_OK)
            fail(insert);
        for (const auto& row : t.rows) {
            for (std::size_t c = 0; c < row.size(); ++c)
                bind(st, static_cast<int>(c) + 1, row[c], folders);
            if (sqlite3_step(st) != SQLITE_DONE) fail(insert);
            sqlite3_reset(st);
            sqlite3_clear_bindings(st);
        }
        sqlite3_finalize(st);
    }

  private:
    static void bind(sqlite3_stmt* st, int i, const Value& v, const std::vector<QString>& folders) {
        switch (v.kind) {
            case Value::Null:
                sqlite3_bind_null(st, i);
                return;
            case Value::Integer:
                sqlite3_bind_int64(st, i, v.i);
                return;
            case Value::Real:
                sqlite3_bind_double(st, i, v.d);
                return;
            case Value::Text:
                sqlite3_bind_text(st, i, v.bytes.constData(), static_cast<int>(v.bytes.size()),
                                  SQLITE_TRANSIENT);
                return;
            case Value::Blob:
                sqlite3_bind_zeroblob(st, i, 0);
                if (!v.bytes.isEmpty())
                    sqlite3_bind_blob(st, i, v.bytes.constData(), static_cast<int>(v.bytes.size()),
                                      SQLITE_TRANSIENT);
                return;
            case Value::Folder: {
                const QString& f = folders[static_cast<std::size_t>(v.i) % folders.size()];
                if (f.isNull()) {
                    sqlite3_bind_null(st, i);
                } else {
                    const QByteArray u = f.toUtf8();
                    sqlite3_bind_text(st, i, u.constData(), static_cast<int>(u.size()),
                                      SQLITE_TRANSIENT);
                }
                return;
            }
        }
    }

    [[noreturn]] void fail(const QString& what) {
        std::fprintf(stderr, "cannot write the database (%s): %s\n", qPrintable(what),
                     sqlite3_errmsg(db_));
        std::abort();
    }

    sqlite3* db_ = nullptr;
};

inline void WriteDatabase(const QString& path, const Description& d, const std::vector<QString>& folders) {
    Writer w(path);
    for (const Table& t : d.tables) w.table(t, folders);
    w.exec(QStringLiteral("COMMIT"));
}

}  // namespace tarvo::fuzz
