// The engine: it owns and composes the state of every module (the logs, the event store and
// settings, the two switcher links and the switcher picture, the peer ports, the scheduler with
// its tables, delayed queue and runs), wires the switcher's reports to the triggered runners,
// and is the one place that sequences start-up, a reload, the tick and exit.
#pragma once

#include <cstdint>

#include <QString>

#include "base/clock.h"
#include "base/status_view.h"
#include "engine/clock_watch.h"
#include "engine/watch.h"
#include "logs/logs.h"
#include "scheduler/next_event.h"
#include "scheduler/scheduler.h"
#include "store/engine_record.h"
#include "store/event_store.h"
#include "store/settings.h"
#include "switcher/links.h"
#include "switcher/peer_messages.h"

namespace tarvo {

class Engine {
public:
    // `folder` is the program folder; the database and both logs live there.
    Engine(Clock& clock, StatusView& view, const QString& folder);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Clock& clock;
    StatusView& view;
    // Always ends in the folder separator.
    const QString AppFolder;

    Logs logs;
    EventStore store;
    // What the engine has decided and still owes, kept across restarts.
    EngineRecord record;
    EngineSettings settings;
    Switcher switcher;
    PeerPorts peers;
    Scheduler scheduler;
    TakeWatch takes;
    SlaveWatch slaves;
    // Whether the system clock is synchronised; the programs start it, the About dialog shows
    // it. Nothing of the schedule depends on it.
    ClockWatch clockWatch;

    // Counts the ticks 1 to 5 (the rhythm of the keep-alive and the file check).
    int16_t TimerTicks = 0;
    // What the engine's health and metrics read of the loop and the loads (engine/metrics.h).
    struct Vitals {
        // When the last tick that ran to its end ended: wall-clock milliseconds since the epoch,
        // -1 before the first.
        qint64 lastTickEndedMs = -1;
        enum class Load { None, Read, Locked, Failed };
        // The last load's outcome: Read also for a missing file or a foreign one (nothing to
        // read, and said so); Locked when another writer's lock kept it off, Failed when the file
        // could not be read, with `loadFailure` the error log's reason.
        Load lastLoad = Load::None;
        QString loadFailure;
        // Runs of the previous process that a kill cut off, said at start-up.
        uint64_t interruptedRuns = 0;
    } vitals;
    // Exit has begun: nothing starts, nothing more is sent or logged.
    bool exiting = false;
};

// Reads the database and makes it the engine's: settings, the event table in running order, the
// triggered lists, a new switcher address, the task-view copy, the caption and the event count.
// The one reload sequence, used by start-up, the tick's file check and Setup. The database is
// closed before anything is shown.
void LoadDatabase(Engine& e);
// Chooses the next timed event afresh and shows it.
void ReselectNextEvent(Engine& e);

// Setup's OK: stores the settings the dialog edits and, when the task-view folder changed,
// reloads (which makes the copy there) and chooses the next event afresh. `maxSizeText` is the
// Max Size box as typed: text that is no number (an emptied box) fails the conversion, and
// nothing is taken over or stored. False when the settings were not stored (reported under
// "Error Updating DB Info").
bool StoreSetup(Engine& e, EngineSettings edited, const QString& maxSizeText);
// The Max Size box as a 32-bit number; a failure for text that is none.
int32_t MaxSizeFromBox(const QString& text);

// The caption for a station title, and the event-count text of status panel 1.
QString CaptionFor(const QString& future1);

}  // namespace tarvo
