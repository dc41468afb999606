// Another writer's lock on the database, as the engine's own statements meet it. The editing
// tool may hold its transaction for seconds or minutes, and the engine tries again at every file
// check: the lock is reported when it starts and when it ends, never once a try.
#pragma once

#include <QString>

namespace tarvo {

struct Logs;
class TarvoError;

class LockWatch {
  public:
    // A lock reported and not yet seen to end.
    bool locked() const { return locked_; }
    // Reports `failure` under `location` (the place of the statement that met it), unless it is
    // a lock and one is already reported. True when it was a lock.
    bool report(Logs& logs, const QString& location, const TarvoError& failure);
    // A statement got through to the file (it went through, or failed for a reason that is not
    // a lock): a lock reported before has ended.
    void answered(Logs& logs);

    // The journal mode the file was found in. A file that another program keeps in WAL mode
    // (the engine cannot switch it back while that program has it open) is reported once, until
    // it is found in rollback mode again.
    void journalMode(Logs& logs, const QString& path, bool wal);

  private:
    bool locked_ = false;
    bool wal_ = false;
};

}  // namespace tarvo
