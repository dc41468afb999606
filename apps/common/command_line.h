// The command line of each program, read from one table of its options: the same table parses
// the arguments and writes the synopsis and the --help text, so the two cannot disagree. Every
// program answers --help and --version and exits 0; an unknown option, a missing value or one
// operand too many is an error with exit status 2.
//
// A value in brackets ("[DAYS]") may be left out. It is a number: the next argument is taken as
// the value when it is one (and is an operand otherwise), or it is given as --name=VALUE.
#pragma once

#include <vector>

#include <QMap>
#include <QString>
#include <QStringList>

namespace tarvo::cli {

constexpr int kExitUsage = 2;

struct Option {
    QString name;   // without the leading "--"
    // The names of its values, e.g. "N" or "FILE SECONDS", or "[N]" for one that may be left out;
    // empty for a switch.
    QString value;
    QString help;
};

struct FileEntry {
    QString path;
    QString meaning;
};

struct Program {
    QString name;
    QString summary;              // one line: what the program is
    QStringList operands;         // each optional, e.g. {"FOLDER"}
    std::vector<Option> options;  // --help and --version are every program's and not listed
    QStringList description;      // paragraphs after the options
    std::vector<FileEntry> files;
};

// What was given.
struct Arguments {
    QMap<QString, QStringList> values;  // by option name; a switch has an empty list
    QStringList operands;
    bool isSet(const QString& name) const { return values.contains(name); }
    QString value(const QString& name, int index = 0) const {
        return values.value(name).value(index);
    }
};

// The outcome of reading the arguments: run with `args`, or leave at once with `exitCode`
// after writing `out` (to standard output) and `err` (to standard error).
struct Parsed {
    bool run = false;
    int exitCode = 0;
    QString out;
    QString err;
    Arguments args;
};

// `arguments` without the program's own name.
Parsed Parse(const Program& program, const QStringList& arguments);
// Parses the process's arguments; when the program is to leave, writes what it says and
// returns false with `exitCode` set.
bool ParseOrLeave(const Program& program, int argc, char** argv, Arguments& args, int& exitCode);

// "tarvo-engined [--init] [FOLDER]": one line, however long.
QString Synopsis(const Program& program);
QString HelpText(const Program& program);
// The About dialog's version text, one line each.
QString VersionText();

}  // namespace tarvo::cli
