#include "store/load_database.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include <sqlite3.h>

#include "logs/logs.h"
#include "store/database_version.h"
#include "store/exchange_sort.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

const QString kLocation = QStringLiteral("Error Reading Automation DB");

// Reads a number the way the classic Val does: blanks are ignored, reading stops at the first
// character that cannot continue the number, and text that does not start with one reads 0.
double leadingNumber(const QString& text) {
    QString s;
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            s += c;
    int i = 0;
    const int n = static_cast<int>(s.size());
    QString num;
    if (i < n && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-'))) num += s[i++];
    bool digits = false;
    while (i < n && s[i].isDigit() && s[i].unicode() < 128) { num += s[i++]; digits = true; }
    if (i < n && s[i] == QLatin1Char('.')) {
        num += s[i++];
        while (i < n && s[i].isDigit() && s[i].unicode() < 128) { num += s[i++]; digits = true; }
    }
    if (!digits) return 0;
    if (i < n && (s[i] == QLatin1Char('e') || s[i] == QLatin1Char('E') || s[i] == QLatin1Char('d') ||
                  s[i] == QLatin1Char('D'))) {
        QString exp = QStringLiteral("e");
        int k = i + 1;
        if (k < n && (s[k] == QLatin1Char('+') || s[k] == QLatin1Char('-'))) exp += s[k++];
        bool expDigits = false;
        while (k < n && s[k].isDigit() && s[k].unicode() < 128) { exp += s[k++]; expDigits = true; }
        if (expDigits) num += exp;
    }
    bool ok = false;
    const double v = num.toDouble(&ok);
    return ok ? v : 0;
}

// Texts that repeat from row to row (times, blanks, addresses, titles of a weekly schedule) are
// held once and shared by every row that carries them. Bounded: a table of all-different titles
// does not grow it past kMaxPooled; those are made one by one.
class TextPool {
  public:
    Text get(const char* p, int n) {
        const std::string_view key(p, static_cast<std::size_t>(n));
        if (const auto it = pool_.find(key); it != pool_.end()) return it->second;
        Text text = QString::fromUtf8(p, n);
        if (pool_.size() < kMaxPooled) pool_.emplace(std::string(key), text);
        return text;
    }

  private:
    static constexpr std::size_t kMaxPooled = 8192;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view v) const {
            return std::hash<std::string_view>{}(v);
        }
    };
    std::unordered_map<std::string, Text, Hash, std::equal_to<>> pool_;
};

// Reads one column into a field: Null gives the default; a value that does not convert, or a
// missing column, leaves the field empty. Neither is a failure here: a table of old or foreign
// rows may lack a column, or hold a value that does not convert, in every one of 32767 rows.
// Integers and texts as the table normally holds them are taken straight from SQLite; any other
// stored kind goes the general way of FieldValue, with the same result.
struct RowReader {
    const Statement& row;
    sqlite3_stmt* st;
    // Column indices in the order the fields are read, found on the first row and reused.
    std::vector<int>& columns;
    TextPool& texts;
    std::size_t next = 0;
    // Number columns whose value is no number in their range, in words.
    QString unreadable;

    static QString quoted(const FieldValue& f) {
        if (const auto* text = std::get_if<QString>(&f.v)) return QLatin1Char('\'') + text->left(40) + QLatin1Char('\'');
        if (const auto* i = std::get_if<int64_t>(&f.v)) return QString::number(*i);
        if (const auto* d = std::get_if<double>(&f.v)) return QString::number(*d);
        return QStringLiteral("a blob");
    }

    // -1 for a missing column.
    int column(const char* name) {
        if (next == columns.size()) columns.push_back(row.columnIndex(QLatin1String(name)));
        return columns[next++];
    }

    template <typename T>
    void integer(T& out, const char* name, std::optional<int64_t> nullDefault, int64_t min,
                 int64_t max, std::optional<int64_t> aboveMax = std::nullopt,
                 std::optional<int64_t> limit = std::nullopt) {
        out = T{};
        const int index = column(name);
        if (index < 0) return;
        std::optional<int64_t> v;
        switch (sqlite3_column_type(st, index)) {
            case SQLITE_INTEGER: {
                const int64_t i = sqlite3_column_int64(st, index);
                if (i >= min && i <= max) v = i;
                break;
            }
            case SQLITE_NULL:
                v = nullDefault;  // a Null without a default stays empty
                break;
            default:
                v = IntegerIfConvertible(row.value(index), min, max);
                break;
        }
        if (!v) {
            // Read as 0, as the file's editing tool does; the check says so.
            if (!unreadable.isEmpty()) unreadable += QStringLiteral(", ");
            unreadable += QStringLiteral("%1 holds %2").arg(QLatin1String(name), quoted(row.value(index)));
            return;
        }
        if (limit && aboveMax && *v > *limit) v = *aboveMax;
        out = static_cast<T>(*v);
    }
    void i16(int16_t& out, const char* name, int64_t nullDefault = 0) {
        integer(out, name, nullDefault, -32768, 32767);
    }
    void i16max(int16_t& out, const char* name, int64_t limit, int64_t replacement,
                int64_t nullDefault = 0) {
        integer(out, name, nullDefault, -32768, 32767, replacement, limit);
    }
    void u8(uint8_t& out, const char* name) { integer(out, name, 0, 0, 255); }
    void i32(int32_t& out, const char* name, int64_t nullDefault = 0) {
        integer(out, name, nullDefault, INT32_MIN, INT32_MAX);
    }
    void text(Text& out, const char* name, const Text& nullDefault) {
        out = Text();
        const int index = column(name);
        if (index < 0) return;
        switch (sqlite3_column_type(st, index)) {
            case SQLITE_TEXT: {
                const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, index));
                out = texts.get(p, sqlite3_column_bytes(st, index));
                break;
            }
            case SQLITE_NULL:
                out = nullDefault;
                break;
            default:
                if (const auto t = TextIfConvertible(row.value(index))) out = *t;
                break;
        }
    }
};

// Puts `items` in the order `order` gives (items[order[k]] becomes element k), in place: a full
// table is not held twice.
template <typename T>
void applyOrder(std::vector<T>& items, std::vector<int> order) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == static_cast<int>(i)) continue;
        T held = std::move(items[i]);
        std::size_t j = i;
        for (;;) {
            const auto k = static_cast<std::size_t>(order[j]);
            order[j] = static_cast<int>(j);
            if (k == i) {
                items[j] = std::move(held);
                break;
            }
            items[j] = std::move(items[k]);
            j = k;
        }
    }
}

AutomationEvent readEvent(const Statement& row, std::vector<int>& columns, TextPool& texts) {
    static uint32_t lastId = 0;
    AutomationEvent ev;
    ev.id = ++lastId;
    RowReader r{row, row.handle(), columns, texts, 0, {}};
    r.integer(ev.Number, "Number", std::nullopt, -32768, 32767);
    r.i16(ev.Day, "Day");
    ev.DayName = DayNameOf(ev.Day);
    // The texts a Null gives, made once.
    static const Text kNoTime = kNotOnTheClock, kNone = QStringLiteral("None"), kBlank = QStringLiteral(" "),
                      kNoAddress = QStringLiteral("0.0.0.0");
    r.text(ev.Time, "Time", kNoTime);
    r.i16(ev.Delay, "Delay");
    r.text(ev.Title, "Title", kNone);
    r.i16(ev.SourceChan, "SourceChan");
    r.i16(ev.DestChan, "DestChan");
    r.i16(ev.ReqSource, "ReqSource");
    r.i16(ev.ReqDest, "ReqDest");
    r.i16(ev.ReqSource2, "ReqSource2");
    r.i16(ev.ReqDest2, "ReqDest2");
    r.i16(ev.ReqOpto, "ReqOpto");
    r.i16(ev.ReqRelay, "ReqRelay");
    r.i16(ev.ReqOpto2, "ReqOpto2");
    r.i16(ev.ReqRelay2, "ReqRelay2");
    r.i16(ev.ssSource, "ssSource");
    r.i16(ev.ssDeviceID, "ssDeviceID");
    r.i16max(ev.Active, "Active", 3, 0);
    r.i16(ev.Relay, "Relay");
    r.i16(ev.Opto, "Opto");
    r.i16(ev.rcRelay, "rcRelay");
    r.i16(ev.rcOpto, "rcOpto");
    r.i16(ev.OptoOut, "OptoOut");
    r.i16(ev.Salvo, "Salvo");
    r.i16(ev.VChan, "VChan");
    r.i16max(ev.Gain, "Gain", 2047, 1024, 1024);
    r.i16max(ev.xcontrol, "xcontrol", 6, 0);
    r.i16max(ev.rcontrol, "rcontrol", 3, 0);
    r.i16max(ev.scontrol, "scontrol", 1, 0);
    r.i16max(ev.vcontrol, "vcontrol", 3, 0);
    r.i16max(ev.ocontrol, "ocontrol", 2, 0);
    r.i16max(ev.rccontrol, "rccontrol", 1, 0);
    r.i16max(ev.sscontrol, "sscontrol", 1, 0);
    r.i16max(ev.Type, "Type", 5, 0);
    r.i16(ev.Priority, "Priority");
    r.i16max(ev.Condition, "Condition", 6, 0);
    r.i16max(ev.Condition2, "Condition2", 6, 0);
    r.i16max(ev.OptoCondition, "OptoCondition", 2, 0);
    r.i16max(ev.RelayCondition, "RelayCondition", 2, 0);
    r.i16max(ev.OptoCondition2, "OptoCondition2", 2, 0);
    r.i16max(ev.RelayCondition2, "RelayCondition2", 2, 0);
    r.text(ev.FileName, "FileName", kBlank);
    r.i16max(ev.FileType, "FileType", 12, 0);
    r.i16(ev.FileChannel1, "FileChannel1");
    r.i16max(ev.Template, "Template", 128, 0);
    r.u8(ev.FFrame, "FFrame");
    r.u8(ev.FSlot, "FSlot");
    r.text(ev.Message, "Message", kBlank);
    r.i16max(ev.mcontrol, "mcontrol", 4, 0);
    r.i16max(ev.mtype, "mtype", 4, 0);
    r.text(ev.Method, "Method", kBlank);
    r.text(ev.MIPAddress, "MIPAddress", kNoAddress);
    r.i32(ev.MIPPort, "MIPPort");
    r.u8(ev.MFrame, "MFrame");
    r.u8(ev.MSlot, "MSlot");
    r.u8(ev.MPort, "MPort");
    r.u8(ev.MCommPort, "MCommPort");
    r.i32(ev.MBaudRate, "MBaudRate");
    r.i16(ev.TriggerSource, "TriggerSource");
    r.i16(ev.TriggerDest, "TriggerDest");
    r.i16max(ev.tControl, "tControl", 4, 0);
    r.i16(ev.Option, "Option");
    r.i32(ev.Color, "Color", 16777215);
    KeptTexts kept;
    Text t;
    QString* keptFields[] = {&kept.Days, &kept.Future1, &kept.Future2, &kept.Future3, &kept.Future4, &kept.Future5};
    const char* keptNames[] = {"Days", "Future1", "Future2", "Future3", "Future4", "Future5"};
    for (int k = 0; k < 6; ++k) {
        r.text(t, keptNames[k], Text());
        if (!t.isEmpty()) *keptFields[k] = t.toString();
    }
    ev.Kept = JoinKept(kept);
    if (!r.unreadable.isEmpty()) ev.Unreadable = r.unreadable;
    return ev;
}

// A setting read whose failure is ignored: the setting keeps its previous value.
template <typename F>
void keepOnFailure(F&& read) {
    try {
        read();
    } catch (const TarvoError&) {
    }
}

FieldValue firstRowField(Database& db, const QString& table, const QString& column) {
    Statement st(db, QStringLiteral("SELECT * FROM [%1] LIMIT 1").arg(table));
    if (!st.next()) fail(3021, QStringLiteral("No current record"));
    return st.field(column);
}

}  // namespace

std::optional<QString> ValidateAddress(const QString& text) {
    const qsizetype d1 = text.indexOf(QLatin1Char('.'));
    if (d1 < 0) return std::nullopt;
    const qsizetype d2 = text.indexOf(QLatin1Char('.'), d1 + 1);
    if (d2 < 0) return std::nullopt;
    const qsizetype d3 = text.indexOf(QLatin1Char('.'), d2 + 1);
    if (d3 < 0) return std::nullopt;
    if (d3 == text.size() - 1) return std::nullopt;
    const QString parts[4] = {text.left(d1), text.mid(d1 + 1, d2 - d1 - 1), text.mid(d2 + 1, d3 - d2 - 1),
                              text.mid(d3 + 1)};
    QStringList out;
    for (const QString& p : parts) {
        double v = std::nearbyint(leadingNumber(p));  // halves to the even neighbour
        if (v > 255) v = 255;
        if (v < 0) v = 0;
        out << QString::number(static_cast<int>(v));
    }
    return out.join(QLatin1Char('.'));
}

void SortEvents(std::vector<AutomationEvent>& events) {
    const std::size_t n = events.size();
    std::vector<int> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<int>(i);
    const auto& ev = events;
    auto day = [&](int i) { return ev[i].Day; };
    ExchangePass(order, 0, n, [&](int a, int b) { return day(a) < day(b); });
    ExchangePassWithinGroups(
        order, [&](int a, int b) { return day(a) == day(b); },
        [&](int a, int b) { return ev[a].Time.view().compare(ev[b].Time.view(), Qt::CaseSensitive) < 0; });
    ExchangePassWithinGroups(
        order, [&](int a, int b) { return day(a) == day(b) && ev[a].Time == ev[b].Time; },
        [&](int a, int b) { return ev[a].Priority < ev[b].Priority; });
    ExchangePassWithinGroups(
        order,
        [&](int a, int b) {
            return day(a) == day(b) && ev[a].Time == ev[b].Time && ev[a].Priority == ev[b].Priority;
        },
        [&](int a, int b) { return ev[a].Delay < ev[b].Delay; });
    applyOrder(events, std::move(order));
}

namespace {

// The engine's read (logged, at most kMaxEvents rows, its own pending changes applied, a lock
// given up on at once) when `logs` and `store` are given; otherwise an inspection, which changes
// nothing and logs nothing.
DatabaseRead readDatabase(const QString& path, const EngineSettings& previous, Logs* logs,
                          EventStore* store) {
    DatabaseRead result;
    if (!FileExists(path)) {
        result.outcome = DatabaseRead::Missing;
        return result;
    }
    const bool inspecting = logs == nullptr;
    // The schema first; the upgrade reports its own failures and the read goes on, unless it met
    // a lock, which the read would meet too.
    if (!inspecting && !CheckDatabaseVersion(*logs, path, store->busyTimeoutMs, &store->lock)) {
        result.locked = true;
        return result;
    }
    auto read = [&] {
        // Settings and rows are read into these and only handed over once the whole file has
        // been read: a file that turns out damaged halfway (a copy cut short, a file replaced
        // while it is read) leaves the engine running the last table it read in full, never a
        // count from the new file over the rows of the old one.
        EngineSettings s = previous;
        std::vector<AutomationEvent> loaded;
        Database db(path, inspecting ? kDefaultBusyTimeoutMs : store->busyTimeoutMs,
                    inspecting ? Database::ReadOnly : Database::ReadWrite);
        // One read snapshot: a writer between the count and the rows cannot make them differ.
        db.exec(QStringLiteral("BEGIN"));
        // Is it an automation database at all? (A Null type is not a mismatch.)
        const FieldValue type = firstRowField(db, QStringLiteral("Type"), QStringLiteral("Type"));
        // From here on the read holds its lock: no commit comes between this and the rows.
        result.identity = db.identity();
        if (!type.isNull() && ToText(type) != QLatin1String("Automation")) {
            result.outcome = DatabaseRead::NotAutomation;
            return;
        }
        // The switcher's address and port: a failure here abandons the load.
        const FieldValue port = firstRowField(db, QStringLiteral("Server"), QStringLiteral("IPPort"));
        s.IPPort = port.isNull() ? 1250 : static_cast<int32_t>(ToInteger(port, INT32_MIN, INT32_MAX));
        const FieldValue addr = firstRowField(db, QStringLiteral("Server"), QStringLiteral("IPAddr"));
        s.IPAddr = addr.isNull() ? QStringLiteral("0.0.0.0") : ToText(addr);
        // The other settings keep their previous value when their read fails.
        auto readSetting = [&](const char* table, const char* column, auto apply) {
            keepOnFailure([&] { apply(firstRowField(db, QLatin1String(table), QLatin1String(column))); });
        };
        readSetting("Server", "SlaveIPPort", [&](const FieldValue& f) {
            s.SlaveIPPort = f.isNull() ? 1 : static_cast<int32_t>(ToInteger(f, INT32_MIN, INT32_MAX));
        });
        readSetting("Server", "SlaveIPAddr",
                    [&](const FieldValue& f) { s.SlaveIPAddr = f.isNull() ? QStringLiteral("0.0.0.0") : ToText(f); });
        readSetting("Server", "TaskViewDB",
                    [&](const FieldValue& f) { s.TaskViewDB = f.isNull() ? QString() : ToText(f); });
        readSetting("Info", "StartMin", [&](const FieldValue& f) { s.StartMin = f.isNull() ? false : ToFlag(f); });
        readSetting("Info", "ArchiveTally",
                    [&](const FieldValue& f) { s.ArchiveTally = f.isNull() ? true : ToFlag(f); });
        readSetting("Info", "MaxTallyFile", [&](const FieldValue& f) {
            s.MaxTallyFile = f.isNull() ? 1000 : static_cast<int32_t>(ToInteger(f, INT32_MIN, INT32_MAX));
        });
        readSetting("Info", "Future1", [&](const FieldValue& f) { s.Future1 = f.isNull() ? QString() : ToText(f); });
        // Addresses normalised, ports defaulted.
        s.IPAddr = ValidateAddress(s.IPAddr).value_or(QStringLiteral("0.0.0.0"));
        if (s.IPPort <= 0) s.IPPort = 1250;
        if (s.SlaveIPPort <= 0) s.SlaveIPPort = 1250;
        s.SlaveIPAddr = ValidateAddress(s.SlaveIPAddr).value_or(QStringLiteral("0.0.0.0"));
        s.SlaveEnabled = s.SlaveIPAddr != QLatin1String("0.0.0.0");

        // The rows, in Number order. A failed column read leaves that one field empty; a row
        // that cannot be read at all (a damaged file) abandons the load.
        Statement count(db, QStringLiteral("SELECT COUNT(*) FROM Automation"));
        count.next();
        const int64_t rows = ToInteger(count.value(0), 0, INT64_MAX);
        // A table that fits is read as stored and put in Number order here, which costs far
        // less than SQLite sorting whole rows of 69 columns. That order is SQLite's own as long
        // as every Number is an integer or Null (Nulls first; equal Numbers in the order they
        // are stored, as SQLite's sort keeps them). Anything else (a Number stored as text or
        // real, no Number column at all) is read again the way SQLite orders it.
        const int64_t limit = inspecting ? rows : kMaxEvents;
        const auto wanted = static_cast<std::size_t>(std::min<int64_t>(rows, limit));
        std::vector<int> columns;
        TextPool texts;
        bool ordered = false;
        if (rows <= limit) {
            Statement query(db, QStringLiteral("SELECT * FROM Automation"));
            const int numberColumn = query.columnIndex(QStringLiteral("Number"));
            std::vector<std::pair<bool, int64_t>> keys;  // (not Null, value)
            keys.reserve(wanted);
            loaded.reserve(wanted);
            bool plain = numberColumn >= 0;
            while (plain && loaded.size() < wanted && query.next()) {
                const int type = sqlite3_column_type(query.handle(), numberColumn);
                if (type != SQLITE_INTEGER && type != SQLITE_NULL) plain = false;
                keys.emplace_back(type != SQLITE_NULL,
                                  sqlite3_column_int64(query.handle(), numberColumn));
                loaded.push_back(readEvent(query, columns, texts));
            }
            if (plain) {
                std::vector<int> order(loaded.size());
                for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
                std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
                    return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
                });
                applyOrder(loaded, std::move(order));
                ordered = true;
            } else {
                loaded.clear();
                columns.clear();
            }
        }
        if (!ordered) {
            Statement query(db, QStringLiteral("SELECT * FROM Automation ORDER BY [Number]"));
            loaded.reserve(wanted);
            while (loaded.size() < wanted && query.next())
                loaded.push_back(readEvent(query, columns, texts));
        }
        if (rows > limit) {
            // Indices are 16-bit: the first 32767 rows in Number order are loaded.
            WriteErrorLog(*logs,
                          QStringLiteral("The Automation table holds %1 rows; only the first %2 in Number "
                                         "order are loaded")
                              .arg(rows)
                              .arg(kMaxEvents),
                          kLocation);
        }
        // Still under the read's lock: the history's entries and the rows read agree.
        if (store) store->noteTable(*logs, loaded);
        // The engine's own deletes and re-arms that the file could not take yet still hold.
        if (store) store->applyPending(loaded);
        result.settings = std::move(s);
        result.rows = std::move(loaded);
        result.outcome = DatabaseRead::Read;
    };
    try {
        read();
        if (logs) store->lock.answered(*logs);
    } catch (...) {
        const TarvoError failure = CurrentFailure(std::current_exception());
        result.failure = failure.description();
        if (logs) {
            result.locked = store->lock.report(*logs, kLocation, failure);
            result.identity = result.locked ? std::nullopt : FileIdentityIfExists(path);
        }
    }
    return result;
}

}  // namespace

std::vector<StoredRow> ReadStoredRows(Database& db, std::optional<int16_t> number) {
    Statement query(db, number ? QStringLiteral("SELECT rowid, * FROM Automation WHERE [Number] = ?1 ORDER BY rowid")
                               : QStringLiteral("SELECT rowid, * FROM Automation ORDER BY [Number], rowid"));
    if (number) query.bind(1, static_cast<int64_t>(*number));
    std::vector<StoredRow> rows;
    std::vector<int> columns;
    TextPool texts;
    while (query.next())
        rows.push_back({sqlite3_column_int64(query.handle(), 0), readEvent(query, columns, texts)});
    return rows;
}

std::vector<StoredRow> ReadRowsNumbered(Database& db, int16_t number) { return ReadStoredRows(db, number); }

DatabaseRead ReadAutomationDatabase(Logs& logs, EventStore& store, const EngineSettings& previous) {
    return readDatabase(store.DatabasePath, previous, &logs, &store);
}

DatabaseRead InspectAutomationDatabase(const QString& path) {
    return readDatabase(path, EngineSettings{}, nullptr, nullptr);
}

}  // namespace tarvo
