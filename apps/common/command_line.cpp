#include "command_line.h"

#include <algorithm>
#include <cstdio>

#include "logs/logs.h"

namespace tarvo::cli {

namespace {

constexpr int kWidth = 79;

const Option kHelp{QStringLiteral("help"), QString(), QStringLiteral("show this help, then leave")};
const Option kVersion{QStringLiteral("version"), QString(),
                      QStringLiteral("show the version, then leave")};

int valueCount(const Option& o) {
    return o.value.isEmpty() ? 0 : static_cast<int>(o.value.split(QLatin1Char(' ')).size());
}

bool valueOptional(const Option& o) {
    return o.value.startsWith(QLatin1Char('[')) && o.value.endsWith(QLatin1Char(']'));  // "[DAYS]", not "[ADDR:]PORT"
}

bool isNumber(const QString& a) {
    return !a.isEmpty() && std::all_of(a.begin(), a.end(),
                                       [](QChar c) { return c.isDigit() && c.unicode() < 128; });
}

const Option* find(const Program& p, const QString& name) {
    for (const Option& o : p.options)
        if (o.name == name) return &o;
    return nullptr;
}

Parsed usageError(const Program& p, const QString& what) {
    Parsed r;
    r.exitCode = kExitUsage;
    r.err = p.name + QStringLiteral(": ") + what + QStringLiteral("\nTry '") + p.name +
            QStringLiteral(" --help'.\n");
    return r;
}

// `words` in lines no wider than kWidth, every line after the first indented by `indent` (the
// first one continues wherever the caller's text stands, at `first`). A word is never split.
QString wrapWords(const QStringList& words, int first, int indent) {
    QString out;
    int column = first;
    bool lineEmpty = true;
    for (const QString& word : words) {
        if (!lineEmpty && column + 1 + word.size() > kWidth) {
            out += QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            column = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += QLatin1Char(' ');
            ++column;
        }
        out += word;
        column += static_cast<int>(word.size());
        lineEmpty = false;
    }
    return out;
}

QString wrap(const QString& text, int first, int indent) {
    return wrapWords(text.split(QLatin1Char(' '), Qt::SkipEmptyParts), first, indent);
}

QString optionText(const Option& o) {
    return QStringLiteral("--") + o.name +
           (o.value.isEmpty() ? QString() : QLatin1Char(' ') + o.value);
}

// Two columns: the names at the left margin plus two, the meanings from `at` on (or on the next
// line when a name is wider).
QString twoColumns(const std::vector<std::pair<QString, QString>>& rows) {
    constexpr int kMeaningAt = 26;
    QString out;
    for (const auto& [left, right] : rows) {
        QString line = QStringLiteral("  ") + left;
        if (line.size() + 2 > kMeaningAt)
            line += QLatin1Char('\n') + QString(kMeaningAt, QLatin1Char(' '));
        else
            line += QString(kMeaningAt - static_cast<int>(line.size()), QLatin1Char(' '));
        out += line + wrap(right, kMeaningAt, kMeaningAt) + QLatin1Char('\n');
    }
    return out;
}

}  // namespace

Parsed Parse(const Program& program, const QStringList& arguments) {
    Parsed r;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (!optionsEnded && a == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            if (r.args.operands.size() >= program.operands.size())
                return usageError(program, QStringLiteral("unexpected argument '%1'").arg(a));
            r.args.operands << a;
            continue;
        }
        if (!a.startsWith(QLatin1String("--")))
            return usageError(program, QStringLiteral("unknown option '%1'").arg(a));
        QString name = a.mid(2);
        QString inlineValue;
        const bool hasInline = name.contains(QLatin1Char('='));
        if (hasInline) {
            inlineValue = name.section(QLatin1Char('='), 1);
            name = name.section(QLatin1Char('='), 0, 0);
        }
        if (name == kHelp.name || name == kVersion.name) {
            if (hasInline)
                return usageError(program, QStringLiteral("--%1 takes no value").arg(name));
            r.exitCode = 0;
            r.out = name == kHelp.name ? HelpText(program) : VersionText();
            return r;
        }
        const Option* o = find(program, name);
        if (!o) return usageError(program, QStringLiteral("unknown option '--%1'").arg(name));
        const int n = valueCount(*o);
        QStringList values;
        if (hasInline) {
            if (n != 1)
                return usageError(program,
                                  QStringLiteral("--%1 cannot be given as --%1=VALUE").arg(name));
            values << inlineValue;
        } else if (valueOptional(*o)) {
            if (i + 1 < arguments.size() && isNumber(arguments[i + 1])) values << arguments[++i];
        } else {
            if (i + n >= arguments.size())
                return usageError(program, QStringLiteral("--%1 needs %2").arg(name, o->value));
            for (int k = 1; k <= n; ++k) values << arguments[i + k];
            i += n;
        }
        r.args.values.insert(name, values);
    }
    r.run = true;
    return r;
}

bool ParseOrLeave(const Program& program, int argc, char** argv, Arguments& args, int& exitCode) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    Parsed p = Parse(program, arguments);
    if (p.run) {
        args = std::move(p.args);
        return true;
    }
    std::fputs(p.out.toLocal8Bit().constData(), stdout);
    std::fputs(p.err.toLocal8Bit().constData(), stderr);
    exitCode = p.exitCode;
    return false;
}

namespace {

// The program's name, then each option and operand in brackets: the units a synopsis is
// wrapped by, so that no option is parted from its value.
QStringList synopsisItems(const Program& program) {
    QStringList items{program.name};
    for (const Option& o : program.options)
        items << QStringLiteral("[") + optionText(o) + QLatin1Char(']');
    for (const QString& operand : program.operands)
        items << QStringLiteral("[") + operand + QLatin1Char(']');
    return items;
}

}  // namespace

QString Synopsis(const Program& program) {
    return synopsisItems(program).join(QLatin1Char(' '));
}

QString HelpText(const Program& program) {
    const QString usage = QStringLiteral("Usage: ");
    QString out = usage +
                  wrapWords(synopsisItems(program), static_cast<int>(usage.size()),
                            static_cast<int>(usage.size() + program.name.size()) + 1) +
                  QLatin1Char('\n');
    out += QString(usage.size(), QLatin1Char(' ')) + program.name +
           QStringLiteral(" --help | --version\n\n");
    out += wrap(program.summary, 0, 0) + QStringLiteral("\n\nOptions:\n");
    std::vector<std::pair<QString, QString>> rows;
    for (const Option& o : program.options) rows.emplace_back(optionText(o), o.help);
    for (const Option* o : {&kHelp, &kVersion}) rows.emplace_back(optionText(*o), o->help);
    out += twoColumns(rows);
    for (const QString& paragraph : program.description)
        out += QLatin1Char('\n') + wrap(paragraph, 0, 0) + QLatin1Char('\n');
    if (!program.files.empty()) {
        rows.clear();
        for (const FileEntry& f : program.files) rows.emplace_back(f.path, f.meaning);
        out += QStringLiteral("\nFiles:\n") + twoColumns(rows);
    }
    return out;
}

QString VersionText() {
    return kProductName + QLatin1Char('\n') + kVersionText + QLatin1Char('\n');
}

}  // namespace tarvo::cli
