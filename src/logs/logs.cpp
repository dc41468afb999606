#include "logs/logs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "base/clock.h"
#include "base/text.h"

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

// A log whose name is taken by something other than a regular file.
class LogRefused : public TarvoError {
  public:
    explicit LogRefused(const QString& why) : TarvoError(kErrPermission, why) {}
};

[[noreturn]] void refuse(const QString& path, const char* what) {
    throw LogRefused(path + QStringLiteral(" is ") + QLatin1String(what) +
                     QStringLiteral(", not a regular file; nothing is written to it"));
}

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}

// A log file opened for one write and closed when it goes out of scope. Written with the
// system's calls rather than QFile so that a failure names the system's own reason, and a write
// cut short can be taken back. It never follows a symbolic link in the log's place and never
// waits for what it finds there: a link, a FIFO, a folder or a device is refused (LogRefused),
// since whoever may write the program folder could otherwise make the engine write into any file
// it may write, or stop it in open().
class LogFile {
  public:
    enum Mode {
        Append,     // the log as it is; isOpen() is false when there is none
        CreateNew,  // a new log; whatever is at the path already is a failure
        Replace,    // a new log, or the one there emptied
    };
    LogFile(const QString& path, Mode mode) : path_(path) {
        const QByteArray name = QFile::encodeName(path);
        const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                          (mode == Append ? O_APPEND : O_CREAT) | (mode == CreateNew ? O_EXCL : 0);
        do fd_ = ::open(name.constData(), flags, 0666);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            const int err = errno;
            if (mode == Append && err == ENOENT) return;
            struct stat st {};
            // ELOOP: a link (O_NOFOLLOW); ENXIO: a FIFO nobody reads or a socket; EISDIR; a
            // dangling link met by O_EXCL; EACCES: a device on a file system without devices.
            if (::lstat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode))
                refuse(path, kindOf(st.st_mode));
            fail(kErrPermission,
                 QStringLiteral("Unable to open ") + path + QStringLiteral(": ") + reason(err));
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0)
            fail(kErrFileIo, QStringLiteral("Unable to open ") + path + QStringLiteral(": ") + reason(errno));
        if (!S_ISREG(st.st_mode)) refuse(path, kindOf(st.st_mode));
        size_ = st.st_size;
        if (mode == Replace && size_ > 0) {
            if (::ftruncate(fd_, 0) != 0)
                fail(kErrFileIo, QStringLiteral("Unable to empty ") + path + QStringLiteral(": ") + reason(errno));
            size_ = 0;
        }
        made_ = mode != Append;
    }
    ~LogFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    off_t size() const { return size_; }

    // Writes all of `bytes` or fails with the system's reason. The file is cut back to the size
    // it had before, so that a full disk leaves no torn line for the next one to be glued to.
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
        size_ += static_cast<off_t>(bytes.size());
    }

    // A log just made whose banner could not be written is taken away again, so that the next
    // line makes it anew with its banner instead of finding a file without one.
    void discard() {
        struct stat st {};
        const QByteArray name = QFile::encodeName(path_);
        if (made_ && ::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::unlink(name.constData()) == 0)
            return;
        cutTo(0);
    }

  private:
    void cutTo(off_t size) {
        // Best effort: the write's own failure is what gets reported.
        [[maybe_unused]] const int r = ::ftruncate(fd_, size);
    }

    QString path_;
    int fd_ = -1;
    bool made_ = false;
    off_t size_ = 0;
};

// Writes the banner of a log just made; a log left without its banner is taken away again.
void writeBanner(LogFile& f, const QString& banner) {
    try {
        f.writeWhole(banner.toUtf8());
    } catch (...) {
        f.discard();
        throw;
    }
}

// Creates or empties the log at `path` and writes its banner.
void createLog(const QString& path, const QString& banner) {
    LogFile f(path, LogFile::Replace);
    writeBanner(f, banner);
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

// What becomes of a log that has reached its size limit before the next line goes in.
struct RollOver {
    enum Keep {
        Nothing,   // removed
        Archives,  // moved to an archive name of its own, never replacing one (archiveLog)
        Previous,  // moved to `previous`, replacing the log rolled over before
    };
    qint64 limit = 0;  // bytes; 0 for no limit
    Keep keep = Nothing;
    QString previous;
};

void rollOver(const QString& folder, const QString& path, const RollOver& roll, const QDateTime& at) {
    const QByteArray from = QFile::encodeName(path);
    switch (roll.keep) {
        case RollOver::Nothing:
            if (::unlink(from.constData()) != 0 && errno != ENOENT)
                fail(kErrPermission, QStringLiteral("Unable to delete ") + path);
            return;
        case RollOver::Archives:
            archiveLog(folder, path, at);
            return;
        case RollOver::Previous:
            // rename() replaces whatever has the name, a link too, without following it.
            if (::rename(from.constData(), QFile::encodeName(folder + roll.previous).constData()) != 0)
                fail(kErrFileIo, QStringLiteral("Unable to rename ") + path + QStringLiteral(" to ") +
                                     roll.previous + QStringLiteral(": ") + reason(errno));
            return;
    }
}

// Appends `line` to the log `name` in `folder`: a log that has reached its limit is rolled over
// first, and a log that is missing is made, with `banner` (while it is, `creating` is set, so a
// failure can be told as one of making the log).
void appendToLog(const QString& folder, const QString& name, const QString& line,
                 const RollOver& roll, const QDateTime& at, const QString& (*banner)(),
                 bool& creating) {
    const QString path = folder + name;
    std::optional<LogFile> f;
    f.emplace(path, LogFile::Append);
    if (f->isOpen() && roll.limit > 0 && f->size() >= roll.limit) {
        f.reset();
        rollOver(folder, path, roll, at);
        f.emplace(path, LogFile::Append);
    }
    if (!f->isOpen()) {
        creating = true;
        f.emplace(path, LogFile::CreateNew);
        writeBanner(*f, banner());
        creating = false;
    }
    f->writeWhole(line.toUtf8());
}

// The first failure of a log that is refused goes to standard error, once until the log takes a
// line again.
void noteFailure(bool& refused, const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const LogRefused& r) {
        if (!refused) std::fprintf(stderr, "%s\n", qPrintable(r.description()));
        refused = true;
    } catch (...) {
    }
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
    return stamp.leftJustified(35, QLatin1Char(' ')) + VisibleControls(message) + kCrLf;
}

QString ErrorLogLine(const QDateTime& at, const QString& location, const QString& message) {
    QString head = generalDate(at).leftJustified(24, QLatin1Char(' ')) + VisibleControls(location);
    if (head.size() >= 60) head.truncate(59);
    return head.leftJustified(60, QLatin1Char(' ')) + VisibleControls(message) + kCrLf;
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

const QString& activityBanner() {
    static const QString s = bannerHead() + QStringLiteral("Tarvo Automation Logfile") + kCrLf +
                             QStringLiteral("Version: ") + kVersionText + kCrLf + kCrLf +
                             QStringLiteral(" DATE              TIME             MESSAGE DESCRIPTION") +
                             kCrLf + QString(80, QLatin1Char('-')) + kCrLf;
    return s;
}

const QString& errorBanner() {
    static const QString s =
        bannerHead() + QStringLiteral("Tarvo Automation Engine Error Logfile") + kCrLf + kCrLf +
        QStringLiteral(" DATE     TIME           LOCATION                      MESSAGE DESCRIPTION") +
        kCrLf + QString(80, QLatin1Char('-')) + kCrLf;
    return s;
}

// Writes one line to the error log, as it comes.
void writeErrorLine(Logs& logs, const QString& location, const QString& message) {
    try {
        const QDateTime now = logs.clock.now();
        bool creating = false;
        appendToLog(logs.folder, kErrorLogName, ErrorLogLine(now, location, message),
                    {logs.MaxErrorLogBytes, RollOver::Previous, kPreviousErrorLogName}, now,
                    &errorBanner, creating);
        logs.errorLogRefused = false;
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        noteFailure(logs.errorLogRefused, failure);
        if (logs.errorLogRefused) return;
        // A failure of the error log is never written to the error log again (that would repeat
        // without end); standard error is the last place it can show.
        qWarning("Error Writing to Error Log: %s - %s (%s)", qPrintable(VisibleControls(location)),
                 qPrintable(VisibleControls(message)),
                 qPrintable(CurrentFailure(failure).description()));
    }
}

// Writes the count of the lines held back as the same as the last one written, if any.
void flushRepeats(Logs& logs) {
    Logs::RepeatedLine& r = logs.errorRepeat;
    if (r.alarm != 0) logs.clock.cancelAlarm(r.alarm);
    r.alarm = 0;
    const int64_t count = r.count;
    r.count = 0;
    r.held = false;
    if (count > 0)
        writeErrorLine(logs, r.location, QStringLiteral("... repeated %1 times").arg(count));
}

}  // namespace

Logs::~Logs() {
    if (errorRepeat.alarm != 0) clock.cancelAlarm(errorRepeat.alarm);
}

void CreateActivityLog(Logs& logs) {
    Guarded(logs, kCreateActivityLocation, [&] {
        try {
            createLog(logs.folder + kActivityLogName, activityBanner());
        } catch (...) {
            noteFailure(logs.activityLogRefused, std::current_exception());
            throw;
        }
    });
}

void WriteActivityLog(Logs& logs, const QString& message) {
    if (logs.closed) return;
    bool creating = false;
    try {
        const QDateTime now = logs.clock.now();
        // The limit is computed in 64 bits: a limit of 2097152 KB or more does not fit 32.
        const qint64 limit = logs.MaxTallyFile > 0 ? static_cast<qint64>(logs.MaxTallyFile) * 1024 : 0;
        appendToLog(logs.folder, kActivityLogName, ActivityLogLine(now, message),
                    {limit, logs.ArchiveTally ? RollOver::Archives : RollOver::Nothing, QString()},
                    now, &activityBanner, creating);
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        noteFailure(logs.activityLogRefused, failure);
        logs.activityLinesLost += 1;
        if (!logs.activityLogFailing) {
            // Reported once with the rest of its failure, not again for every line.
            logs.activityLogFailing = true;
            ReportError(logs, creating ? kCreateActivityLocation : kWriteActivityLocation,
                        CurrentFailure(failure));
        }
        return;
    }
    logs.activityLogRefused = false;
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
        createLog(logs.folder + kErrorLogName, errorBanner());
    } catch (...) {
        // Not reported anywhere but standard error, when refused: the error log is where it
        // would go.
        noteFailure(logs.errorLogRefused, std::current_exception());
    }
}

void WriteErrorLog(Logs& logs, const QString& message, const QString& location) {
    if (logs.closed) return;
    logs.lastError = {logs.clock.now(), location, message};
    Logs::RepeatedLine& r = logs.errorRepeat;
    const int32_t now = logs.clock.tickCount();
    if (r.held && r.message == message && r.location == location) {
        const int64_t elapsed = TicksBetween(r.since, now);
        if (elapsed < logs.errorRepeatWindowMs) {
            if (++r.count == 1)
                r.alarm = logs.clock.setAlarm(logs.errorRepeatWindowMs - elapsed, [&logs] {
                    logs.errorRepeat.alarm = 0;
                    flushRepeats(logs);
                });
            return;
        }
    }
    flushRepeats(logs);
    r.held = true;
    r.location = location;
    r.message = message;
    r.since = now;
    writeErrorLine(logs, location, message);
}

void CloseLogs(Logs& logs) {
    if (logs.closed) return;
    flushRepeats(logs);
    logs.closed = true;
}

QString RefusedLogs(const Logs& logs) {
    QStringList names;
    if (logs.activityLogRefused) names << kActivityLogName;
    if (logs.errorLogRefused) names << kErrorLogName;
    return names.join(QStringLiteral(", "));
}

QString LastErrorText(const Logs& logs, qint64 withinMs) {
    const Logs::LastError& last = logs.lastError;
    if (!last.at.isValid()) return QString();
    if (withinMs >= 0 && last.at.msecsTo(logs.clock.now()) > withinMs) return QString();
    return QStringLiteral("last error ") + last.at.toString(QStringLiteral("HH:mm:ss ")) + last.location +
           QStringLiteral(" - ") + VisibleControls(last.message);
}

void ReportError(Logs& logs, const QString& location, const TarvoError& failure) {
    WriteErrorLog(logs, ErrorMessageText(failure.number(), failure.description()), location);
}

}  // namespace tarvo
