#include "text_form_commands.h"

#include <algorithm>
#include <map>

#include <QFile>

#include "logs/failure.h"
#include "scheduler/event_form.h"
#include "scheduler/schedule_check.h"
#include "scheduler/text_form.h"
#include "store/engine_record.h"
#include "store/event_store.h"
#include "store/sqlite.h"

namespace tarvo::cli {

namespace {

// How long an import waits for the engine or another writer to let go of the files.
constexpr int kImportBusyTimeoutMs = 5000;

// Errors other than the file's mistakes ("FILE:LINE: ...") name the program.
const QString kProgram = QStringLiteral("tarvo-engined: ");

// Every key of a row's form with its value in the text form's words, tables by their inner keys
// ("take.source"), in the form's order.
std::vector<std::pair<QString, QString>> flatForm(const AutomationEvent& row) {
    std::vector<std::pair<QString, QString>> out;
    for (const auto& [key, value] : OrderedForm(row)) {
        if (!value.isObject()) {
            out.emplace_back(key, FormValueText(key, value));
            continue;
        }
        const QJsonObject t = value.toObject();
        for (const QString& inner : FormTableKeys(key))
            if (t.contains(inner)) out.emplace_back(key + QLatin1Char('.') + inner, FormValueText(inner, t.value(inner)));
    }
    return out;
}

QString rowName(const AutomationEvent& row) {
    return QStringLiteral("Number %1 %2").arg(row.Number).arg(FormValueText(QStringLiteral("title"), row.Title.toString()));
}


}  // namespace

QString ChangeText(const std::vector<RowChange>& changes) {
    QString out;
    int added = 0, changed = 0, removed = 0;
    for (const RowChange& c : changes) {
        if (c.before && c.after) {
            ++changed;
            out += rowName(*c.after) + QStringLiteral(" changed:\n");
            const auto before = flatForm(*c.before), after = flatForm(*c.after);
            const auto find = [](const std::vector<std::pair<QString, QString>>& form, const QString& key) {
                for (const auto& [k, v] : form)
                    if (k == key) return v;
                return QStringLiteral("(default)");
            };
            // In the form's order: the keys of the new row, then those only the old one had.
            QStringList keys;
            for (const auto& kv : after) keys << kv.first;
            for (const auto& kv : before)
                if (!keys.contains(kv.first)) keys << kv.first;
            for (const QString& key : keys) {
                const QString was = find(before, key), is = find(after, key);
                if (was != is) out += QStringLiteral("  %1: %2 -> %3\n").arg(key, was, is);
            }
        } else if (c.after) {
            ++added;
            out += rowName(*c.after) + QStringLiteral(" added:\n");
            for (const auto& [key, value] : flatForm(*c.after)) out += QStringLiteral("  %1 = %2\n").arg(key, value);
        } else if (c.before) {
            ++removed;
            out += rowName(*c.before) + QStringLiteral(" removed\n");
        }
    }
    if (changes.empty()) return QStringLiteral("No row changes\n");
    out += QStringLiteral("%1 added, %2 changed, %3 removed\n").arg(added).arg(changed).arg(removed);
    return out;
}

Report ExportCommand(const QString& folder) {
    Report r;
    const FolderRead f = InspectFolder(folder);
    if (!f.error.isEmpty()) {
        r.err = kProgram + f.error;
        r.exitCode = 2;
        return r;
    }
    r.out = ExportText(f.read.rows);
    return r;
}

Report ImportCommand(const QString& file, const QString& folder, bool dryRun, const QString& who) {
    Report r;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        r.err = kProgram + QStringLiteral("cannot read %1: %2\n").arg(file, in.errorString());
        r.exitCode = 2;
        return r;
    }
    const ImportRead imported = ReadText(QString::fromUtf8(in.readAll()));
    if (!imported.mistakes.empty()) {
        for (const TextMistake& m : imported.mistakes)
            r.err += QStringLiteral("%1:%2: %3%4\n")
                         .arg(file)
                         .arg(m.line)
                         .arg(m.field.isEmpty() ? QString() : m.field + QStringLiteral(": "), m.text);
        r.err += kProgram + QStringLiteral("%1: nothing imported, nothing changed\n").arg(file);
        r.exitCode = 2;
        return r;
    }
    const FolderRead f = InspectFolder(folder);
    if (!f.error.isEmpty()) {
        r.err = kProgram + f.error;
        r.exitCode = 2;
        return r;
    }

    // What the engine will make of the new table; the operator decides whether that is meant.
    const std::vector<RowProblem> problems = CheckSchedule(imported.rows, f.appFolder);
    r.out += CheckText(problems, imported.rows.size());
    if (!problems.empty())
        r.out += QStringLiteral("(--check's findings do not stop the import: the engine runs these rows as it says)\n");

    std::vector<AutomationEvent> current;
    try {
        Database db(f.path, kImportBusyTimeoutMs, Database::ReadOnly);
        current = ReadAllRows(db);
    } catch (const TarvoError& failure) {
        r.err = kProgram + QStringLiteral("cannot read %1: %2\n").arg(f.path, failure.description());
        r.exitCode = 2;
        return r;
    }
    const std::vector<RowChange> changes = DiffRows(current, imported.rows);
    r.out += ChangeText(changes);
    if (dryRun) {
        r.out += QStringLiteral("Dry run: nothing changed\n");
        return r;
    }
    if (changes.empty()) return r;

    std::vector<RowEdit> edits;
    for (const RowChange& c : changes)
        edits.push_back({c.number, c.before ? RowVersion(*c.before) : QString(), c.after});
    const EditOutcome done = ApplyScheduleEdit(f.path, f.appFolder + kEngineRecordFileName, who,
                                               QStringLiteral("import of ") + file, edits, kImportBusyTimeoutMs);
    switch (done.result) {
        case EditOutcome::Done:
            r.out += done.changeId == 0 ? QStringLiteral("Nothing changed: the table already holds these rows\n")
                                        : QStringLiteral("Change %1 made\n").arg(done.changeId);
            return r;
        case EditOutcome::Stale:
            r.err = kProgram + QStringLiteral("%1 changed while it was read (%2 rows): nothing changed; import again\n")
                        .arg(f.path)
                        .arg(done.stale.size());
            break;
        case EditOutcome::Invalid:
            r.err = kProgram + QStringLiteral("the import would leave two rows on one Number: nothing changed\n");
            break;
        case EditOutcome::Locked:
            r.err = kProgram + QStringLiteral("%1 is locked by another program: nothing changed; try again\n").arg(f.path);
            break;
        case EditOutcome::Failed:
            r.err = kProgram + QStringLiteral("nothing changed: %1\n").arg(done.failure);
            break;
    }
    r.exitCode = 1;
    return r;
}

}  // namespace tarvo::cli
