#include "program_folder.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "logs/logs.h"
#include "store/event_store.h"
#include "store/sqlite.h"

namespace tarvo::cli {

namespace {

QString programDir() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

}  // namespace

bool DefaultIsUserFolder() {
#ifdef TARVO_INSTALL_BINDIR
    return programDir() == QDir::cleanPath(QStringLiteral(TARVO_INSTALL_BINDIR));
#else
    return false;
#endif
}

QString DefaultProgramFolder() {
    if (!DefaultIsUserFolder()) return programDir();
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/tarvo-automation");
}

QString SchemaPath() {
    return QDir::cleanPath(programDir() +
                           QStringLiteral("/../" TARVO_DATA_DIR "/TarvoAutomation.sql"));
}

QString ProgramFolderFor(const QStringList& operands, QString& message) {
    if (!operands.isEmpty()) return operands.first();
    const QString folder = DefaultProgramFolder();
    if (DefaultIsUserFolder() && !QFileInfo::exists(QDir(folder).filePath(kDatabaseFileName)) &&
        InitProgramFolder(folder, SchemaPath(), message) == InitResult::Failed)
        return QString();
    return folder;
}

bool LockProgramFolder(const QString& folder, QString& message) {
    const QString path = QDir(folder).filePath(kEngineLockFileName);
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    while (fd < 0 && errno == EINTR);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        message = fd < 0 ? QStringLiteral("cannot open the lock file %1: %2")
                               .arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                         : QStringLiteral("the lock file %1 is not a regular file").arg(path);
        if (fd >= 0) ::close(fd);
        return false;
    }
    int rc = 0;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc < 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        message = err == EWOULDBLOCK
                      ? QStringLiteral("another engine is running on %1 (it holds %2); this one "
                                       "does not start")
                            .arg(folder, kEngineLockFileName)
                      : QStringLiteral("cannot lock %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    // Kept open, and so locked, until the process ends.
    return true;
}

InitResult InitProgramFolder(const QString& folder, const QString& schemaPath, QString& message) {
    if (!QDir().mkpath(folder)) {
        message = QStringLiteral("cannot make the folder %1").arg(folder);
        return InitResult::Failed;
    }
    const QString database = QDir(folder).filePath(kDatabaseFileName);
    if (QFileInfo::exists(database)) {
        message = QStringLiteral("%1 is there already; it is left as it is").arg(database);
        return InitResult::AlreadyThere;
    }
    QFile schema(schemaPath);
    if (!schema.open(QIODevice::ReadOnly)) {
        message = QStringLiteral("cannot read the empty database's script %1: %2")
                      .arg(schemaPath, schema.errorString());
        return InitResult::Failed;
    }
    const QString script = QString::fromUtf8(schema.readAll());

    const QString partial = database + QStringLiteral(".new");
    QFile::remove(partial);
    try {
        QFile create(partial);
        if (!create.open(QIODevice::WriteOnly))
            throw TarvoError(
                0, QStringLiteral("cannot write %1: %2").arg(partial, create.errorString()));
        create.close();
        {
            Database db(partial);
            db.useRollbackJournal();
            Transaction t(db);
            db.exec(script);
            t.commit();
        }
        if (!QFile::rename(partial, database))
            throw TarvoError(0, QStringLiteral("cannot rename %1 to %2").arg(partial, database));
    } catch (...) {
        QFile::remove(partial);
        message = QStringLiteral("cannot make %1: %2")
                      .arg(database, CurrentFailure(std::current_exception()).description());
        return InitResult::Failed;
    }
    message = QStringLiteral("made the empty database %1").arg(database);
    return InitResult::Made;
}

}  // namespace tarvo::cli
