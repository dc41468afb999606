#include "logs/logs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString reason(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// A log file opened for one write and closed when it goes out of scope. Written with the
// system's calls rather than QFile so that a failure names the system's own reason, and a write
// cut short can be taken back.
class LogFile {
  public:
    LogFile(const QString& path, int flags) : path_(path) {
        const QByteArray name = QFile::encodeName(path);
        do fd_ = ::open(name.constData(), flags | O_WRONLY | O_CLOEXEC, 0666);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0)
            fail(kErrPermission,
                 QStringLiteral("Unable to open ") + path + QStringLiteral(": ") + reason(errno));
        struct stat st {};
        regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
        size_ = regular_ ? st.st_size : 0;
    }
    ~LogFile() { ::close(fd_); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes all of `bytes` or fails with the system's reason. A regular file is cut back to the
    // size it had before, so that a full disk leaves no torn line for the next one to be glued to;
    // a device in the file's place (an operator's link to /dev/null, say) has nothing to cut.
    void writeWhole(const QByteArray& bytes) {
        const char* p = bytes.constData();
        qint64 left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int err = n < 0 ? errno : ENOSPC;  // nothing taken: no room for it
                if (left < bytes.size()) cutTo(size_);
                fail(kErrDiskFull, QStringLiteral("Unable to write ") + path_ +
                                       QStringLiteral(": ") + reason(err));
            }
            p += n;
            left -= n;
        }
    }

    // A log just made whose banner could not be written is taken away again, so that the next
    // line makes it anew with its banner instead of finding a file without one. A link in its
    // place is kept and left empty.
    void discard() {
        if (!regular_) return;
        struct stat st {};
        const QByteArray name = QFile::encodeName(path_);
        if (::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::unlink(name.constData()) == 0)
            return;
        cutTo(0);
    }

  private:
    void cutTo(off_t size) {
        if (!regular_) return;
        // Best effort: the write's own failure is what gets reported.
        [[maybe_unused]] const int r = ::ftruncate(fd_, size);
    }

    QString path_;
    int fd_ = -1;
    bool regular_ = false;
    off_t size_ = 0;
};

// Creates or empties the log at `path` and writes its banner.
void createLog(const QString& path, const QString& banner) {
    LogFile f(path, O_CREAT | O_TRUNC);
    try {
        f.writeWhole(banner.toUtf8());
    } catch (...) {
        f.discard();
        throw;
    }
}

// Appends one line to the log at `path`. The log is not made here: a log that went missing is
// made by its own step, with its banner.
void appendLine(const QString& path, const QString& line) {
    LogFile(path, O_APPEND).writeWhole(line.toUtf8());
}

// Names an archive made at `at`: the name of its minute, then with the seconds added, then with
// a counter after the seconds, so that archives made in the same minute never share a name.
QString archiveCandidate(const QDateTime& at, int attempt) {
    if (attempt == 0) return ArchiveFileName(at);
    QString name = ArchiveFileName(at);
    name.chop(4);  // ".dat"
    name += QLatin1Char(' ') + two(at.time().second());
    if (attempt > 1) name += QLatin1Char(' ') + QString::number(attempt);
    return name + QStringLiteral(".dat");
}

// Moves the log at `path` to the first free archive name of `at` in `folder`; an existing file
// is never replaced.
void archiveLog(const QString& folder, const QString& path, const QDateTime& at) {
    const QByteArray from = QFile::encodeName(path);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QByteArray to = QFile::encodeName(folder + archiveCandidate(at, attempt));
        int r = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
        if (r < 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system that cannot rename without replacing: a second name, then the old
            // one taken away.
            r = ::link(from.constData(), to.constData());
            if (r == 0) {
                if (::unlink(from.constData()) < 0)
                    fail(kErrPermission, QStringLiteral("Unable to delete ") + path);
                return;
            }
        }
        if (r == 0) return;
        if (errno != EEXIST) break;
    }
    fail(kErrFileIo, QStringLiteral("Unable to archive ") + path);
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
    QString s = bannerHead();
    s += QStringLiteral("Tarvo Automation Logfile") + kCrLf;
    s += QStringLiteral("Version: ") + kVersionText + kCrLf + kCrLf;
    s += QStringLiteral(" DATE              TIME             MESSAGE DESCRIPTION") + kCrLf;
    s += QString(80, QLatin1Char('-')) + kCrLf;
    createLog(logs.folder + kActivityLogName, s);
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
                if (logs.ArchiveTally)
                    archiveLog(logs.folder, path, now);
                else if (!QFile::remove(path))
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
        appendLine(path, line);
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
        QString s = bannerHead();
        s += QStringLiteral("Tarvo Automation Engine Error Logfile") + kCrLf + kCrLf;
        s += QStringLiteral(" DATE     TIME           LOCATION                      MESSAGE DESCRIPTION") + kCrLf;
        s += QString(80, QLatin1Char('-')) + kCrLf;
        createLog(logs.folder + kErrorLogName, s);
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
        appendLine(path, line);
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
