// Shared by the fuzz targets that drive a whole engine: the program folder of the process, a
// window that shows nothing, Qt's application object for the nested waits, and the check that
// every failure the engine reported was one of its own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include "engine/engine.h"
#include "base/status_view.h"
#include "logs/logs.h"

namespace tarvo::fuzz {

using tarvo::QuietView;

// Qt's application object: the links queue the rest of a long burst on its loop.
inline void StartQt() {
    static int argc = 1;
    static char name[] = "tarvo-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

// One temporary folder for the whole process, made on first use and removed at exit. The
// engine writes its logs (and the loader target its database) for every input, so a folder in
// memory is taken when the machine has one.
inline const QString& ProcessFolder() {
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        const QString shm = QStringLiteral("/dev/shm");
        const QFileInfo info(shm);
        const QString base = info.isDir() && info.isWritable() ? shm : QDir::tempPath();
        auto d = std::make_unique<QTemporaryDir>(base + QStringLiteral("/tarvo-fuzz-XXXXXX"));
        if (!d->isValid()) {
            std::fprintf(stderr, "cannot make a temporary folder under %s\n", qPrintable(base));
            std::abort();
        }
        return d;
    }();
    static const QString path = dir->path() + QLatin1Char('/');
    return path;
}

// A subfolder of the process folder, made when missing.
inline QString SubFolder(const QString& name) {
    const QString path = ProcessFolder() + name + QLatin1Char('/');
    QDir().mkpath(path);
    return path;
}

// Descriptions the engine itself gives its failures of number 5. Any other failure of that
// number, and every "Out of memory", was an exception the engine did not raise itself (a
// standard-library check, a failed allocation) that only the boundary's catch-all stopped.
inline bool OwnInvalidCall(const QString& description) {
    static const QStringList own = {
        QStringLiteral("Invalid procedure call or argument"),
        QStringLiteral("Message kind "),
        QStringLiteral("Messages through the switcher are not sent"),
        QStringLiteral("Unknown message transport "),
        QStringLiteral("Invalid peer address '"),
        QStringLiteral("Invalid peer port "),
        QStringLiteral("Invalid serial port"),
        QStringLiteral("Template "),
    };
    for (const QString& o : own)
        if (description.startsWith(o)) return true;
    return false;
}

// Aborts when the error log of `folder` holds a failure the engine did not raise itself.
inline void CheckErrorLog(const QString& folder) {
    QFile f(folder + kErrorLogName);
    if (!f.open(QIODevice::ReadOnly)) return;
    const QString text = QString::fromUtf8(f.readAll());
    const QString invalidCall = ErrorMessageText(kErrInvalidCall, QString());
    const QString outOfMemory = ErrorMessageText(7, QString());
    for (const QString& line : text.split(QStringLiteral("\r\n"))) {
        const qsizetype at5 = line.indexOf(invalidCall);
        const bool foreign = line.contains(outOfMemory) ||
                             (at5 >= 0 && !OwnInvalidCall(line.mid(at5 + invalidCall.size())));
        if (foreign) {
            std::fprintf(stderr, "failure not raised by the engine: %s\n", qPrintable(line));
            std::abort();
        }
    }
}

inline void RemoveFile(const QString& path) {
    if (QFileInfo::exists(path)) QFile::remove(path);
}

// Aborts with a message: an invariant of the engine's state does not hold.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void Require(bool holds, const char* what) {
    if (!holds) Broken(what);
}

}  // namespace tarvo::fuzz
