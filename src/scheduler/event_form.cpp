#include "scheduler/event_form.h"

#include <cmath>
#include <functional>

#include <QHash>
#include <QRegularExpression>

#include "scheduler/actions.h"
#include "scheduler/conditions.h"
#include "scheduler/schedule_check.h"
#include "switcher/commands.h"

namespace tarvo {

namespace {

using Words = std::vector<std::pair<int, const char*>>;

// The words of each selector, by the column's value.
const Words kDayWords = {{0, "Monday"}, {1, "Tuesday"},  {2, "Wednesday"}, {3, "Thursday"},
                         {4, "Friday"}, {5, "Saturday"}, {6, "Sunday"},    {7, "none"}};
const Words kStateWords = {{0, "inactive"}, {1, "active"}, {2, "skip next"}, {3, "run once"}};
const Words kTriggerWords = {{0, "time"},       {1, "opto on"},  {2, "opto off"},
                             {3, "crosspoint"}, {4, "relay on"}, {5, "relay off"}};
const Words kCrosspointChangeWords = {
    {1, "routed"}, {2, "removed"}, {3, "first source"}, {4, "last source gone"}, {0, "never"}};
const Words kConditionWords = {{1, "crosspoint on"}, {2, "crosspoint off"}, {3, "relay on"},
                               {4, "relay off"},     {5, "opto on"},        {6, "opto off"},
                               {0, "none"}};
const Words kTakeWords = {{1, "take"},          {2, "sum on"},          {3, "sum off"},
                          {4, "priority take"}, {5, "priority sum on"}, {6, "priority sum off"},
                          {0, "none"}};
const Words kSalvoWords = {{1, "fire"}, {0, "none"}};
const Words kRelayWords = {{1, "latch"}, {2, "release"}, {3, "momentary"}, {0, "none"}};
const Words kOptoWords = {{1, "on"}, {2, "off"}, {0, "none"}};
const Words kSelectWords = {{1, "select"}, {0, "none"}};
const Words kGainWords = {{1, "source"}, {2, "destination"}, {3, "pan"}, {0, "none"}};
const Words kAssociateWords = {{1, "associate"}, {0, "none"}};
const Words kContentWords = {{1, "text"}, {3, "file"}, {4, "file decoded"}, {0, "none"}};
const Words kViaWords = {{1, "tcp"}, {2, "serial"}, {3, "switcher"}, {4, "udp"}, {0, "none"}};
const Words kUploadWords = {{1, "input alphas"},
                            {2, "output alphas"},
                            {3, "opto alphas"},
                            {4, "relay alphas"},
                            {5, "inhibits"},
                            {6, "salvos"},
                            {7, "buttons"},
                            {8, "input display lists"},
                            {9, "output display lists"},
                            {10, "relay configuration"},
                            {11, "module configuration"},
                            {12, "console configuration"},
                            {0, "none"}};

// The serial speeds by MBaudRate's choice (docs/serial-ports.md).
constexpr int kBaudSpeeds[] = {2400, 9600, 14400, 19200, 28800, 57600, 115200, 128000, 1200, 38400};
constexpr int kBaudChoices = 10;

constexpr int64_t kI16Min = -32768, kI16Max = 32767;
constexpr int64_t kI32Min = INT32_MIN, kI32Max = INT32_MAX;

enum class Kind {
    Integer,
    Word,        // a selector: a word, or the column's value as an integer where it has none
    Text,
    Time,        // "HH:MM:SS" or "24:00:00"
    Com,         // MCommPort + 1
    Baud,        // the speed of MBaudRate's choice
    BaudChoice,  // a stored choice that names no speed
    Kept,        // one of the texts of Kept
};

struct FieldRule {
    const char* key = nullptr;
    Kind kind = Kind::Integer;
    // The range a read accepts: the column's, and no higher than a load keeps (a value above it
    // would be read back as another one).
    int64_t min = 0, max = 0, def = 0;
    const Words* words = nullptr;
    bool selector = false;  // written whenever its table is, and needed in it
    std::function<int64_t(const AutomationEvent&)> get;
    std::function<void(AutomationEvent&, int64_t)> set;
    QString KeptTexts::*kept = nullptr;
    Text AutomationEvent::*text = nullptr;
    QString defText;
};

// A key of the form: one value, or a table of them.
struct Entry {
    const char* key = nullptr;
    bool table = false;
    bool always = false;  // written even at its default
    bool required = false;
    std::vector<FieldRule> fields;
};

FieldRule make(const char* key, Kind kind, int64_t min = 0, int64_t max = 0, int64_t def = 0) {
    FieldRule s;
    s.key = key;
    s.kind = kind;
    s.min = min;
    s.max = max;
    s.def = def;
    return s;
}

#define TARVO_COLUMN(m)                                                    \
    [](const AutomationEvent& e) -> int64_t { return e.m; },               \
        [](AutomationEvent& e, int64_t v) { e.m = static_cast<decltype(e.m)>(v); }

FieldRule integer(const char* key, std::function<int64_t(const AutomationEvent&)> get,
             std::function<void(AutomationEvent&, int64_t)> set, int64_t min = kI16Min,
             int64_t max = kI16Max, int64_t def = 0) {
    FieldRule s = make(key, Kind::Integer, min, max, def);
    s.get = std::move(get);
    s.set = std::move(set);
    return s;
}

FieldRule word(const char* key, const Words& words, std::function<int64_t(const AutomationEvent&)> get,
          std::function<void(AutomationEvent&, int64_t)> set, int64_t max, bool selector = true) {
    FieldRule s = make(key, Kind::Word, kI16Min, max);
    s.words = &words;
    s.selector = selector;
    s.get = std::move(get);
    s.set = std::move(set);
    return s;
}

FieldRule text(const char* key, Text AutomationEvent::*member, const QString& def) {
    FieldRule s = make(key, Kind::Text);
    s.text = member;
    s.defText = def;
    return s;
}

FieldRule u8(const char* key, std::function<int64_t(const AutomationEvent&)> get,
        std::function<void(AutomationEvent&, int64_t)> set) {
    return integer(key, std::move(get), std::move(set), 0, 255);
}

FieldRule keptText(const char* key, QString KeptTexts::*member) {
    FieldRule s = make(key, Kind::Kept);
    s.kept = member;
    return s;
}

Entry single(FieldRule rule, bool always = false, bool required = false) {
    Entry e;
    e.key = rule.key;
    e.always = always;
    e.required = required;
    e.fields.push_back(std::move(rule));
    return e;
}

Entry table(const char* key, std::vector<FieldRule> fields) {
    Entry e;
    e.key = key;
    e.table = true;
    e.fields = std::move(fields);
    return e;
}

std::vector<FieldRule> conditionFields(bool second) {
    if (!second)
        return {word("when", kConditionWords, TARVO_COLUMN(Condition), 6),
                integer("source", TARVO_COLUMN(ReqSource)), integer("output", TARVO_COLUMN(ReqDest)),
                integer("relay", TARVO_COLUMN(ReqRelay)), integer("opto", TARVO_COLUMN(ReqOpto))};
    return {word("when", kConditionWords, TARVO_COLUMN(Condition2), 6),
            integer("source", TARVO_COLUMN(ReqSource2)), integer("output", TARVO_COLUMN(ReqDest2)),
            integer("relay", TARVO_COLUMN(ReqRelay2)), integer("opto", TARVO_COLUMN(ReqOpto2))};
}

const std::vector<Entry>& entries() {
    static const std::vector<Entry> kEntries = [] {
        std::vector<Entry> v;
        v.push_back(single(integer("number", TARVO_COLUMN(Number), 1, kI16Max), true, true));
        v.push_back(single(text("title", &AutomationEvent::Title, QStringLiteral("None")), true));
        v.push_back(single(word("day", kDayWords, TARVO_COLUMN(Day), kI16Max, false), true));
        FieldRule time = make("time", Kind::Time);
        time.text = &AutomationEvent::Time;
        time.defText = kNotOnTheClock;
        v.push_back(single(time));
        v.push_back(single(word("state", kStateWords, TARVO_COLUMN(Active), 3, false), true, true));
        v.push_back(single(word("trigger", kTriggerWords, TARVO_COLUMN(Type), 5, false)));
        v.push_back(single(integer("trigger_number", TARVO_COLUMN(Opto))));
        v.push_back(table("trigger_crosspoint",
                          {word("on", kCrosspointChangeWords, TARVO_COLUMN(tControl), 4),
                           integer("source", TARVO_COLUMN(TriggerSource)),
                           integer("output", TARVO_COLUMN(TriggerDest))}));
        v.push_back(single(integer("priority", TARVO_COLUMN(Priority))));
        v.push_back(single(integer("delay", TARVO_COLUMN(Delay))));
        v.push_back(table("condition", conditionFields(false)));
        v.push_back(table("condition2", conditionFields(true)));
        v.push_back(table("take", {word("mode", kTakeWords, TARVO_COLUMN(xcontrol), 6),
                                   integer("source", TARVO_COLUMN(SourceChan)),
                                   integer("output", TARVO_COLUMN(DestChan))}));
        v.push_back(single(integer("option", TARVO_COLUMN(Option))));
        v.push_back(table("salvo", {word("mode", kSalvoWords, TARVO_COLUMN(scontrol), 1),
                                    integer("number", TARVO_COLUMN(Salvo))}));
        v.push_back(table("relay", {word("mode", kRelayWords, TARVO_COLUMN(rcontrol), 3),
                                    integer("relay", TARVO_COLUMN(Relay))}));
        v.push_back(table("opto", {word("mode", kOptoWords, TARVO_COLUMN(ocontrol), 2),
                                   integer("opto", TARVO_COLUMN(OptoOut))}));
        v.push_back(table("source_select", {word("mode", kSelectWords, TARVO_COLUMN(sscontrol), 1),
                                            integer("source", TARVO_COLUMN(ssSource)),
                                            integer("device", TARVO_COLUMN(ssDeviceID))}));
        v.push_back(table("gain", {word("mode", kGainWords, TARVO_COLUMN(vcontrol), 3),
                                   integer("channel", TARVO_COLUMN(VChan)),
                                   integer("level", TARVO_COLUMN(Gain), kI16Min, 2047, 1024)}));
        v.push_back(table("relay_opto", {word("mode", kAssociateWords, TARVO_COLUMN(rccontrol), 1),
                                         integer("relay", TARVO_COLUMN(rcRelay)),
                                         integer("opto", TARVO_COLUMN(rcOpto))}));
        const FieldRule com = make("com", Kind::Com, 1, 256, 1);
        const FieldRule baud = make("baud", Kind::Baud);
        const FieldRule baudChoice = make("baud_choice", Kind::BaudChoice, kI32Min, kI32Max);
        v.push_back(table("message",
                          {word("content", kContentWords, TARVO_COLUMN(mcontrol), 4),
                           word("via", kViaWords, TARVO_COLUMN(mtype), 4),
                           text("text", &AutomationEvent::Message, QStringLiteral(" ")),
                           text("address", &AutomationEvent::MIPAddress, QStringLiteral("0.0.0.0")),
                           integer("port", TARVO_COLUMN(MIPPort), kI32Min, kI32Max), com, baud,
                           baudChoice, u8("frame", TARVO_COLUMN(MFrame)),
                           u8("slot", TARVO_COLUMN(MSlot)), u8("switcher_port", TARVO_COLUMN(MPort)),
                           text("method", &AutomationEvent::Method, QStringLiteral(" "))}));
        v.push_back(table("upload", {word("kind", kUploadWords, TARVO_COLUMN(FileType), 12),
                                     text("file", &AutomationEvent::FileName, QStringLiteral(" ")),
                                     integer("channel", TARVO_COLUMN(FileChannel1)),
                                     integer("template", TARVO_COLUMN(Template), kI16Min, 128),
                                     u8("frame", TARVO_COLUMN(FFrame)), u8("slot", TARVO_COLUMN(FSlot))}));
        v.push_back(table("kept", {keptText("Days", &KeptTexts::Days),
                                   integer("Color", TARVO_COLUMN(Color), kI32Min, kI32Max, 16777215),
                                   integer("OptoCondition", TARVO_COLUMN(OptoCondition), kI16Min, 2),
                                   integer("RelayCondition", TARVO_COLUMN(RelayCondition), kI16Min, 2),
                                   integer("OptoCondition2", TARVO_COLUMN(OptoCondition2), kI16Min, 2),
                                   integer("RelayCondition2", TARVO_COLUMN(RelayCondition2), kI16Min, 2),
                                   keptText("Future1", &KeptTexts::Future1),
                                   keptText("Future2", &KeptTexts::Future2),
                                   keptText("Future3", &KeptTexts::Future3),
                                   keptText("Future4", &KeptTexts::Future4),
                                   keptText("Future5", &KeptTexts::Future5)}));
        return v;
    }();
    return kEntries;
}

#undef TARVO_COLUMN

bool isDefault(const FieldRule& s, const AutomationEvent& ev) {
    switch (s.kind) {
        case Kind::Integer:
        case Kind::Word:
            return s.get(ev) == s.def;
        case Kind::Text:
        case Kind::Time:
            return (ev.*s.text).view() == QStringView(s.defText);
        case Kind::Com:
            return ev.MCommPort == 0;
        case Kind::Baud:
            return ev.MBaudRate < 1 || ev.MBaudRate >= kBaudChoices;
        case Kind::BaudChoice:
            return ev.MBaudRate >= 0 && ev.MBaudRate < kBaudChoices;
        case Kind::Kept:
            return (SplitKept(ev.Kept).*s.kept).isEmpty();
    }
    return true;
}

QJsonValue valueOf(const FieldRule& s, const AutomationEvent& ev) {
    switch (s.kind) {
        case Kind::Integer:
            return QJsonValue(static_cast<qint64>(s.get(ev)));
        case Kind::Word: {
            const int64_t v = s.get(ev);
            for (const auto& [value, name] : *s.words)
                if (value == v) return QJsonValue(QLatin1String(name));
            return QJsonValue(static_cast<qint64>(v));
        }
        case Kind::Text:
        case Kind::Time:
            return QJsonValue((ev.*s.text).toString());
        case Kind::Com:
            return QJsonValue(ev.MCommPort + 1);
        case Kind::Baud:
            return QJsonValue(kBaudSpeeds[ev.MBaudRate]);
        case Kind::BaudChoice:
            return QJsonValue(static_cast<qint64>(ev.MBaudRate));
        case Kind::Kept:
            return QJsonValue(SplitKept(ev.Kept).*s.kept);
    }
    return {};
}

void setDefault(const FieldRule& s, AutomationEvent& ev) {
    switch (s.kind) {
        case Kind::Integer:
        case Kind::Word:
            s.set(ev, s.def);
            break;
        case Kind::Text:
        case Kind::Time:
            ev.*s.text = s.defText;
            break;
        case Kind::Com:
            ev.MCommPort = 0;
            break;
        case Kind::Baud:
        case Kind::BaudChoice:
            ev.MBaudRate = 0;
            break;
        case Kind::Kept:
            break;
    }
}

QString kindOf(const QJsonValue& v) {
    switch (v.type()) {
        case QJsonValue::String:
            return QStringLiteral("a string");
        case QJsonValue::Double:
            return QStringLiteral("a number");
        case QJsonValue::Bool:
            return QStringLiteral("true or false");
        case QJsonValue::Array:
            return QStringLiteral("a list");
        case QJsonValue::Object: {
            const QJsonObject o = v.toObject();
            if (o.size() == 1 && o.contains(kForeignType)) return o.value(kForeignType).toString();
            return QStringLiteral("a table");
        }
        case QJsonValue::Null:
            return QStringLiteral("null");
        case QJsonValue::Undefined:
            break;
    }
    return QStringLiteral("nothing");
}

QString wordList(const Words& words) {
    QStringList names;
    for (const auto& w : words) names << QLatin1Char('"') + QLatin1String(w.second) + QLatin1Char('"');
    return names.join(QStringLiteral(", "));
}

bool isTime(const QString& t) {
    static const QRegularExpression kTime(QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]$"));
    return t == kNotOnTheClock || kTime.match(t).hasMatch();
}

class FormReader {
  public:
    explicit FormReader(std::vector<FieldProblem>& problems) : problems_(problems) {}

    void mistake(const QString& field, const QString& text) { problems_.push_back({field, text}); ++count_; }
    int count() const { return count_; }

    // A whole number in [min, max].
    std::optional<int64_t> whole(const QString& path, const QJsonValue& v, int64_t min, int64_t max) {
        if (!v.isDouble()) {
            mistake(path, QStringLiteral("must be a whole number, not %1").arg(kindOf(v)));
            return std::nullopt;
        }
        const double d = v.toDouble();
        if (d != std::floor(d)) {
            mistake(path, QStringLiteral("must be a whole number, not %1").arg(d));
            return std::nullopt;
        }
        if (d < static_cast<double>(min) || d > static_cast<double>(max)) {
            mistake(path, QStringLiteral("%1 is outside %2 to %3")
                              .arg(QString::number(d, 'f', 0))
                              .arg(min)
                              .arg(max));
            return std::nullopt;
        }
        return static_cast<int64_t>(d);
    }

    std::optional<QString> string(const QString& path, const QJsonValue& v) {
        if (v.isString()) return v.toString();
        mistake(path, QStringLiteral("must be a string, not %1").arg(kindOf(v)));
        return std::nullopt;
    }

    void read(const FieldRule& s, const QString& path, const QJsonValue& v, AutomationEvent& ev) {
        switch (s.kind) {
            case Kind::Integer:
                if (const auto n = whole(path, v, s.min, s.max)) s.set(ev, *n);
                return;
            case Kind::Word:
                if (v.isString()) {
                    for (const auto& [value, name] : *s.words)
                        if (v.toString() == QLatin1String(name)) return s.set(ev, value);
                    mistake(path, QStringLiteral("\"%1\" is none of %2").arg(v.toString(), wordList(*s.words)));
                    return;
                }
                if (!v.isDouble()) {
                    mistake(path, QStringLiteral("must be one of %1, not %2").arg(wordList(*s.words), kindOf(v)));
                    return;
                }
                if (const auto n = whole(path, v, s.min, s.max)) s.set(ev, *n);
                return;
            case Kind::Text:
                if (const auto t = string(path, v)) ev.*s.text = *t;
                return;
            case Kind::Time:
                if (const auto t = string(path, v)) {
                    if (isTime(*t))
                        ev.*s.text = *t;
                    else
                        mistake(path, QStringLiteral("\"%1\" is no time HH:MM:SS from 00:00:00 to 23:59:59 "
                                                     "(nor 24:00:00, not on the clock)")
                                          .arg(*t));
                }
                return;
            case Kind::Com:
                if (const auto n = whole(path, v, 1, 256)) ev.MCommPort = static_cast<uint8_t>(*n - 1);
                return;
            case Kind::Baud:
                if (const auto n = whole(path, v, 0, kI32Max)) {
                    for (int i = 0; i < kBaudChoices; ++i)
                        if (kBaudSpeeds[i] == *n) return void(ev.MBaudRate = i);
                    QStringList speeds;
                    for (int speed : kBaudSpeeds) speeds << QString::number(speed);
                    mistake(path, QStringLiteral("%1 is none of the speeds %2").arg(*n).arg(speeds.join(QStringLiteral(", "))));
                }
                return;
            case Kind::BaudChoice:
                if (const auto n = whole(path, v, s.min, s.max)) {
                    if (*n >= 0 && *n < kBaudChoices)
                        mistake(path, QStringLiteral("choice %1 is a speed: write baud = %2")
                                          .arg(*n)
                                          .arg(kBaudSpeeds[*n]));
                    else
                        ev.MBaudRate = static_cast<int32_t>(*n);
                }
                return;
            case Kind::Kept:
                if (const auto t = string(path, v)) {
                    if (t->contains(QChar(0x1f))) {
                        mistake(path, QStringLiteral("holds the character U+001F, which the kept texts cannot hold"));
                        return;
                    }
                    KeptTexts kept = SplitKept(ev.Kept);
                    kept.*s.kept = *t;
                    ev.Kept = JoinKept(kept);
                }
                return;
        }
    }

  private:
    std::vector<FieldProblem>& problems_;
    int count_ = 0;
};

}  // namespace

OrderedFields OrderedForm(const AutomationEvent& row) {
    OrderedFields out;
    for (const Entry& e : entries()) {
        if (!e.table) {
            const FieldRule& s = e.fields.front();
            if (e.always || !isDefault(s, row)) out.emplace_back(QLatin1String(e.key), valueOf(s, row));
            continue;
        }
        bool written = false;
        for (const FieldRule& s : e.fields) written = written || !isDefault(s, row);
        if (!written) continue;
        QJsonObject t;
        for (const FieldRule& s : e.fields)
            if (s.selector || !isDefault(s, row)) t.insert(QLatin1String(s.key), valueOf(s, row));
        out.emplace_back(QLatin1String(e.key), t);
    }
    return out;
}

QJsonObject FormOf(const AutomationEvent& row) {
    QJsonObject form;
    for (const auto& [key, value] : OrderedForm(row)) form.insert(key, value);
    return form;
}

const QStringList& FormTableKeys(const QString& tableKey) {
    static const QHash<QString, QStringList> kKeys = [] {
        QHash<QString, QStringList> keys;
        QStringList top;
        for (const Entry& e : entries()) {
            top << QLatin1String(e.key);
            if (!e.table) continue;
            QStringList inner;
            for (const FieldRule& s : e.fields) inner << QLatin1String(s.key);
            keys.insert(QLatin1String(e.key), inner);
        }
        keys.insert(QString(), top);
        return keys;
    }();
    static const QStringList kNone;
    const auto it = kKeys.find(tableKey);
    return it == kKeys.end() ? kNone : *it;
}

std::optional<AutomationEvent> RowFromForm(const QJsonObject& form, std::vector<FieldProblem>& problems) {
    FormReader r(problems);
    AutomationEvent ev;
    for (const Entry& e : entries())
        for (const FieldRule& s : e.fields) setDefault(s, ev);
    const QStringList& known = FormTableKeys();
    for (auto it = form.begin(); it != form.end(); ++it)
        if (!known.contains(it.key())) r.mistake(it.key(), QStringLiteral("is no key of an event"));

    for (const Entry& e : entries()) {
        const QString key = QLatin1String(e.key);
        const QJsonValue v = form.value(key);
        if (v.isUndefined()) {
            if (e.required) r.mistake(key, QStringLiteral("must be given"));
            continue;
        }
        if (!e.table) {
            r.read(e.fields.front(), key, v, ev);
            continue;
        }
        if (!v.isObject() || kindOf(v) != QLatin1String("a table")) {
            r.mistake(key, QStringLiteral("must be a table of %1, not %2")
                               .arg(FormTableKeys(key).join(QStringLiteral(", ")), kindOf(v)));
            continue;
        }
        const QJsonObject t = v.toObject();
        const QStringList& inner = FormTableKeys(key);
        for (auto it = t.begin(); it != t.end(); ++it)
            if (!inner.contains(it.key()))
                r.mistake(key + QLatin1Char('.') + it.key(),
                          QStringLiteral("is no key of %1 (%2)").arg(key, inner.join(QStringLiteral(", "))));
        for (const FieldRule& s : e.fields) {
            const QString path = key + QLatin1Char('.') + QLatin1String(s.key);
            const QJsonValue fv = t.value(QLatin1String(s.key));
            if (fv.isUndefined()) {
                if (s.selector) r.mistake(path, QStringLiteral("must be given: one of %1").arg(wordList(*s.words)));
                continue;
            }
            r.read(s, path, fv, ev);
        }
        if (key == QLatin1String("message") && t.contains(QStringLiteral("baud")) &&
            t.contains(QStringLiteral("baud_choice")))
            r.mistake(QStringLiteral("message.baud_choice"), QStringLiteral("is given with baud: give one of them"));
    }
    if (r.count() > 0) return std::nullopt;
    ev.DayName = DayNameOf(ev.Day);
    return ev;
}

namespace {

// The words of a number's problem ("source 0 is outside 1 to 16384") name the form's key.
QString keyOfNumber(const QString& why) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"source ", "source"}, {"output ", "output"},    {"relay ", "relay"},   {"opto output ", "opto"},
        {"opto ", "opto"},     {"salvo ", "number"},     {"channel ", "channel"}, {"gain ", "level"},
        {"device ID ", "device"}};
    for (const auto& [words, key] : kNames)
        if (why.startsWith(QLatin1String(words))) return QLatin1String(key);
    return QString();
}

// Where a message's failure lies (the texts of the message senders' own refusals).
QString messageField(const QString& failure) {
    static const std::pair<const char*, const char*> kPlaces[] = {
        {"Invalid peer address", "message.address"},
        {"Invalid peer port", "message.port"},
        {"Invalid serial port settings", "message.baud"},
        {"Invalid serial port", "message.com"},
        {"Messages through the switcher", "message.via"},
        {"Unknown message transport", "message.via"},
        {"Message kind", "message.content"},
        {"File not found", "message.text"},
        {"Not a file", "message.text"},
        {"Unable to open", "message.text"},
        {"Unable to read", "message.text"},
        {"Message file of", "message.text"},
        {"Message of", "message.text"}};
    for (const auto& [prefix, field] : kPlaces)
        if (failure.startsWith(QLatin1String(prefix))) return QLatin1String(field);
    return QStringLiteral("message");
}

QString outsideTheSwitcher(const char* what, int n) {
    return QStringLiteral("%1 %2 is outside 1 to %3").arg(QLatin1String(what)).arg(n).arg(kMaxSwitcherNumber);
}

// The refusal the check gives a condition on a number the switcher cannot have, and the key of
// that number; empty when the condition has none.
std::pair<QString, QString> conditionRefusal(int selector, int source, int dest, int relay, int opto) {
    const auto bad = [](int n) { return n < 1 || n > kMaxSwitcherNumber; };
    QString why, key;
    if ((selector == 1 || selector == 2) && bad(source))
        why = outsideTheSwitcher("source", source), key = QStringLiteral("source");
    else if ((selector == 1 || selector == 2) && bad(dest))
        why = outsideTheSwitcher("output", dest), key = QStringLiteral("output");
    else if ((selector == 3 || selector == 4) && bad(relay))
        why = outsideTheSwitcher("relay", relay), key = QStringLiteral("relay");
    else if ((selector == 5 || selector == 6) && bad(opto))
        why = outsideTheSwitcher("opto", opto), key = QStringLiteral("opto");
    if (why.isEmpty()) return {};
    return {ConditionRefusal(selector) + QStringLiteral(" (every time: ") + why + QLatin1Char(')'), key};
}

const char* actionKey(ActionKind action) {
    switch (action) {
        case ActionKind::Crosspoint:
            return "take";
        case ActionKind::Salvo:
            return "salvo";
        case ActionKind::Relay:
            return "relay";
        case ActionKind::Opto:
            return "opto";
        case ActionKind::SourceSelect:
            return "source_select";
        case ActionKind::Gain:
            return "gain";
        case ActionKind::RelayAssociation:
            return "relay_opto";
        case ActionKind::Message:
            return "message";
        case ActionKind::SystemChange:
            return "upload";
    }
    return "";
}

// The field of an action refused for its operands.
QString operandField(const AutomationEvent& ev, ActionKind action, const ActionRefusal& r) {
    const QString table = QLatin1String(actionKey(action));
    const auto in = [&](const char* key) { return table + QLatin1Char('.') + QLatin1String(key); };
    if (r.why.contains(QLatin1String(" names no "))) return in("mode");
    if (!r.why.isEmpty()) {
        QString key = keyOfNumber(r.why);
        // A pan names its device in the channel's column.
        if (action == ActionKind::Gain && key == QLatin1String("device")) key = QStringLiteral("channel");
        return key.isEmpty() ? table : table + QLatin1Char('.') + key;
    }
    // An operand that is not given.
    switch (action) {
        case ActionKind::Crosspoint:
            return in(ev.SourceChan == 0 ? "source" : "output");
        case ActionKind::Salvo:
            return in("number");
        case ActionKind::Relay:
            return in("relay");
        case ActionKind::Opto:
            return in("opto");
        case ActionKind::SourceSelect:
            return in(r.refusal == kInvalidSource ? "source" : "device");
        case ActionKind::Gain:
            return in("channel");
        case ActionKind::RelayAssociation:
            return in(r.refusal == kInvalidRelay ? "relay" : "opto");
        case ActionKind::Message:
        case ActionKind::SystemChange:
            break;
    }
    return table;
}

}  // namespace

QString ProblemField(const AutomationEvent& ev, const QString& text) {
    const QString title = ev.Title.toString();
    if (!text.startsWith(title)) return QString();
    const QString rest = text.mid(title.size());

    const QString never = QStringLiteral(": never runs - ");
    if (rest.startsWith(never)) {
        const QString why = rest.mid(never.size());
        static const std::pair<const char*, const char*> kCauses[] = {
            {"Number ", "number"},         {"Day ", "day"},
            {"Type ", "trigger"},          {"Time ", "time"},
            {"Active ", "state"},          {"opto ", "trigger_number"},
            {"relay ", "trigger_number"},  {"tControl ", "trigger_crosspoint.on"},
            {"source ", "trigger_crosspoint.source"}, {"output ", "trigger_crosspoint.output"}};
        for (const auto& [prefix, field] : kCauses)
            if (why.startsWith(QLatin1String(prefix))) return QLatin1String(field);
        return QString();
    }
    const QString messageNeverSent = QStringLiteral(": message never sent - ");
    if (rest.startsWith(messageNeverSent)) return messageField(rest.mid(messageNeverSent.size()));
    if (rest.startsWith(QStringLiteral(": message sent only where COM"))) return QStringLiteral("message.com");
    if (rest.startsWith(QStringLiteral(": Number "))) return QStringLiteral("number");
    if (rest.contains(QLatin1String(" trigger one another without end")))
        return QStringLiteral("trigger_crosspoint");
    if (!rest.startsWith(kNotExecuted)) return QString();

    const QString reason = rest.mid(kNotExecuted.size());
    const QString unableToSend = kUnableToSend + QStringLiteral(" (");
    if (reason.startsWith(unableToSend) && ev.mcontrol != 0)
        return messageField(reason.mid(unableToSend.size()));
    const QString invalidFile = kInvalidFile + QStringLiteral(" (");
    if (reason.startsWith(invalidFile) && ev.FileType != 0)
        return reason.mid(invalidFile.size()).startsWith(QLatin1String("FileType "))
                   ? QStringLiteral("upload.kind")
                   : QStringLiteral("upload.file");
    for (ActionKind action : kActionOrder) {
        if (!HasAction(ev, action)) continue;
        const ActionRefusal r = CheckOperands(ev, action);
        if (r.refusal.isEmpty()) continue;
        const QString said = kNotExecuted + r.refusal +
                             (r.why.isEmpty() ? QString() : QStringLiteral(" (") + r.why + QLatin1Char(')'));
        if (rest == said) return operandField(ev, action, r);
    }
    const auto first = conditionRefusal(ev.Condition, ev.ReqSource, ev.ReqDest, ev.ReqRelay, ev.ReqOpto);
    if (!first.first.isEmpty() && rest == first.first) return QStringLiteral("condition.") + first.second;
    const auto second = conditionRefusal(ev.Condition2, ev.ReqSource2, ev.ReqDest2, ev.ReqRelay2, ev.ReqOpto2);
    if (!second.first.isEmpty() && rest == second.first) return QStringLiteral("condition2.") + second.second;
    return QString();
}

std::vector<FieldProblem> CheckRowInTable(const AutomationEvent& row,
                                          const std::vector<AutomationEvent>& table,
                                          const QString& appFolder) {
    std::vector<AutomationEvent> rows;
    rows.reserve(table.size() + 1);
    bool placed = false;
    for (const AutomationEvent& other : table) {
        if (other.Number == row.Number) continue;
        if (!placed && other.Number > row.Number) {
            rows.push_back(row);
            placed = true;
        }
        rows.push_back(other);
    }
    if (!placed) rows.push_back(row);
    std::vector<FieldProblem> out;
    for (const RowProblem& p : CheckSchedule(rows, appFolder))
        if (p.number == row.Number) out.push_back({ProblemField(row, p.text), p.text, p.warning});
    return out;
}

}  // namespace tarvo
