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

// The error log is rolled over at this size (to kPreviousErrorLogName, replacing the one
// before): 8 MiB is some 80,000 lines, years of ordinary failures, and bounds the two files to
// 16 MiB whatever a switcher or a database keeps failing with.
constexpr qint64 kMaxErrorLogBytes = 8 * 1024 * 1024;
// An error line the same as the one before within this time is counted, not written; the count
// follows as one line "... repeated N times" when the time is up, when another line comes, and
// at exit.
constexpr int kErrorRepeatWindowMs = 10000;

// Where the logs go and how the activity log is kept: the program folder, the clock that stamps
// each line, and the size limit of the last load.
struct Logs {
    Logs(Clock& c, const QString& programFolder) : clock(c), folder(programFolder) {}
    ~Logs();
    Logs(const Logs&) = delete;
    Logs& operator=(const Logs&) = delete;
    Clock& clock;
    QString folder;  // ends in the folder separator
    int32_t MaxTallyFile = 0;
    bool ArchiveTally = false;
    qint64 MaxErrorLogBytes = kMaxErrorLogBytes;
    int errorRepeatWindowMs = kErrorRepeatWindowMs;
    // After "Program Exit" nothing more is written: it is the last line of the activity log.
    bool closed = false;
    // An activity log that cannot be written (disk full, folder not writable) is reported once
    // when it starts failing and once when it works again, with the count of lines it lost in
    // between: a report for every lost line would move the whole activity into the error log.
    bool activityLogFailing = false;
    int64_t activityLinesLost = 0;
    // A log whose name is taken by something other than a regular file (a symbolic link, a FIFO,
    // a folder, a device) is neither followed nor waited on: nothing is written to it, one line
    // on standard error says so, and the service status names it until a line goes in again.
    bool activityLogRefused = false;
    bool errorLogRefused = false;
    // The error line last written, while later ones the same as it are being counted.
    struct RepeatedLine {
        bool held = false;
        QString location;
        QString message;
        int32_t since = 0;  // tick count when it was written
        int64_t count = 0;  // the same line since, not written
        uint64_t alarm = 0;  // the end of its window, while some are counted
    } errorRepeat;
    // The error line last written or counted as a repeat, for the status.
    struct LastError {
        QDateTime at;
        QString location;
        QString message;
    } lastError;
};

inline const QString kActivityLogName = QStringLiteral("Tally.dat");
inline const QString kErrorLogName = QStringLiteral("Errorlog.txt");
inline const QString kPreviousErrorLogName = QStringLiteral("Errorlog.1.txt");
inline const QString kProductName = QStringLiteral("Tarvo Automation Engine");
inline const QString kVersionText = QStringLiteral(TARVO_VERSION_TEXT);

void WriteActivityLog(Logs& logs, const QString& message);
void CreateActivityLog(Logs& logs);
void WriteErrorLog(Logs& logs, const QString& message, const QString& location);
void CreateErrorLog(Logs& logs);
// Writes the count of error lines still held back ("... repeated N times"), then nothing more
// to either log: after "Program Exit".
void CloseLogs(Logs& logs);
// The logs refused because something other than a regular file has their name ("Tally.dat,
// Errorlog.txt"); empty when there is none.
QString RefusedLogs(const Logs& logs);
// "last error 09:12:03 <location> - <message>" for the error line last written, when there is one
// and (with `withinMs` not negative) it is no older than that; else empty.
QString LastErrorText(const Logs& logs, qint64 withinMs = -1);
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
