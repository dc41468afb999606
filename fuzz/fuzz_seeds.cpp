// Turns what the tests leave behind (with TARVO_FUZZ_SEEDS set) into seed inputs:
//
//   fuzz_seeds receive <streams folder> <corpus folder>
//       every byte stream the switcher tests fed the engine, under a few headers: whole on the
//       master; on the slave; one byte at a time, drained; in pieces of 7 with ticks, triggered
//       events and grown maps.
//   fuzz_seeds loader <databases folder> <corpus folder>
//       every database file a test left, described as fuzz_loader reads it, once with the clock
//       on a Monday morning and once on the first timed event.
#include <sqlite3.h>

#include <cstdio>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include "loader_input.h"
#include "receive_input.h"

using namespace tarvo::fuzz;

namespace {

void Save(const QString& folder, const QByteArray& input) {
    const QString name =
        QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha1).toHex());
    QFile f(folder + QLatin1Char('/') + name);
    if (f.open(QIODevice::WriteOnly)) f.write(input);
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int Receive(const QString& from, const QString& to) {
    using F = ReceiveHeader;
    std::vector<ReceiveHeader> headers(4);
    headers[1].flags |= F::SlaveUpAndAnswering;
    headers[1].links = 0xFF;
    headers[2].flags |= F::DrainEachPiece;
    headers[2].pieces.fill(1);
    headers[3].flags |= F::TickEachPiece | F::GrownMaps;
    headers[3].events = 0x6A;  // skipped, run-once and mixed states; delays
    headers[3].pieces.fill(7);
    int n = 0;
    for (const QFileInfo& file : QDir(from).entryInfoList(QDir::Files)) {
        const QByteArray stream = ReadFile(file.filePath());
        for (const ReceiveHeader& h : headers) Save(to, h.encode() + stream);
        ++n;
    }
    std::printf("%d streams\n", n);
    return 0;
}

uint8_t DeclaredType(const QString& declared) {
    const QString t = declared.toUpper();
    for (std::size_t k = 1; k < 6; ++k)
        if (t == kDeclaredTypes[k]) return static_cast<uint8_t>(k);
    return t.contains(QLatin1String("CHAR")) ? 6 : 0;
}

Value StoredValue(sqlite3_stmt* st, int i, bool folder) {
    Value v;
    const int type = sqlite3_column_type(st, i);
    if (folder) {
        v.kind = Value::Folder;
        const QByteArray text(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                              sqlite3_column_bytes(st, i));
        v.i = type == SQLITE_NULL ? 0 : text.isEmpty() ? 1 : text == " " ? 2 : 3;
        return v;
    }
    switch (type) {
        case SQLITE_INTEGER:
            v.kind = Value::Integer;
            v.i = sqlite3_column_int64(st, i);
            break;
        case SQLITE_FLOAT:
            v.kind = Value::Real;
            v.d = sqlite3_column_double(st, i);
            break;
        case SQLITE_TEXT:
            v.kind = Value::Text;
            v.bytes = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                 sqlite3_column_bytes(st, i));
            break;
        case SQLITE_BLOB:
            v.kind = Value::Blob;
            v.bytes = QByteArray(static_cast<const char*>(sqlite3_column_blob(st, i)),
                                 sqlite3_column_bytes(st, i));
            break;
        default:
            break;
    }
    return v;
}

bool Describe(const QString& path, Description& d) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    for (int kind = 0; kind < 4; ++kind) {
        sqlite3_stmt* st = nullptr;
        const QByteArray name = kTableNames[static_cast<std::size_t>(kind)].toUtf8();
        sqlite3_prepare_v2(
            db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
            -1, &st, nullptr);
        sqlite3_bind_text(st, 1, name.constData(), -1, SQLITE_TRANSIENT);
        Table t;
        t.kind = kind;
        const bool exists = sqlite3_step(st) == SQLITE_ROW;
        if (exists)
            t.name = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        if (!exists) continue;

        sqlite3_prepare_v2(db, "SELECT name, type FROM pragma_table_info(?1)", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, name.constData(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(st) == SQLITE_ROW)
            t.columns.push_back(Column{
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))),
                DeclaredType(
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))))});
        sqlite3_finalize(st);

        const QByteArray rows = QStringLiteral("SELECT * FROM \"%1\" ORDER BY rowid LIMIT %2")
                                    .arg(t.name)
                                    .arg(kind == kTableAutomation ? kMaxRows : 3)
                                    .toUtf8();
        if (sqlite3_prepare_v2(db, rows.constData(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                std::vector<Value> row;
                for (std::size_t c = 0; c < t.columns.size(); ++c)
                    row.push_back(
                        StoredValue(st, static_cast<int>(c), IsTaskViewColumn(t.columns[c].name)));
                t.rows.push_back(std::move(row));
            }
        }
        sqlite3_finalize(st);
        d.tables.push_back(std::move(t));
    }
    sqlite3_close_v2(db);
    return true;
}

int Loader(const QString& from, const QString& to) {
    int n = 0;
    for (const QFileInfo& file : QDir(from).entryInfoList(QDir::Files)) {
        Description d;
        if (!Describe(file.filePath(), d)) continue;
        d.flags = 0x50;  // six ticks: one database check
        d.day = 0, d.hour = 9, d.minute = 0;
        Save(to, WriteDescription(d));
        d.day = 7;
        Save(to, WriteDescription(d));
        ++n;
    }
    std::printf("%d databases\n", n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seeds receive|loader <from folder> <corpus folder>\n");
        return 2;
    }
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString from = QString::fromLocal8Bit(argv[2]);
    const QString to = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(to);
    if (mode == QLatin1String("receive")) return Receive(from, to);
    if (mode == QLatin1String("loader")) return Loader(from, to);
    std::fprintf(stderr, "unknown kind %s\n", argv[1]);
    return 2;
}
