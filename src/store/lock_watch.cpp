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

}  // namespace tarvo
