#include "engine/engine.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <QDir>

#include "scheduler/next_event.h"
#include "scheduler/row_number.h"
#include "scheduler/timed_runner.h"
#include "scheduler/triggered.h"
#include "store/load_database.h"
#include "store/settings_store.h"
#include "store/task_view.h"

namespace tarvo {

namespace {

QString programFolder(const QString& folder) {
    QString f = QDir::cleanPath(QDir(folder).absolutePath());
    if (!f.endsWith(QLatin1Char('/'))) f += QLatin1Char('/');
    return f;
}

const QString kLoadLocation = QStringLiteral("Error Reading Automation DB");
const QString kUpdateDbInfoLocation = QStringLiteral("Error Updating DB Info");

}  // namespace

Engine::Engine(Clock& c, StatusView& v, const QString& folder)
    : clock(c),
      view(v),
      AppFolder(programFolder(folder)),
      logs(c, AppFolder),
      store(AppFolder + kDatabaseFileName),
      record(logs, AppFolder + kEngineRecordFileName),
      switcher(c, logs, v),
      peers(c, logs, AppFolder),
      scheduler(c, logs, v, switcher, peers, store, record, AppFolder),
      takes(c, logs, switcher),
      slaves(c, logs, switcher),
      clockWatch(logs, c) {
    store.record = &record;
    // What the switcher reports reaches the runners here: the lower modules know nothing of
    // the scheduler.
    switcher.optoChanged = [this](int opto, int state) {
        if (!exiting) ProcessOptoEvent(scheduler, opto, state, switcher.unitReadNs);
    };
    switcher.relayChanged = [this](int relay, int state) {
        if (!exiting) ProcessRelayEvent(scheduler, relay, state, switcher.unitReadNs);
    };
    switcher.watchesOutput = [this](int dest) { return !exiting && WatchesDestination(scheduler, dest); };
    switcher.outputChanged = [this](int dest, const OutputMap& before, const OutputMap& after) {
        DetermineCrosspointChange(scheduler, before, after, dest);
    };
    switcher.frameSent = [this](int link, const QByteArray& frame) {
        if (exiting) return;
        takes.frameSent(link, frame);
        slaves.frameSent(link, frame);
    };
    switcher.pictureChanged = [this](int link, int first, int count) {
        if (exiting) return;
        takes.pictureChanged(link, first, count);
        slaves.pictureChanged(link, first, count);
    };
    scheduler.runs.onEscapedFailure = [this](std::exception_ptr p) {
        ReportError(logs, QStringLiteral("Error Executing Event"), CurrentFailure(p));
    };
}

Engine::~Engine() {
    // Runs still suspended are ended before the parts they point at go.
    scheduler.runs.stopAll();
}

QString CaptionFor(const QString& future1) {
    if (future1.isEmpty() || future1 == QLatin1String(" ")) return QStringLiteral("Tarvo Automation");
    return QStringLiteral("Tarvo Automation - ") + future1;
}


namespace {

// A load frees a whole table (the one it replaces, and what the read itself needed), in
// thousands of small blocks that the allocator would otherwise keep for good.
void returnFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// False when the engine runs on with the table it had.
bool loadDatabase(Engine& e);

}  // namespace

void LoadDatabase(Engine& e) {
    if (loadDatabase(e)) e.view.databaseLoaded();
    returnFreedMemory();
}

namespace {

bool loadDatabase(Engine& e) {
    Scheduler& s = e.scheduler;
    DatabaseRead read = ReadAutomationDatabase(e.logs, e.store, e.settings);
    // A load that met a lock changes nothing, not even the identity of the file last read: the
    // next check finds the file different from it and tries again.
    using Load = Engine::Vitals::Load;
    if (read.locked) {
        e.vitals.lastLoad = Load::Locked;
        e.vitals.loadFailure = read.failure;
        return false;
    }
    e.vitals.lastLoad = read.outcome == DatabaseRead::Failed ? Load::Failed : Load::Read;
    e.vitals.loadFailure = read.failure;
    e.store.DatabaseIdentity = read.identity;
    if (read.outcome != DatabaseRead::Failed) s.tableRead = true;
    switch (read.outcome) {
        case DatabaseRead::Missing:
            // No file: no timed events; nothing else changes.
            s.Events.clear();
            e.view.setStatusPanel(1, TotalEventsText(0));
            return true;
        case DatabaseRead::NotAutomation:
            // The database is closed by now: the box holds neither the file nor the loop.
            s.Events.clear();
            e.view.showError(QStringLiteral("Invalid Database File"), QStringLiteral("File Error"));
            return true;
        case DatabaseRead::Failed:
            // Reported; the engine runs on with the last table it read in full.
            e.view.databaseUnreadable(read.failure);
            return false;
        case DatabaseRead::Read:
            break;
    }
    Guarded(e.logs, kLoadLocation, [&] {
        e.settings = std::move(read.settings);
        e.logs.MaxTallyFile = e.settings.MaxTallyFile;
        e.logs.ArchiveTally = e.settings.ArchiveTally;
        e.switcher.SlaveEnabled = e.settings.SlaveEnabled;
        e.switcher.master().wantedAddress = e.settings.IPAddr;
        e.switcher.master().wantedPort = e.settings.IPPort;
        e.switcher.slave().wantedAddress = e.settings.SlaveIPAddr;
        e.switcher.slave().wantedPort = e.settings.SlaveIPPort;
        e.view.setStatusPanel(1, TotalEventsText(static_cast<long long>(read.rows.size())));
        if (read.rows.empty()) {
            // The triggered lists stay as the last load built them; only the destinations that
            // crosspoint triggers watch are forgotten.
            s.Events.clear();
            s.CrosspointTriggerDests.clear();
            return;
        }
        // A row the engine could not find again by its Number never runs.
        ReportUnnumberedRows(e.logs, kLoadLocation, TakeOutUnnumberedRows(read.rows));
        SortEvents(read.rows);
        s.Events = std::move(read.rows);
        s.NextEventIndex = 0;
        BuildOptoEvents(s);
        BuildRelayEvents(s);
        BuildCrosspointEvents(s);
        // A new switcher address: the next tick connects to it. Compared with the address the
        // link is using, which an earlier load without rows may not have changed.
        SwitcherLink& master = e.switcher.master();
        if (master.address != e.settings.IPAddr || master.port != e.settings.IPPort) CloseSwitcherLink(e.switcher);
        if (!e.settings.TaskViewDB.isEmpty())
            CopyTaskViewDatabase(e.logs, TaskViewPaths{e.AppFolder, e.store.DatabasePath,
                                                        e.settings.TaskViewDB, e.store.busyTimeoutMs});
        e.view.setCaption(CaptionFor(e.settings.Future1));
    });
    return true;
}

}  // namespace

void ReselectNextEvent(Engine& e) {
    e.scheduler.NextEventIndex = DetermineNextEvent(e.scheduler);
    DisplayNextEvent(e.scheduler);
    ArmDueAlarm(e.scheduler);
}

int32_t MaxSizeFromBox(const QString& text) {
    bool ok = false;
    const long long v = text.trimmed().toLongLong(&ok);
    // Empty is not 0: "no limit" has to be typed as such.
    if (!ok) fail(kErrTypeMismatch, QStringLiteral("Type mismatch"));
    if (v < INT32_MIN || v > INT32_MAX) fail(kErrOverflow, QStringLiteral("Overflow"));
    return static_cast<int32_t>(v);
}

bool StoreSetup(Engine& e, EngineSettings edited, const QString& maxSizeText) {
    const bool converted = Guarded(e.logs, kUpdateDbInfoLocation, false, [&] {
        edited.MaxTallyFile = MaxSizeFromBox(maxSizeText);
        return true;
    });
    if (!converted) return false;
    const bool reload = edited.TaskViewDB != e.settings.TaskViewDB;
    // Taken over first: they stay in effect even when the file cannot take them.
    e.settings.StartMin = edited.StartMin;
    e.settings.ArchiveTally = edited.ArchiveTally;
    e.settings.MaxTallyFile = edited.MaxTallyFile;
    e.settings.Future1 = edited.Future1;
    e.settings.TaskViewDB = edited.TaskViewDB;
    e.logs.MaxTallyFile = edited.MaxTallyFile;
    e.logs.ArchiveTally = edited.ArchiveTally;
    try {
        StoreSetupSettings(e.store.DatabasePath, e.settings, e.store.busyTimeoutMs);
        e.store.lock.answered(e.logs);
    } catch (...) {
        e.store.lock.report(e.logs, kUpdateDbInfoLocation, CurrentFailure(std::current_exception()));
        return false;
    }
    if (reload) {
        // The load makes the copy in the new folder. The next event is chosen afresh as after
        // every other load, so the runner does not wait on event 0 until the next reload.
        LoadDatabase(e);
        ReselectNextEvent(e);
    }
    return true;
}

}  // namespace tarvo
