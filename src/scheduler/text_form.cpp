#include "scheduler/text_form.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <string>

#include <QJsonArray>
#include <QJsonObject>

#include <toml++/toml.h>

#include "scheduler/event_form.h"

namespace tarvo {

namespace {

const char kHeader[] =
    "# Tarvo Automation events: one [[event]] table for each row of the Automation table, in\n"
    "# Number order. A key that is left out has its default, the value an empty column reads as.\n"
    "# The keys and their words: docs/editing.md. Load it with tarvo-engined --import FILE FOLDER.\n";

// A value as TOML writes it: strings in double quotes on one line, with escapes only where
// TOML needs them (other characters stay as they are, so a title reads as typed).
std::string tomlValue(const QJsonValue& v) {
    std::ostringstream out;
    if (v.isString()) {
        const toml::value<std::string> s(v.toString().toStdString());
        out << toml::toml_formatter{s, toml::format_flags::allow_unicode_strings};
    } else {
        out << toml::value<int64_t>(v.toInteger());
    }
    return out.str();
}

std::string tomlText(const QString& key, const QJsonValue& value) {
    if (!value.isObject()) return tomlValue(value);
    const QJsonObject t = value.toObject();
    std::string inner;
    for (const QString& k : FormTableKeys(key)) {
        if (!t.contains(k)) continue;
        if (!inner.empty()) inner += ", ";
        inner += k.toStdString() + " = " + tomlValue(t.value(k));
    }
    return "{ " + inner + " }";
}

int lineOf(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

QJsonValue foreign(const char* kind) { return QJsonObject{{kForeignType, QLatin1String(kind)}}; }

QJsonValue jsonOf(const toml::node& n) {
    switch (n.type()) {
        case toml::node_type::string:
            return QString::fromStdString(*n.value<std::string>());
        case toml::node_type::integer:
            return QJsonValue(static_cast<qint64>(*n.value<int64_t>()));
        case toml::node_type::boolean:
            return QJsonValue(*n.value<bool>());
        case toml::node_type::floating_point:
            return foreign("a number with a fraction");
        case toml::node_type::date:
        case toml::node_type::time:
        case toml::node_type::date_time:
            return foreign("a date or time (a time is written in quotes, \"09:00:00\")");
        case toml::node_type::array: {
            QJsonArray a;
            for (const toml::node& e : *n.as_array()) a.append(jsonOf(e));
            return a;
        }
        case toml::node_type::table: {
            QJsonObject o;
            for (const auto& [k, v] : *n.as_table()) o.insert(QString::fromStdString(std::string(k.str())), jsonOf(v));
            return o;
        }
        case toml::node_type::none:
            break;
    }
    return {};
}

// The line of the field at `path` in `event`: its key's, or that of the nearest table that holds
// where it would be (the event's own [[event]] line for a key left out).
int lineOfField(const toml::table& event, const QString& path) {
    int line = lineOf(event);
    const toml::node* at = &event;
    for (const QString& part : path.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        const toml::table* t = at->as_table();
        if (!t) break;
        const toml::node* next = t->get(part.toStdString());
        if (!next) break;
        at = next;
        line = lineOf(*next);
    }
    return line;
}

}  // namespace

QString FormValueText(const QString& key, const QJsonValue& value) {
    return QString::fromStdString(tomlText(key, value));
}

QString ExportText(const std::vector<AutomationEvent>& rows) {
    std::vector<const AutomationEvent*> ordered;
    ordered.reserve(rows.size());
    for (const AutomationEvent& r : rows) ordered.push_back(&r);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const AutomationEvent* a, const AutomationEvent* b) { return a->Number < b->Number; });
    std::string out = kHeader;
    for (const AutomationEvent* row : ordered) {
        out += "\n[[event]]\n";
        for (const auto& [key, value] : OrderedForm(*row))
            out += key.toStdString() + " = " + tomlText(key, value) + '\n';
    }
    return QString::fromStdString(out);
}

ImportRead ReadText(const QString& text) {
    ImportRead result;
    const std::string utf8 = text.toStdString();
    toml::table root;
    try {
        root = toml::parse(utf8);
    } catch (const toml::parse_error& e) {
        result.mistakes.push_back(
            {static_cast<int>(e.source().begin.line), QString(), QString::fromStdString(std::string(e.description()))});
        return result;
    }
    auto& mistakes = result.mistakes;
    for (const auto& [key, value] : root)
        if (key.str() != "event")
            mistakes.push_back({lineOf(value), QString::fromStdString(std::string(key.str())),
                                QStringLiteral("is no part of the text form: each event is an [[event]] table")});
    const toml::node* events = root.get("event");
    if (events && !events->is_array_of_tables()) {
        mistakes.push_back({lineOf(*events), QStringLiteral("event"),
                            QStringLiteral("must be written [[event]], one for each event")});
        events = nullptr;
    }
    std::map<int, int> numberLines;  // the line of each Number read so far
    if (events) {
        for (const toml::node& e : *events->as_array()) {
            const toml::table& event = *e.as_table();
            std::vector<FieldProblem> problems;
            const std::optional<AutomationEvent> row = RowFromForm(jsonOf(event).toObject(), problems);
            bool numberRead = true;
            for (const FieldProblem& p : problems) {
                mistakes.push_back({lineOfField(event, p.field), p.field, p.text});
                numberRead = numberRead && p.field != QLatin1String("number");
            }
            // A Number is doubled also when the events have other mistakes.
            // Asked of an integer only: toml++ turns a float into an integer unchecked.
            if (const toml::value<int64_t>* n = event["number"].as_integer(); n && numberRead) {
                const int64_t number = n->get();
                const int line = lineOfField(event, QStringLiteral("number"));
                const auto [first, isNew] = numberLines.emplace(static_cast<int>(number), line);
                if (!isNew)
                    mistakes.push_back({line, QStringLiteral("number"),
                                        QStringLiteral("Number %1 is also the Number of the event at line %2")
                                            .arg(number)
                                            .arg(first->second)});
            }
            if (row) result.rows.push_back(*row);
        }
    }
    if (!mistakes.empty()) {
        result.rows.clear();
        std::stable_sort(mistakes.begin(), mistakes.end(),
                         [](const TextMistake& a, const TextMistake& b) { return a.line < b.line; });
        return result;
    }
    std::stable_sort(result.rows.begin(), result.rows.end(),
                     [](const AutomationEvent& a, const AutomationEvent& b) { return a.Number < b.Number; });
    return result;
}

}  // namespace tarvo
