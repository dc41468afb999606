#include "logs/logs.h"

#include <new>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "base/clock.h"

namespace tarvo {

namespace {

const char* const kShortDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const QString kCrLf = QStringLiteral("\r\n");
const QString kMakerLine = QStringLiteral("T A R V O    A U T O M A T E D     S Y S T E M S");
const QStringList kContactLines = {
    QStringLiteral("Tarvo Broadcast Systems Oy, Hameentie 19, 00500 Helsinki, Finland"),
    QStringLiteral("Telephone +358 9 4242 1250"),
    QStringLiteral("https://www.tarvo.example"),
};

QString two(int v) { return QString::number(v).rightJustified(2, QLatin1Char('0')); }

QString bannerHead() {
    QString s = QString(13, QLatin1Char(' ')) + kMakerLine + kCrLf + kCrLf;
    for (const QString& c : kContactLines) s += QString(19, QLatin1Char(' ')) + c + kCrLf;
    s += kCrLf + kCrLf;
    return s;
}

void writeWhole(QFile& f, const QByteArray& bytes) {
    if (f.write(bytes) != bytes.size() || !f.flush())
        fail(kErrDiskFull, QStringLiteral("Unable to write ") + f.fileName() + QStringLiteral(": ") +
                               f.errorString());
}

void openOrFail(QFile& f, QIODevice::OpenMode mode) {
    if (!f.open(mode))
        fail(kErrPermission,
             QStringLiteral("Unable to open ") + f.fileName() + QStringLiteral(": ") + f.errorString());
}

// General date text: short date, a blank, long time. The engine writes it the same way on every
// machine so that logs from different sites read alike.
QString generalDate(const QDateTime& at) {
    const QTime t = at.time();
    int h12 = t.hour() % 12;
    if (h12 == 0) h12 = 12;
    return QStringLiteral("%1/%2/%3 %4:%5:%6 %7")
        .arg(at.date().month())
        .arg(at.date().day())
        .arg(at.date().year())
        .arg(h12)
        .arg(two(t.minute()), two(t.second()), t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
}

}  // namespace

QString ActivityLogLine(const QDateTime& at, const QString& message) {
    const QDate d = at.date();
    const QTime t = at.time();
    QString stamp = QStringLiteral("%1, %2 %3, %4 - %5:%6:%7")
                        .arg(QLatin1String(kShortDays[d.dayOfWeek() - 1]),
                             QLatin1String(kShortMonths[d.month() - 1]), two(d.day()))
                        .arg(d.year())
                        .arg(two(t.hour()), two(t.minute()), two(t.second()));
    return stamp.leftJustified(35, QLatin1Char(' ')) + message + kCrLf;
}

QString ErrorLogLine(const QDateTime& at, const QString& location, const QString& message) {
    QString head = generalDate(at).leftJustified(24, QLatin1Char(' ')) + location;
    if (head.size() >= 60) head.truncate(59);
    return head.leftJustified(60, QLatin1Char(' ')) + message + kCrLf;
}

QString ErrorMessageText(int number, const QString& description) {
    const QString n = number < 0 ? QString::number(number) : QStringLiteral(" ") + QString::number(number);
    return QStringLiteral("Error # ") + n + QStringLiteral(" - ") + description;
}

QString ArchiveFileName(const QDateTime& at) {
    const QDate d = at.date();
    const QTime t = at.time();
    return QStringLiteral("Tally ") + two(d.month()) + two(d.day()) + two(d.year() % 100) +
           QStringLiteral(" ") + two(t.hour()) + two(t.minute()) + QStringLiteral(".dat");
}

TarvoError CurrentFailure(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const TarvoError& x) {
        return x;
    } catch (const std::bad_alloc&) {
        return TarvoError(7, QStringLiteral("Out of memory"));
    } catch (const std::exception& x) {
        return TarvoError(kErrInvalidCall, QString::fromLocal8Bit(x.what()));
    } catch (...) {
        return TarvoError(kErrInvalidCall, QStringLiteral("Unknown failure"));
    }
}

namespace {

const QString kCreateActivityLocation = QStringLiteral("Error Creating Activity Log");
const QString kWriteActivityLocation = QStringLiteral("Error Writing to Activity Log");

void createActivityLogFile(Logs& logs) {
    QFile f(logs.folder + kActivityLogName);
    openOrFail(f, QIODevice::WriteOnly | QIODevice::Truncate);
    QString s = bannerHead();
    s += QStringLiteral("Tarvo Automation Logfile") + kCrLf;
    s += QStringLiteral("Version: ") + kVersionText + kCrLf + kCrLf;
    s += QStringLiteral(" DATE              TIME             MESSAGE DESCRIPTION") + kCrLf;
    s += QString(80, QLatin1Char('-')) + kCrLf;
    writeWhole(f, s.toUtf8());
}

}  // namespace

void CreateActivityLog(Logs& logs) {
    Guarded(logs, kCreateActivityLocation, [&] { createActivityLogFile(logs); });
}

void WriteActivityLog(Logs& logs, const QString& message) {
    if (logs.closed) return;
    QString location = kWriteActivityLocation;
    try {
        const QDateTime now = logs.clock.now();
        const QString line = ActivityLogLine(now, message);
        const QString path = logs.folder + kActivityLogName;
        if (logs.MaxTallyFile > 0) {
            // The limit is computed in 64 bits: a limit of 2097152 KB or more does not fit 32.
            const qint64 limit = static_cast<qint64>(logs.MaxTallyFile) * 1024;
            const QFileInfo info(path);
            const qint64 size = info.exists() ? info.size() : 0;
            if (size >= limit) {
                if (logs.ArchiveTally) {
                    const QString archive = logs.folder + ArchiveFileName(now);
                    if (QFile::exists(archive) && !QFile::remove(archive))
                        fail(kErrPermission, QStringLiteral("Unable to replace ") + archive);
                    if (!QFile::copy(path, archive))
                        fail(kErrFileIo, QStringLiteral("Unable to archive ") + path);
                }
                if (!QFile::remove(path))
                    fail(kErrPermission, QStringLiteral("Unable to delete ") + path);
            }
        }
        if (!QFile::exists(path)) {
            // Created here rather than through CreateActivityLog, so that a log that cannot be
            // created is reported once with the rest of its failure, not again for every line.
            location = kCreateActivityLocation;
            createActivityLogFile(logs);
            location = kWriteActivityLocation;
        }
        // Appending seeks to the end, which a device in the file's place (an operator's link to
        // /dev/null, say) does not have: Qt would warn on standard error for every line.
        QFile f(path);
        openOrFail(f, QFileInfo(path).isFile() ? QIODevice::WriteOnly | QIODevice::Append
                                               : QIODevice::WriteOnly | QIODevice::ExistingOnly);
        writeWhole(f, line.toUtf8());
    } catch (...) {
        logs.activityLinesLost += 1;
        if (!logs.activityLogFailing) {
            logs.activityLogFailing = true;
            ReportError(logs, location, CurrentFailure(std::current_exception()));
        }
        return;
    }
    if (logs.activityLogFailing) {
        logs.activityLogFailing = false;
        WriteErrorLog(logs,
                      QStringLiteral("Activity log written again; %1 lines were lost")
                          .arg(logs.activityLinesLost),
                      kWriteActivityLocation);
        logs.activityLinesLost = 0;
    }
}

void CreateErrorLog(Logs& logs) {
    try {
        QFile f(logs.folder + kErrorLogName);
        openOrFail(f, QIODevice::WriteOnly | QIODevice::Truncate);
        QString s = bannerHead();
        s += QStringLiteral("Tarvo Automation Engine Error Logfile") + kCrLf + kCrLf;
        s += QStringLiteral(" DATE     TIME           LOCATION                      MESSAGE DESCRIPTION") + kCrLf;
        s += QString(80, QLatin1Char('-')) + kCrLf;
        writeWhole(f, s.toUtf8());
    } catch (...) {
        // Not reported anywhere: the error log is where it would go.
    }
}

void WriteErrorLog(Logs& logs, const QString& message, const QString& location) {
    if (logs.closed) return;
    try {
        const QString path = logs.folder + kErrorLogName;
        const QString line = ErrorLogLine(logs.clock.now(), location, message);
        if (!QFile::exists(path)) CreateErrorLog(logs);
        QFile f(path);
        openOrFail(f, QIODevice::WriteOnly | QIODevice::Append);
        writeWhole(f, line.toUtf8());
    } catch (...) {
        // A failure of the error log is never written to the error log again (that would repeat
        // without end); standard error is the last place it can show.
        qWarning("Error Writing to Error Log: %s - %s", qPrintable(location), qPrintable(message));
    }
}

void ReportError(Logs& logs, const QString& location, const TarvoError& failure) {
    WriteErrorLog(logs, ErrorMessageText(failure.number(), failure.description()), location);
}

}  // namespace tarvo
