#include "store/lock_watch.h"

#include "logs/logs.h"
#include "store/sqlite.h"

namespace tarvo {

bool LockWatch::report(Logs& logs, const QString& location, const TarvoError& failure) {
    if (!IsLockFailure(failure)) {
        answered(logs);
        ReportError(logs, location, failure);
        return false;
    }
    if (!locked_) {
        locked_ = true;
        ReportError(logs, location, failure);
    }
    return true;
}

void LockWatch::answered(Logs& logs) {
    if (!locked_) return;
    locked_ = false;
    WriteErrorLog(logs, QStringLiteral("Database no longer locked"), QString());
}

void LockWatch::journalMode(Logs& logs, const QString& path, bool wal) {
    if (wal && !wal_)
        WriteErrorLog(logs,
                      path + QStringLiteral(
                                 " is in WAL journal mode, kept so by another program that has it "
                                 "open; the engine reads it as it is and sees an edit by its -wal file"),
                      QStringLiteral("Database Journal Mode"));
    wal_ = wal;
}

}  // namespace tarvo
