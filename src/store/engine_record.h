// The engine's own record of what it has decided and what it still owes, kept in a small SQLite
// file of its own in the program folder ("TarvoEngineState.db"), apart from the operators'
// database: their locks never reach it, and nothing of it is theirs to edit.
//
// It holds the moment up to which every timed occurrence is decided and the occurrences after it
// already decided, the delayed queue (due moments as UTC instants, each with a copy of its row),
// the row changes still owed to the operators' database, and the runs in progress. Each entry is
// written before what it records takes effect, so a restart (a kill, a power cut, a standby
// taking over the folder) finds everything decided exactly once: nothing runs twice, and what
// fell due meanwhile is caught up or written off by the usual rules.
//
// Writes are SQLite transactions in WAL mode; those that guard an action (a timed decision, a
// run, a one-time delete) are flushed to the disk before they return. A record that cannot be
// written is reported once in the error log and once when it works again; the engine runs on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include <QDateTime>
#include <QString>

#include "store/automation_event.h"
#include "store/event_store.h"
#include "store/schedule_edit.h"

namespace tarvo {

struct Logs;
class Database;

inline const QString kEngineRecordFileName = QStringLiteral("TarvoEngineState.db");

// A timed occurrence: the row's Number, the date (Julian day) and the time of day in seconds.
using RecordedOccurrence = std::tuple<int16_t, qint64, int>;

// A delayed entry as the record keeps it.
struct RecordedDelayed {
    int64_t id = 0;
    QDateTime due;  // UTC
    bool deleteAfter = false;
    AutomationEvent event;
};

// A run that was in progress when the record was last written.
struct RecordedRun {
    int64_t id = 0;
    int16_t number = 0;
    QString title;
    // It had begun its actions (a decision that only refuses, queues or writes off is no run).
    bool acting = false;
    // What the run owes the database (a one-time row's delete, a skip row's re-arm).
    std::optional<PendingRowChange> owed;
};

// What the previous run of the engine left.
struct PreviousRun {
    bool endedInOrder = false;  // it wrote "Program Exit"
    QDateTime lastWritten;      // UTC: its last write to the record
    QDateTime horizon;          // UTC: every timed occurrence at or before it was decided
    std::vector<RecordedOccurrence> decided;
    std::vector<RecordedDelayed> delayed;  // by due moment, then as queued
    std::vector<PendingRowChange> owed;
    std::vector<RecordedRun> runs;
};

// What a run records before its first action, in one transaction.
struct RunStart {
    int16_t number = 0;
    QString title;
    bool acting = false;
    std::optional<PendingRowChange> owed;
    // The timed occurrence it decides, with its moment (UTC).
    std::optional<RecordedOccurrence> occurrence;
    QDateTime occurrenceAt;
    // The delayed entry it takes off the queue.
    int64_t delayedId = 0;
};

class EngineRecord {
public:
    EngineRecord(Logs& logs, const QString& path);
    ~EngineRecord();
    EngineRecord(const EngineRecord&) = delete;
    EngineRecord& operator=(const EngineRecord&) = delete;

    const QString path;

    // Opens the record (made when there is none) and marks this run as started. Returns what the
    // previous run left; empty on the first start ever, and when the record cannot be read (that
    // is reported). Until it is opened, every write below does nothing.
    std::optional<PreviousRun> open(const QDateTime& now);
    bool isOpen() const { return db_ != nullptr; }

    // Several writes made one transaction (nested freely); `durable` flushes it to the disk.
    class Batch {
    public:
        Batch(EngineRecord& record, bool durable);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        EngineRecord& r_;
        bool outer_ = false;
    };

    // What the previous run left in progress has been reported: its entries go, and `owed` (its
    // owed changes among them) is what is still owed to the database.
    void settlePrevious(const std::vector<PendingRowChange>& owed);
    // A decision that may act: returns the id its end names (0 when the record is not open).
    int64_t beginRun(const RunStart& start);
    // The run is over: its entry goes (what it owed the database is written by now, or kept
    // among the changes still owed).
    void endRun(int64_t id);
    // The run was ended at exit: its owed change joins those still owed, and it is not reported
    // as interrupted next time (it logged what it had done before "Program Exit").
    void abandonRun(int64_t id);
    // Returns the entry's id.
    int64_t addDelayed(const QDateTime& due, bool deleteAfter, const AutomationEvent& event);
    void removeDelayed(int64_t id);
    // The changes still owed to the database, as they stand now.
    void setOwed(const std::vector<PendingRowChange>& owed);
    // Every occurrence at or before `horizon` is decided: those recorded one by one are dropped.
    // Written at most every kAdvanceEveryMs unless `now` says otherwise (`always`): a horizon a
    // little behind costs nothing, as every decision after it is recorded one by one.
    static constexpr qint64 kAdvanceEveryMs = 30000;
    void advance(const QDateTime& horizon, const QDateTime& now, bool always = true);
    // The schedule's history (store/schedule_edit.h) on this record's connection: an entry
    // written (its id; 0 when the record is not open or the write failed, which is reported),
    // and the entries after `id`, oldest first.
    int64_t appendHistory(const ScheduleChange& change);
    std::vector<ScheduleChange> historySince(int64_t id);
    int64_t lastHistoryId();
    // "Program Exit": this run ended in order.
    void close(const QDateTime& horizon, const QDateTime& now);

private:
    template <typename F>
    void write(bool durable, F&& body);
    void begin(bool durable);
    void end(bool commit);

    Logs& logs_;
    std::unique_ptr<Database> db_;
    int depth_ = 0;
    bool durable_ = false;
    bool startedDurable_ = false;
    QDateTime lastAdvance_;
    bool failed_ = false;  // this transaction failed: it is rolled back at its end
    bool failing_ = false;  // reported, not yet working again
};

// The row copy of a delayed entry as bytes, and back (for the record).
QByteArray EncodeEvent(const AutomationEvent& ev);
// Whether two rows read the same, field for field, the kept texts included.
bool SameEvent(const AutomationEvent& a, const AutomationEvent& b);
std::optional<AutomationEvent> DecodeEvent(const QByteArray& bytes);

}  // namespace tarvo
