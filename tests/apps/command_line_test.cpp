// The programs' command lines: how arguments are read from an option table, and that what the
// README and the manual pages say of each program is what its table says.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include "command_line.h"
#include "programs.h"
#include "support/test_support.h"

namespace tarvo::cli {
namespace {

const Program& sample() {
    static const Program p{
        QStringLiteral("sample"),
        QStringLiteral("A program to read arguments for."),
        {QStringLiteral("FOLDER")},
        {
            {QStringLiteral("port"), QStringLiteral("N"), QStringLiteral("a port")},
            {QStringLiteral("screenshot"), QStringLiteral("FILE SECONDS"),
             QStringLiteral("two values")},
            {QStringLiteral("quiet"), QString(), QStringLiteral("a switch")},
            {QStringLiteral("days"), QStringLiteral("[N]"),
             QStringLiteral("a number that may be left out")},
        },
        {QStringLiteral("A paragraph.")},
        {{QStringLiteral("FOLDER/file"), QStringLiteral("a file")}},
    };
    return p;
}

TEST(CommandLine, ArgumentsAreReadByTheTable) {
    using Values = QMap<QString, QStringList>;
    const struct {
        QStringList args;
        int exitCode;  // -1: the program runs
        QString says;  // part of what it writes when it leaves
        Values values;
        QStringList operands;
    } cases[] = {
        {{}, -1, {}, {}, {}},
        {{"studio1"}, -1, {}, {}, {"studio1"}},
        {{"--port", "5"}, -1, {}, {{"port", {"5"}}}, {}},
        {{"--port=5", "studio1"}, -1, {}, {{"port", {"5"}}}, {"studio1"}},
        {{"--screenshot", "a.png", "3", "studio1"},
         -1,
         {},
         {{"screenshot", {"a.png", "3"}}},
         {"studio1"}},
        {{"--quiet", "--port", "7", "--port", "8"}, -1, {}, {{"quiet", {}}, {"port", {"8"}}}, {}},
        {{"--", "--odd-folder"}, -1, {}, {}, {"--odd-folder"}},
        // A value that may be left out is the next argument only when that is a number.
        {{"--days"}, -1, {}, {{"days", {}}}, {}},
        {{"--days", "3", "studio1"}, -1, {}, {{"days", {"3"}}}, {"studio1"}},
        {{"--days", "studio1"}, -1, {}, {{"days", {}}}, {"studio1"}},
        {{"--days", "--quiet"}, -1, {}, {{"days", {}}, {"quiet", {}}}, {}},
        {{"--days=4"}, -1, {}, {{"days", {"4"}}}, {}},
        {{"--days", "3", "4"}, -1, {}, {{"days", {"3"}}}, {"4"}},
        {{"--help"},
         0,
         "Usage: sample [--port N] [--screenshot FILE SECONDS] [--quiet] [--days [N]]",
         {},
         {}},
        {{"--bogus", "--help"},
         2,
         "sample: unknown option '--bogus'\nTry 'sample --help'.",
         {},
         {}},
        {{"--version"}, 0, "Tarvo Automation Engine\nVersion 02.00.0011 - 06/04/2015\n", {}, {}},
        {{"-x"}, 2, "unknown option '-x'", {}, {}},
        {{"--port"}, 2, "--port needs N", {}, {}},
        {{"--screenshot", "a.png"}, 2, "--screenshot needs FILE SECONDS", {}, {}},
        {{"--screenshot=a.png"}, 2, "cannot be given as --screenshot=VALUE", {}, {}},
        {{"--quiet=1"}, 2, "cannot be given as --quiet=VALUE", {}, {}},
        {{"--help=x"}, 2, "--help takes no value", {}, {}},
        {{"one", "two"}, 2, "unexpected argument 'two'", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Parsed p = Parse(sample(), c.args);
        if (c.exitCode < 0) {
            EXPECT_TRUE(p.run);
            EXPECT_EQ(p.args.values, c.values);
            EXPECT_EQ(p.args.operands, c.operands);
            continue;
        }
        EXPECT_FALSE(p.run);
        EXPECT_EQ(p.exitCode, c.exitCode);
        // What leaves with 0 goes to standard output; an error only to standard error.
        const QString said = c.exitCode == 0 ? p.out : p.err;
        EXPECT_TRUE(said.contains(c.says)) << said.toStdString();
        EXPECT_TRUE((c.exitCode == 0 ? p.err : p.out).isEmpty());
    }
}

TEST(CommandLine, HelpNamesEveryOptionAndFileWithinTheWidthOfATerminal) {
    for (const Program* p : {&EngineProgram(), &EnginedProgram(), &SimulatorProgram(), &sample()}) {
        SCOPED_TRACE(p->name.toStdString());
        const QString help = HelpText(*p);
        for (const Option& o : p->options)
            EXPECT_TRUE(help.contains("\n  --" + o.name)) << o.name.toStdString();
        for (const FileEntry& f : p->files)
            EXPECT_TRUE(help.contains("  " + f.path)) << f.path.toStdString();
        for (const QString& line : help.split('\n'))
            EXPECT_LE(line.size(), 79) << line.toStdString();
        // The synopsis, however it was wrapped, is all there.
        EXPECT_TRUE(help.simplified().contains("Usage: " + Synopsis(*p))) << help.toStdString();
    }
}

QString sourceFile(const QString& name) {
    QFile f(QStringLiteral(TARVO_SOURCE_DIR "/") + name);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

// The README and every manual page give the synopsis each program's --help gives, and the
// manual page describes every option and no other.
TEST(CommandLine, TheReadmeAndTheManualPagesSayWhatTheOptionTablesSay) {
    const QString readme = sourceFile(QStringLiteral("README.md")).simplified();
    for (const Program* p : {&EngineProgram(), &EnginedProgram(), &SimulatorProgram()}) {
        SCOPED_TRACE(p->name.toStdString());
        EXPECT_TRUE(readme.contains(Synopsis(*p))) << Synopsis(*p).toStdString();

        const QString page = sourceFile(QStringLiteral("docs/man/%1.1").arg(p->name));
        ASSERT_FALSE(page.isEmpty());
        // roff writes a hyphen that is meant as one as "\-".
        const QString plain = QString(page).replace(QStringLiteral("\\-"), QStringLiteral("-"));
        QStringList described;
        static const QRegularExpression item(QStringLiteral(R"(^\.TP\n\.BI? (--[a-z-]+))"),
                                             QRegularExpression::MultilineOption);
        for (auto m = item.globalMatch(plain); m.hasNext();) described << m.next().captured(1);
        QStringList options;
        for (const Option& o : p->options) options << "--" + o.name;
        options << QStringLiteral("--help") << QStringLiteral("--version");
        EXPECT_EQ(described, options);
    }
}

}  // namespace
}  // namespace tarvo::cli
