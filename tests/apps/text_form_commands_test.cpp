// tarvo-engined --export and --import: the worked rows as text, and an import that shows its
// change and, with mistakes or --dry-run, leaves the database as it was, byte for byte.
#include <gtest/gtest.h>

#include <QFile>

#include "support/source_docs.h"
#include "support/test_support.h"
#include "store/engine_record.h"
#include "store/event_store.h"
#include "store/schedule_edit.h"
#include "store/sqlite.h"
#include "text_form_commands.h"

namespace tarvo::cli {
namespace {

QByteArray Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QString& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
}

struct WorkedFolder {
    WorkedFolder() {
        folder.createDatabase();
        folder.sql(test::SourceText(QStringLiteral("docs/examples/worked-rows.sql")));
    }
    QString database() const { return folder.file(kDatabaseFileName); }
    test::Folder folder;
};

TEST(TextFormCommands, TheWorkedRowsExportAsTheirDocumentedText) {
    WorkedFolder w;
    const Report r = ExportCommand(w.folder.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, test::SourceText(QStringLiteral("docs/examples/worked-rows.toml")));
    // The editing guide shows the same text.
    bool shown = false;
    for (const test::DocBlock& b : test::FencedBlocks(test::SourceText(QStringLiteral("docs/editing.md"))))
        shown = shown || (b.language == QLatin1String("toml") && b.text == r.out);
    EXPECT_TRUE(shown);

    const Report missing = ExportCommand(w.folder.file(QStringLiteral("nowhere")));
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.out, "");
}

TEST(TextFormCommands, AnImportShowsItsChangeFirstThenMakesItAsOneChange) {
    WorkedFolder w;
    QString text = ExportCommand(w.folder.path()).out;
    // Row 1 takes another source and gains a priority, row 2 goes, row 20 comes.
    text.replace("take = { mode = \"take\", source = 5, output = 12 }\n",
                 "priority = 3\ntake = { mode = \"take\", source = 6, output = 12 }\n");
    const qsizetype two = text.indexOf("[[event]]\nnumber = 2\n");
    text.remove(two, text.indexOf("[[event]]\nnumber = 3\n") - two);
    text += "\n[[event]]\nnumber = 20\ntitle = \"Take from nowhere\"\nday = \"Tuesday\"\ntime = \"10:00:00\"\n"
            "state = \"active\"\ntake = { mode = \"take\", output = 3 }\n";
    const QString file = w.folder.file(QStringLiteral("studio1.toml"));
    Write(file, text);
    const QByteArray before = Bytes(w.database());

    const Report r = ImportCommand(file, w.folder.path(), true, QStringLiteral("import by test"));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err, "");
    // What --check says of the new table comes first; it does not stop the import.
    EXPECT_TRUE(r.out.contains("Number 20: Take from nowhere not executed - Invalid Crosspoint\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("(--check's findings do not stop the import"));
    EXPECT_TRUE(r.out.endsWith("Number 1 \"News to TX1\" changed:\n"
                               "  priority: (default) -> 3\n"
                               "  take.source: 5 -> 6\n"
                               "Number 2 \"Salvo 3 for the news set\" removed\n"
                               "Number 20 \"Take from nowhere\" added:\n"
                               "  number = 20\n"
                               "  title = \"Take from nowhere\"\n"
                               "  day = \"Tuesday\"\n"
                               "  time = \"10:00:00\"\n"
                               "  state = \"active\"\n"
                               "  take.mode = \"take\"\n"
                               "  take.output = 3\n"
                               "1 added, 1 changed, 1 removed\n"
                               "Dry run: nothing changed\n"))
        << r.out.toStdString();
    EXPECT_EQ(Bytes(w.database()), before);

    // The text as exported changes nothing.
    const QString exported = ExportCommand(w.folder.path()).out;
    Write(file, exported);
    EXPECT_TRUE(ImportCommand(file, w.folder.path(), true, QString()).out.endsWith("No row changes\nDry run: nothing changed\n"));

    // For real: one change in the history, and the text exports again as it was imported.
    Write(file, text);
    const Report made = ImportCommand(file, w.folder.path(), false, QStringLiteral("import by test"));
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    EXPECT_TRUE(made.out.endsWith("1 added, 1 changed, 1 removed\nChange 1 made\n")) << made.out.toStdString();
    EXPECT_EQ(ExportCommand(w.folder.path()).out, text);
    const std::unique_ptr<Database> record = OpenHistory(w.folder.file(kEngineRecordFileName), 1000);
    const std::vector<ScheduleChange> history = ScheduleHistory(*record).list({});
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].who, QStringLiteral("import by test"));
    EXPECT_EQ(history[0].what, QStringLiteral("import of ") + file);
    EXPECT_EQ(history[0].rows.size(), 3u);
    // Back to the exported text, as a second change.
    Write(file, exported);
    EXPECT_TRUE(ImportCommand(file, w.folder.path(), false, QStringLiteral("import by test")).out.endsWith("Change 2 made\n"));
    EXPECT_EQ(ExportCommand(w.folder.path()).out, exported);
}

TEST(TextFormCommands, AFileWithMistakesChangesNothing) {
    WorkedFolder w;
    const QString file = w.folder.file(QStringLiteral("studio1.toml"));
    Write(file, "[[event]]\nnumber = 1\nstate = \"active\"\ntake = { mode = \"tak\", source = 5 }\n\n"
                "[[event]]\nnumber = 1\nstate = \"active\"\n");
    const QByteArray before = Bytes(w.database());
    for (bool dryRun : {true, false}) {
        const Report r = ImportCommand(file, w.folder.path(), dryRun, QStringLiteral("import by test"));
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, file + ":4: take.mode: \"tak\" is none of \"take\", \"sum on\", \"sum off\", "
                                "\"priority take\", \"priority sum on\", \"priority sum off\", \"none\"\n" +
                             file + ":7: number: Number 1 is also the Number of the event at line 2\n"
                                    "tarvo-engined: " + file + ": nothing imported, nothing changed\n");
        EXPECT_EQ(Bytes(w.database()), before);
    }
}

}  // namespace
}  // namespace tarvo::cli
