#include "store/task_view.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "logs/logs.h"
#include "store/database_version.h"
#include "store/engine_record.h"
#include "store/load_database.h"
#include "store/sqlite.h"

namespace tarvo {

namespace {

// The columns the task viewer shows, in the order it expects them. The rest of the copy's
// columns stay empty in the rows written here.
const QStringList kCopiedColumns = {
    QStringLiteral("Number"),        QStringLiteral("Day"),      QStringLiteral("Days"),
    QStringLiteral("Time"),          QStringLiteral("Delay"),    QStringLiteral("Title"),
    QStringLiteral("SourceChan"),    QStringLiteral("DestChan"), QStringLiteral("ReqSource"),
    QStringLiteral("ReqDest"),       QStringLiteral("Active"),   QStringLiteral("Relay"),
    QStringLiteral("Opto"),          QStringLiteral("OptoOut"),  QStringLiteral("Salvo"),
    QStringLiteral("VChan"),         QStringLiteral("Gain"),     QStringLiteral("xcontrol"),
    QStringLiteral("rcontrol"),      QStringLiteral("scontrol"), QStringLiteral("vcontrol"),
    QStringLiteral("ocontrol"),      QStringLiteral("Type"),     QStringLiteral("Condition"),
    QStringLiteral("FileName"),      QStringLiteral("FileType"), QStringLiteral("Message"),
    QStringLiteral("mcontrol"),      QStringLiteral("mtype"),    QStringLiteral("Method"),
    QStringLiteral("MIPAddress"),    QStringLiteral("MIPPort"),  QStringLiteral("MFrame"),
    QStringLiteral("MSlot"),         QStringLiteral("MPort"),    QStringLiteral("MCommPort"),
    QStringLiteral("MBaudRate"),     QStringLiteral("tControl"), QStringLiteral("TriggerDest"),
    QStringLiteral("TriggerSource"), QStringLiteral("Color"),
};

std::filesystem::path fsPath(const QString& p) {
    return std::filesystem::path(QFile::encodeName(p).toStdString());
}

// True when both paths reach one and the same file or folder, however they are spelled
// (a trailing separator, "..", a symbolic link, a hard link).
bool sameFile(const QString& a, const QString& b) {
    std::error_code ec;
    const bool same = std::filesystem::equivalent(fsPath(a), fsPath(b), ec);
    return !ec && same;
}

QString folderOf(const QString& file) {
    return QFileInfo(file).absolutePath() + QLatin1Char('/');
}

bool present(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

enum class Wanted { No, Yes, Refused };

// The copy is never made onto the engine's own database (the row refresh would empty it), nor
// into any engine's program folder: its rows would replace the live rows of that engine.
Wanted copyWanted(const TaskViewPaths& e) {
    const QString& dir = e.taskViewDb;
    if (dir.isEmpty() || dir == QLatin1String(" ")) return Wanted::No;
    if (dir == e.appFolder || sameFile(dir, e.appFolder)) return Wanted::Refused;
    const QString copy = TaskViewCopyPath(dir);
    if (copy == e.databasePath || sameFile(copy, e.databasePath)) return Wanted::Refused;
    if (!QFileInfo(dir).isDir()) return Wanted::No;
    const QString folder = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
    if (present(folder + kEngineLockFileName) || present(folder + kEngineRecordFileName))
        return Wanted::Refused;
    return Wanted::Yes;
}

void removeIfPresent(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return;
    if (!QFile::remove(path)) fail(kErrPermission, QStringLiteral("Unable to delete ") + path);
}

// Flushes a finished file to the disk before it is renamed into place, so that a power cut
// cannot leave the copy's name on an empty file.
void syncFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(kErrFileIo, QStringLiteral("Unable to open ") + path);
    const int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0) fail(kErrFileIo, QStringLiteral("Unable to write ") + path);
}

// Puts a finished file in place of `target` in one step: a reader opens either the old file or
// the new one, never a file that is still being written.
void replaceFile(const QString& temp, const QString& target) {
    syncFile(temp);
    std::error_code ec;
    std::filesystem::rename(fsPath(temp), fsPath(target), ec);
    if (ec)
        fail(kErrFileIo, QStringLiteral("Unable to replace ") + target + QStringLiteral(": ") +
                             QString::fromStdString(ec.message()));
}

// Runs `body`, which writes `temp`; the temporary file does not outlive a failure.
template <typename F>
void withTempFile(const QString& temp, F&& body) {
    removeIfPresent(temp);  // left over from a run that was cut short
    try {
        body();
    } catch (...) {
        QFile::remove(temp);
        throw;
    }
}

void firstCopy(const TaskViewPaths& e, const QString& copy) {
    // A journal left beside a copy that no longer exists would be played back into the new one.
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        removeIfPresent(copy + QLatin1String(suffix));
    const QString temp = folderOf(copy) + kTempCopyName;
    withTempFile(temp, [&] {
        {
            // A read transaction holds off the editing tool's commits while the file is copied,
            // so the copy is one consistent state of the database.
            Database source(e.databasePath, e.busyTimeoutMs);
            source.exec(QStringLiteral("BEGIN"));
            {
                Statement lock(source, QStringLiteral("SELECT COUNT(*) FROM sqlite_master"));
                lock.run();
            }
            if (!QFile::copy(e.databasePath, temp))
                fail(kErrFileIo, QStringLiteral("Unable to copy ") + e.databasePath +
                                     QStringLiteral(" to ") + temp);
            source.exec(QStringLiteral("COMMIT"));
        }
        replaceFile(temp, copy);
    });
}

// Writes a compacted snapshot of the database at `from` into `to`. Reading the source needs no
// more than a read lock, so a viewer reading the copy does not hold this up.
void vacuumInto(const QString& from, const QString& to, int busyTimeoutMs) {
    Database db(from, busyTimeoutMs);
    Statement vacuum(db, QStringLiteral("VACUUM INTO ?1"));
    vacuum.bind(1, to);
    vacuum.run();
}

void replaceRows(const TaskViewPaths& e, const QString& target) {
    const QString columns =
        QStringLiteral("[") + kCopiedColumns.join(QStringLiteral("], [")) + QStringLiteral("]");
    std::vector<std::vector<FieldValue>> rows;
    {
        Database source(e.databasePath, e.busyTimeoutMs);
        Statement query(source,
                        QStringLiteral("SELECT %1 FROM Automation ORDER BY rowid").arg(columns));
        while (query.next()) {
            std::vector<FieldValue> row;
            row.reserve(static_cast<std::size_t>(kCopiedColumns.size()));
            for (int i = 0; i < kCopiedColumns.size(); ++i) row.push_back(query.value(i));
            rows.push_back(std::move(row));
        }
    }
    Database db(target);
    Transaction t(db);
    db.exec(QStringLiteral("DELETE FROM Automation"));
    QStringList marks;
    for (int i = 1; i <= kCopiedColumns.size(); ++i) marks << QStringLiteral("?%1").arg(i);
    Statement insert(db, QStringLiteral("INSERT INTO Automation (%1) VALUES (%2)")
                             .arg(columns, marks.join(QLatin1Char(','))));
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) insert.bind(static_cast<int>(i) + 1, row[i]);
        insert.run();
        insert.reset();
    }
    t.commit();
}

// The copy is never written in place: the refresh works on a snapshot beside it and renames
// the finished file over it. A viewer holding the copy open is neither blocked nor shown a
// part of the rows, and a refresh that fails leaves the copy as it was.
void refreshRows(Logs& logs, const TaskViewPaths& e, const QString& copy) {
    const QString work = folderOf(copy) + kTempCopyName;
    withTempFile(work, [&] {
        vacuumInto(copy, work, e.busyTimeoutMs);
        CheckDatabaseVersion(logs, work);
        replaceRows(e, work);
        replaceFile(work, copy);
    });
}

}  // namespace

QString TaskViewCopyPath(const QString& taskViewDb) {
    QString path = taskViewDb;
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    return path + kDatabaseFileName;
}

void CopyTaskViewDatabase(Logs& logs, const TaskViewPaths& e) {
    Guarded(logs, kCopyErrorLocation, [&] {
        switch (copyWanted(e)) {
            case Wanted::No:
                return;
            case Wanted::Refused:
                WriteErrorLog(logs,
                              QStringLiteral("TaskViewDB %1 is the program folder of an engine; no "
                                             "copy is made there")
                                  .arg(e.taskViewDb),
                              kCopyErrorLocation);
                return;
            case Wanted::Yes:
                break;
        }
        const QString copy = TaskViewCopyPath(e.taskViewDb);
        if (!QFileInfo::exists(copy)) {
            firstCopy(e, copy);
            return;
        }
        refreshRows(logs, e, copy);
        CompactTaskViewDatabase(logs, e);
    });
}

void CompactTaskViewDatabase(Logs& logs, const TaskViewPaths& e) {
    Guarded(logs, kCompactErrorLocation, [&] {
        const QString copy = TaskViewCopyPath(e.taskViewDb);
        // The temporary file lies beside the copy, not in the program folder: only a rename
        // within one folder (one file system) replaces the copy in a single step.
        const QString temp = folderOf(copy) + kTempCompactName;
        withTempFile(temp, [&] {
            vacuumInto(copy, temp, e.busyTimeoutMs);
            replaceFile(temp, copy);
        });
    });
}

}  // namespace tarvo
