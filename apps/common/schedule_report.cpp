#include "schedule_report.h"

#include <QDir>

#include "store/event_store.h"
#include "store/load_database.h"

namespace tarvo::cli {

Report ScheduleReport(const QString& folder, int previewDays, bool json, const QDateTime& now,
                      const QTimeZone& zone) {
    Report r;
    QString appFolder = QDir::cleanPath(QDir(folder).absolutePath());
    if (!appFolder.endsWith(QLatin1Char('/'))) appFolder += QLatin1Char('/');
    const QString path = appFolder + kDatabaseFileName;
    const DatabaseRead read = InspectAutomationDatabase(path);
    switch (read.outcome) {
        case DatabaseRead::Missing:
            r.err = QStringLiteral("there is no database %1\n").arg(path);
            r.exitCode = 2;
            return r;
        case DatabaseRead::NotAutomation:
            r.err = QStringLiteral("%1 is not an automation database (Invalid Database File)\n")
                        .arg(path);
            r.exitCode = 2;
            return r;
        case DatabaseRead::Failed:
            r.err = QStringLiteral("cannot read %1: %2\n").arg(path, read.failure);
            r.exitCode = 2;
            return r;
        case DatabaseRead::Read:
            break;
    }
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
