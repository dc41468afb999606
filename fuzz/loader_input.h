// The input of fuzz_loader describes a database: which of the four tables exist, their columns
// (any of the real ones in any letter case, and names of no meaning), each column's declared
// type, and rows of values of every storage class. Shared by the target, which reads a
// description and writes it as a real database file, and by the seed writer, which describes
// the tests' own databases.
//
//   flags          bits 0-3: tables Type, Server, Info, Automation; bits 4-7: timer ticks - 1
//   day hour min   the clock at the start (day 7: at the first timed event)
//   per table      name case, column count - 1, columns, row count, rows
//   column         selector (< 240: a real column of the table; else a name of its own:
//                  length, then printable characters), letter case, declared type
//   Automation     row count in a byte and one more bit (at most kMaxRows); other tables 0..3
//   row            one value per column; once the input runs out, the rows read so far are
//                  repeated (ties for the sort), or Null rows when none was read
//   value          tag, then its bytes; a TaskViewDB value is one byte choosing a folder
//
// A description reads the same whatever its length: bytes past the end read as zero.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tarvo::fuzz {

constexpr int kTableType = 0, kTableServer = 1, kTableInfo = 2, kTableAutomation = 3;
constexpr int kMaxRows = 400;
constexpr uint8_t kOwnName = 240;
constexpr int kValueTags = 12;
// A value's text or blob has fewer bytes than this.
constexpr int kMaxValueBytes = 48;

inline const std::array<QString, 4> kTableNames = {QStringLiteral("Type"), QStringLiteral("Server"),
                                                   QStringLiteral("Info"),
                                                   QStringLiteral("Automation")};
inline const std::array<int, 4> kMaxColumns = {4, 10, 16, 90};
inline const std::array<QString, 7> kDeclaredTypes = {QString(),
                                                      QStringLiteral("INTEGER"),
                                                      QStringLiteral("TEXT"),
                                                      QStringLiteral("REAL"),
                                                      QStringLiteral("NUMERIC"),
                                                      QStringLiteral("BLOB"),
                                                      QStringLiteral("VARCHAR(10)")};

inline const QStringList& RealColumns(int table) {
    static const std::array<QStringList, 4> columns = {
        QStringList{QStringLiteral("Type")},
        QStringLiteral("IPPort IPAddr SlaveIPPort SlaveIPAddr TaskViewDB").split(QLatin1Char(' ')),
        QStringLiteral("Version Future1 Future2 Future3 Future4 Future5 StartMin MaxTallyFile "
                       "ArchiveTally")
            .split(QLatin1Char(' ')),
        QStringLiteral(
            "Number Day Days Time Title SourceChan DestChan ReqSource ReqDest Active Relay Opto "
            "Salvo VChan Gain xcontrol rcontrol scontrol vcontrol Type Condition FileName FileType "
            "TriggerSource TriggerDest TControl Message MControl MType Method Future1 Future2 "
            "Future3 Future4 Future5 MIPAddress MIPPort MFrame MSlot MPort MCommPort MBaudRate "
            "Color FFrame FSlot OptoOut OControl ReqOpto ReqRelay OptoCondition RelayCondition "
            "Template RcControl RcOpto RcRelay ReqSource2 ReqDest2 Condition2 ReqOpto2 ReqRelay2 "
            "OptoCondition2 RelayCondition2 Priority Delay Option ssSource ssDeviceID ssControl "
            "FileChannel1")
            .split(QLatin1Char(' ')),
    };
    return columns[static_cast<std::size_t>(table)];
}

// The column whose values are folders: only ever one of a few chosen by the target, so that no
// input makes the engine write outside the fuzzer's own folder.
inline bool IsTaskViewColumn(const QString& name) {
    return name.compare(QLatin1String("TaskViewDB"), Qt::CaseInsensitive) == 0;
}

struct Value {
    enum Kind { Null, Integer, Real, Text, Blob, Folder } kind = Null;
    int64_t i = 0;  // Integer; for Folder the choice
    double d = 0;
    QByteArray bytes;  // Text (as stored: not necessarily UTF-8) and Blob
};

struct Column {
    QString name;
    uint8_t type = 0;  // index into kDeclaredTypes
};

struct Table {
    int kind = kTableType;
    QString name;
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;
};

struct Description {
    uint8_t flags = 0;
    uint8_t day = 0, hour = 0, minute = 0;
    std::vector<Table> tables;
    int ticks() const { return 1 + (flags >> 4); }
};

// Letter case: 0 as given, 1 lower, 2 upper, otherwise bit (i mod 8) of the byte turns the
// case of letter i.
inline QString InCase(const QString& name, uint8_t c) {
    if (c == 0) return name;
    if (c == 1) return name.toLower();
    if (c == 2) return name.toUpper();
    QString out = name;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (!(c >> (i % 8) & 1)) continue;
        const QChar ch = out[i];
        out[i] = ch.isUpper() ? ch.toLower() : ch.toUpper();
    }
    return out;
}

namespace detail {

class Reader {
  public:
    Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint64_t le(int n) {
        uint64_t v = 0;
        for (int k = 0; k < n; ++k) v |= static_cast<uint64_t>(u8()) << (8 * k);
        return v;
    }
    QByteArray take(int n) {
        QByteArray b;
        for (int k = 0; k < n; ++k) b.append(static_cast<char>(u8()));
        return b;
    }
    bool done() const { return pos_ >= size_; }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// clang-format off
inline const std::vector<int64_t>& InterestingIntegers() {
    static const std::vector<int64_t> v = {
        0, 1, -1, 2, 3, 4, 5, 6, 7, 8, 12, 13, 17, 18, 25, 127, 128, 129, 255, 256, 1023, 1024,
        2047, 2048, 16383, 16384, 32767, 32768, -32768, -32769, 65535, INT32_MAX, INT32_MIN,
        2147483648LL, INT64_MAX, INT64_MIN};
    return v;
}

inline const QStringList& InterestingTexts() {
    static const QStringList v = {
        "Automation", "automation", "", " ", "None", "24:00:00", "00:00:00", "09:00:00",
        "23:59:59", "9:00:00 AM", "12:00:00 PM", "18", "17", "1", "2", "5", "0", "-1", "3.5",
        "2.5", "1e3", " 42 ", "0x10", "true", "FALSE", "often", "0.0.0.0", "127.0.0.1",
        "10.0.0.300", "192.168.001.010", "10.0.0.4.6", "1.2.3.", "Tarvo", "x"};
    return v;
}
// clang-format on

inline Value ReadValue(Reader& r, bool folder) {
    Value v;
    if (folder) {
        v.kind = Value::Folder;
        v.i = r.u8();
        return v;
    }
    switch (r.u8() % kValueTags) {
        case 0:
            break;
        case 1:
            v.kind = Value::Integer, v.i = static_cast<int8_t>(r.u8());
            break;
        case 2:
            v.kind = Value::Integer, v.i = static_cast<int16_t>(r.le(2));
            break;
        case 3:
            v.kind = Value::Integer, v.i = static_cast<int32_t>(r.le(4));
            break;
        case 4:
            v.kind = Value::Integer, v.i = static_cast<int64_t>(r.le(8));
            break;
        case 5: {
            const uint64_t bits = r.le(8);
            v.kind = Value::Real;
            std::memcpy(&v.d, &bits, sizeof v.d);
            break;
        }
        case 6:  // halves, for the rounding of stored reals
            v.kind = Value::Real, v.d = static_cast<int8_t>(r.u8()) / 2.0;
            break;
        case 7:
            v.kind = Value::Text, v.bytes = r.take(r.u8() % kMaxValueBytes);
            break;
        case 8:
            v.kind = Value::Blob, v.bytes = r.take(r.u8() % kMaxValueBytes);
            break;
        case 9: {
            const auto& ints = InterestingIntegers();
            v.kind = Value::Integer, v.i = ints[r.u8() % ints.size()];
            break;
        }
        case 10: {
            const auto& texts = InterestingTexts();
            v.kind = Value::Text, v.bytes = texts[r.u8() % texts.size()].toUtf8();
            break;
        }
        default: {  // a time of day, not always a real one
            const int h = r.u8() % 26, m = r.u8() % 61, s = r.u8() % 61;
            v.kind = Value::Text;
            v.bytes = QStringLiteral("%1:%2:%3")
                          .arg(h, 2, 10, QLatin1Char('0'))
                          .arg(m, 2, 10, QLatin1Char('0'))
                          .arg(s, 2, 10, QLatin1Char('0'))
                          .toUtf8();
        }
    }
    return v;
}

}  // namespace detail

inline Description ReadDescription(const uint8_t* data, std::size_t size) {
    detail::Reader r(data, size);
    Description d;
    d.flags = r.u8();
    d.day = r.u8() % 8;
    d.hour = r.u8() % 24;
    d.minute = r.u8() % 60;
    for (int kind = 0; kind < 4; ++kind) {
        if (!(d.flags >> kind & 1)) continue;
        Table t;
        t.kind = kind;
        t.name = InCase(kTableNames[static_cast<std::size_t>(kind)], r.u8());
        const int columns = 1 + r.u8() % kMaxColumns[static_cast<std::size_t>(kind)];
        for (int c = 0; c < columns; ++c) {
            const uint8_t selector = r.u8();
            QString name;
            if (selector < kOwnName) {
                const QStringList& real = RealColumns(kind);
                name = real[selector % real.size()];
            } else {
                const int length = 1 + r.u8() % 16;
                for (int k = 0; k < length; ++k) name += QChar(0x20 + r.u8() % 95);
            }
            name = InCase(name, r.u8());
            const uint8_t type = r.u8() % kDeclaredTypes.size();
            bool taken = false;
            for (const Column& other : t.columns)
                taken = taken || other.name.compare(name, Qt::CaseInsensitive) == 0;
            if (!taken) t.columns.push_back(Column{name, type});
        }
        int rows = 0;
        if (kind == kTableAutomation) {
            const int low = r.u8();
            rows = std::min(low | (r.u8() & 1) << 8, kMaxRows);
        } else {
            rows = r.u8() % 4;
        }
        std::size_t read = 0;
        for (int n = 0; n < rows; ++n) {
            if (r.done()) {
                if (read > 0) {
                    t.rows.push_back(t.rows[static_cast<std::size_t>(n) % read]);
                } else {
                    t.rows.emplace_back(t.columns.size());
                }
                continue;
            }
            std::vector<Value> row;
            for (const Column& c : t.columns)
                row.push_back(detail::ReadValue(r, IsTaskViewColumn(c.name)));
            t.rows.push_back(std::move(row));
            ++read;
        }
        d.tables.push_back(std::move(t));
    }
    return d;
}

// The bytes that ReadDescription reads back as `d` (texts and blobs cut to their limit, names
// to printable characters, the letter case of a real column as given or lower or upper).
inline QByteArray WriteDescription(const Description& d) {
    QByteArray b;
    auto u8 = [&](int v) { b.append(static_cast<char>(v)); };
    auto le = [&](uint64_t v, int n) {
        for (int k = 0; k < n; ++k) u8(static_cast<int>(v >> (8 * k) & 0xFF));
    };
    auto caseOf = [](const QString& given, const QString& real) {
        if (given == real) return 0;
        if (given == real.toLower()) return 1;
        if (given == real.toUpper()) return 2;
        return 0;
    };
    uint8_t tables = 0;
    for (const Table& t : d.tables) tables |= static_cast<uint8_t>(1 << t.kind);
    u8((d.flags & 0xF0) | tables);
    u8(d.day), u8(d.hour), u8(d.minute);
    for (int kind = 0; kind < 4; ++kind) {
        const Table* t = nullptr;
        for (const Table& candidate : d.tables)
            if (candidate.kind == kind) t = &candidate;
        if (!t) continue;
        u8(caseOf(t->name, kTableNames[static_cast<std::size_t>(kind)]));
        const int maxColumns = kMaxColumns[static_cast<std::size_t>(kind)];
        const std::size_t columns =
            std::min<std::size_t>(t->columns.size(), static_cast<std::size_t>(maxColumns));
        u8(static_cast<int>(columns == 0 ? 0 : columns - 1));
        for (std::size_t c = 0; c < columns; ++c) {
            const Column& col = t->columns[c];
            const QStringList& real = RealColumns(kind);
            qsizetype index = -1;
            for (qsizetype k = 0; k < real.size(); ++k)
                if (real[k].compare(col.name, Qt::CaseInsensitive) == 0) index = k;
            if (index >= 0) {
                u8(static_cast<int>(index));
                u8(caseOf(col.name, real[index]));
            } else {
                u8(kOwnName);
                const QString name = col.name.left(16);
                u8(static_cast<int>(std::max<qsizetype>(name.size(), 1) - 1));
                for (QChar ch : name)
                    u8(ch.unicode() >= 0x20 && ch.unicode() < 0x7F ? ch.unicode() - 0x20
                                                                   : 'x' - 0x20);
                if (name.isEmpty()) u8('x' - 0x20);
                u8(0);
            }
            u8(col.type);
        }
        const std::size_t rows =
            std::min<std::size_t>(t->rows.size(), kind == kTableAutomation ? kMaxRows : 3);
        if (kind == kTableAutomation) {
            u8(static_cast<int>(rows & 0xFF));
            u8(static_cast<int>(rows >> 8));
        } else {
            u8(static_cast<int>(rows));
        }
        for (std::size_t n = 0; n < rows; ++n) {
            for (std::size_t c = 0; c < columns; ++c) {
                const Value v = c < t->rows[n].size() ? t->rows[n][c] : Value{};
                if (IsTaskViewColumn(t->columns[c].name)) {
                    u8(static_cast<int>(v.kind == Value::Folder ? v.i : 0));
                    continue;
                }
                switch (v.kind) {
                    case Value::Null:
                    case Value::Folder:
                        u8(0);
                        break;
                    case Value::Integer:
                        if (v.i >= INT8_MIN && v.i <= INT8_MAX) {
                            u8(1), le(static_cast<uint64_t>(v.i), 1);
                        } else if (v.i >= INT16_MIN && v.i <= INT16_MAX) {
                            u8(2), le(static_cast<uint64_t>(v.i), 2);
                        } else if (v.i >= INT32_MIN && v.i <= INT32_MAX) {
                            u8(3), le(static_cast<uint64_t>(v.i), 4);
                        } else {
                            u8(4), le(static_cast<uint64_t>(v.i), 8);
                        }
                        break;
                    case Value::Real: {
                        uint64_t bits = 0;
                        std::memcpy(&bits, &v.d, sizeof bits);
                        u8(5), le(bits, 8);
                        break;
                    }
                    case Value::Text:
                    case Value::Blob: {
                        const QByteArray bytes = v.bytes.left(kMaxValueBytes - 1);
                        u8(v.kind == Value::Text ? 7 : 8);
                        u8(static_cast<int>(bytes.size()));
                        b.append(bytes);
                        break;
                    }
                }
            }
        }
    }
    return b;
}

}  // namespace tarvo::fuzz
