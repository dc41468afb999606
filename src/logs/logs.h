// The activity log "Tally.dat" (one line per action done or refused, archived by size) and the
// error log "Errorlog.txt" (one line per caught failure). Both are opened, appended and closed
// for every line so they can be read or moved while the engine runs.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include <QDateTime>
#include <QString>

#include "logs/failure.h"
#include "tarvo_version.h"

namespace tarvo {

class Clock;

// Where the logs go and how the activity log is kept: the program folder, the clock that stamps
// each line, and the size limit of the last load.
struct Logs {
    Logs(Clock& c, const QString& programFolder) : clock(c), folder(programFolder) {}
    Clock& clock;
    QString folder;  // ends in the folder separator
    int32_t MaxTallyFile = 0;
    bool ArchiveTally = false;
    // After "Program Exit" nothing more is written: it is the last line of the activity log.
    bool closed = false;
    // An activity log that cannot be written (disk full, folder not writable) is reported once
    // when it starts failing and once when it works again, with the count of lines it lost in
    // between: a report for every lost line would move the whole activity into the error log,
    // which has no size limit.
    bool activityLogFailing = false;
    int64_t activityLinesLost = 0;
};

inline const QString kActivityLogName = QStringLiteral("Tally.dat");
inline const QString kErrorLogName = QStringLiteral("Errorlog.txt");
inline const QString kProductName = QStringLiteral("Tarvo Automation Engine");
inline const QString kVersionText = QStringLiteral(TARVO_VERSION_TEXT);

void WriteActivityLog(Logs& logs, const QString& message);
void CreateActivityLog(Logs& logs);
void WriteErrorLog(Logs& logs, const QString& message, const QString& location);
void CreateErrorLog(Logs& logs);
// Writes "Error # <n> - <description>" for the failure being handled under `location`.
void ReportError(Logs& logs, const QString& location, const TarvoError& failure);

// Line layouts, exposed for the tests.
QString ActivityLogLine(const QDateTime& at, const QString& message);
QString ErrorLogLine(const QDateTime& at, const QString& location, const QString& message);
QString ErrorMessageText(int number, const QString& description);
QString ArchiveFileName(const QDateTime& at);

// Converts whatever was thrown into a TarvoError.
TarvoError CurrentFailure(std::exception_ptr p);

// Runs `body` under one error handler: a failure is reported with `location` (read when the
// failure is caught, so a procedure may move its location text on as it goes) and `neutral` is
// returned.
template <typename R, typename F>
R Guarded(Logs& logs, const QString& location, R neutral, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        ReportError(logs, location, CurrentFailure(std::current_exception()));
    }
    return neutral;
}

template <typename F>
void Guarded(Logs& logs, const QString& location, F&& body) {
    try {
        std::forward<F>(body)();
    } catch (...) {
        ReportError(logs, location, CurrentFailure(std::current_exception()));
    }
}

}  // namespace tarvo
