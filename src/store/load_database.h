// Reading the event database: the settings of the Server and Info tables and the rows of
// Automation, as values. What the engine does with them is the engine's business.
#pragma once

#include <optional>
#include <vector>

#include <QString>

#include "store/automation_event.h"
#include "store/event_store.h"
#include "store/settings.h"

namespace tarvo {

struct Logs;

constexpr int kMaxEvents = 32767;

struct DatabaseRead {
    enum Outcome {
        Missing,        // no file: nothing else is read
        NotAutomation,  // the Type table names another kind of database
        Read,           // settings and rows below are the file's
        Failed,         // reported under "Error Reading Automation DB"; nothing read is used
    };
    Outcome outcome = Failed;
    // The read met another writer's lock (reported once while it lasts): nothing was read, and
    // the load is tried again at the next check.
    bool locked = false;
    // The identity of the file read, taken while the read held its lock; also when the read
    // failed for another reason than a lock, so that a damaged file is not read again at every
    // check. Nothing when the file is to be read again.
    std::optional<FileIdentity> identity;
    EngineSettings settings;
    // In Number order, at most kMaxEvents; the changes `store` still owes the file applied.
    std::vector<AutomationEvent> rows;
    // Why the read failed.
    QString failure;
};

// Brings the file up to the current schema and reads it, waiting for another writer's lock no
// longer than the store says (a lock is reported through the store's watch). Settings whose read
// fails keep their value in `previous`. The database is closed when this returns.
DatabaseRead ReadAutomationDatabase(Logs& logs, EventStore& store, const EngineSettings& previous);

// Reads the file as the engine would, but leaves it and the program folder as they are: the file
// is opened read-only and not upgraded (a column an older schema lacks reads as empty), nothing
// is logged, and every row is read, those beyond kMaxEvents after the first kMaxEvents.
DatabaseRead InspectAutomationDatabase(const QString& path);

// A row of Automation as a load reads it, and where it is stored.
struct StoredRow {
    int64_t rowid = 0;
    AutomationEvent event;
};
// The rows of Automation that carry `number`, each read as a load reads it.
std::vector<StoredRow> ReadRowsNumbered(Database& db, int16_t number);
// Those of `number`, or every row (in Number order), each read as a load reads it.
std::vector<StoredRow> ReadStoredRows(Database& db, std::optional<int16_t> number);

// Checks and normalises a dotted IPv4 address text; empty when it is not one.
std::optional<QString> ValidateAddress(const QString& text);

// Puts the event table in running order: Day, then Time (as text), then Priority, then Delay,
// leaving rows that tie on all four in the order the classic exchange passes leave them.
void SortEvents(std::vector<AutomationEvent>& events);

}  // namespace tarvo
