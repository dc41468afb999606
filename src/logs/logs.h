// The activity log "Tally.dat" (one line per action done or refused, archived by size) and the
// error log "Errorlog.txt" (one line per caught failure). Both are opened, appended and closed
// for every line so they can be read or moved while the engine runs.
#pragma once

#include <exception>
#include <utility>

#include <QDateTime>
#include <QString>

#include "logs/failure.h"

namespace tarvo {

class Engine;
class Clock;

inline const QString kActivityLogName = QStringLiteral("Tally.dat");
inline const QString kErrorLogName = QStringLiteral("Errorlog.txt");
inline const QString kVersionText = QStringLiteral("Version 02.00.0011 - 06/04/2015");

void WriteActivityLog(Engine& e, const QString& message);
void CreateActivityLog(Engine& e);
void WriteErrorLog(Engine& e, const QString& message, const QString& location);
void CreateErrorLog(Engine& e);
// Writes "Error # <n> - <description>" for the failure being handled under `location`.
void ReportError(Engine& e, const QString& location, const TarvoError& failure);

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
R Guarded(Engine& e, const QString& location, R neutral, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        ReportError(e, location, CurrentFailure(std::current_exception()));
    }
    return neutral;
}

template <typename F>
void Guarded(Engine& e, const QString& location, F&& body) {
    try {
        std::forward<F>(body)();
    } catch (...) {
        ReportError(e, location, CurrentFailure(std::current_exception()));
    }
}

}  // namespace tarvo
