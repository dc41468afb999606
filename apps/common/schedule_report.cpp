#include "schedule_report.h"

#include <QDir>

#include "store/event_store.h"

namespace tarvo::cli {

FolderRead InspectFolder(const QString& folder) {
    FolderRead f;
    f.appFolder = QDir::cleanPath(QDir(folder).absolutePath());
    if (!f.appFolder.endsWith(QLatin1Char('/'))) f.appFolder += QLatin1Char('/');
    f.path = f.appFolder + kDatabaseFileName;
    f.read = InspectAutomationDatabase(f.path);
    switch (f.read.outcome) {
        case DatabaseRead::Missing:
            f.error = QStringLiteral("there is no database %1\n").arg(f.path);
            break;
        case DatabaseRead::NotAutomation:
            f.error = QStringLiteral("%1 is not an automation database (Invalid Database File)\n").arg(f.path);
            break;
        case DatabaseRead::Failed:
            f.error = QStringLiteral("cannot read %1: %2\n").arg(f.path, f.read.failure);
            break;
        case DatabaseRead::Read:
            break;
    }
    return f;
}

Report ScheduleReport(const QString& folder, int previewDays, bool json, const QDateTime& now,
                      const QTimeZone& zone) {
    Report r;
    const FolderRead f = InspectFolder(folder);
    if (!f.error.isEmpty()) {
        r.err = f.error;
        r.exitCode = 2;
        return r;
    }
    const DatabaseRead& read = f.read;
    const QString& appFolder = f.appFolder;
    const auto jsonText = [](const QJsonDocument& d) {
        return QString::fromUtf8(d.toJson(QJsonDocument::Indented));
    };
    if (previewDays > 0) {
        const SchedulePreview p = PreviewSchedule(read.rows, now, previewDays, zone);
        r.out = json ? jsonText(PreviewJson(p)) : PreviewText(p);
        return r;
    }
    const std::vector<RowProblem> problems = CheckSchedule(read.rows, appFolder);
    const QStringList settings = CheckSettings(read.settings);
    r.out = json ? jsonText(CheckJson(problems, read.rows.size(), settings))
                 : CheckText(problems, read.rows.size(), settings);
    r.exitCode = CountProblems(problems, settings) == 0 ? 0 : 1;
    return r;
}

}  // namespace tarvo::cli
