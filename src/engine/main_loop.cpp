#include "engine/main_loop.h"

#include <algorithm>

#include "base/status_view.h"
#include "engine/engine.h"
#include "logs/logs.h"
#include "scheduler/clock_rules.h"
#include "scheduler/conditions.h"
#include "store/engine_record.h"
#include "scheduler/next_event.h"
#include "scheduler/run_event.h"
#include "scheduler/time_arith.h"
#include "scheduler/timed_runner.h"
#include "store/sqlite.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"

namespace tarvo {

namespace {

const char* const kLongDays[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int kOptoRelayTableSize = 2049;
// Polls without an answer before the master link is given up.
constexpr int kNoReplyLimit = 200;
// Every fifth tick the database file is looked at; from the third on, the switchers are polled.
constexpr int kFileCheckTick = 5;
constexpr int kKeepAliveTick = 3;
void reconnectLinks(Engine& e) {
    if (!e.switcher.master().Connected) ConnectSwitcher(e.switcher);
    if (e.settings.SlaveEnabled && !e.switcher.slave().Connected) ConnectSlave(e.switcher);
}

}  // namespace

// Reload when the file changed (or the last load met a lock); show no events when it is gone.
// Nothing here waits for another writer's lock: what meets one gives up at once and is tried
// again at the next check.
void CheckDatabaseFile(Engine& e) {
    if (!e.store.pending.empty()) e.store.retryPending(e.logs);
    if (const std::optional<FileIdentity> identity = FileIdentityIfExists(e.store.DatabasePath, e.store.DatabaseIdentity)) {
        if (identity != e.store.DatabaseIdentity) {
            LoadDatabase(e);
            ReselectNextEvent(e);
        }
    } else {
        // Whatever comes back in its place is read.
        e.store.DatabaseIdentity.reset();
        if (e.scheduler.TotalEvents() == 0) return;
        // No timed events until the file returns; the triggered lists keep their entries.
        e.scheduler.Events.clear();
        DisplayNextEvent(e.scheduler);
        e.view.setStatusPanel(1, TotalEventsText(0));
    }
}

namespace {

// What the previous run left: said in the activity log, and what it owed taken over before the
// rows are read (an owed delete keeps its row out of the load, as does a one-time row whose
// delayed run is still to come).
void takeOverBeforeLoad(Engine& e, const PreviousRun& previous) {
    if (!previous.endedInOrder) {
        const QDateTime last = previous.lastWritten.toTimeZone(e.clock.zone());
        WriteActivityLog(e.logs, kPreviousRunNotEnded + ActivityLogLine(last, QString()).trimmed());
    }
    std::vector<PendingRowChange> owed = previous.owed;
    for (const RecordedRun& run : previous.runs) {
        if (run.acting) {
            WriteActivityLog(e.logs, run.title + kInterrupted);
            ++e.vitals.interruptedRuns;
        }
        // A change owed by a run may be among the owed ones already (a kill between the two writes).
        if (run.owed && std::find(owed.begin(), owed.end(), *run.owed) == owed.end()) owed.push_back(*run.owed);
    }
    e.store.pending = owed;
    e.record.settlePrevious(owed);
    // Written now where the file takes them (before the rows are read); the rest at the checks.
    if (!e.store.pending.empty()) e.store.retryPending(e.logs);
    for (const RecordedDelayed& d : previous.delayed)
        if (d.deleteAfter) e.store.awaitingDelete.push_back(HeldBackDelete(d.event.Number));
}

void keepAlive(Engine& e) {
    SwitcherLink& master = e.switcher.master();
    if (master.Connected) {
        if (master.NoReplyCount <= kNoReplyLimit) {
            SendRaw(e.switcher, QByteArray(1, static_cast<char>(kPing)), kMaster);
            master.NoReplyCount = to16(master.NoReplyCount + 1);
        } else {
            WriteErrorLog(e.logs, QStringLiteral("Disconnecting - No Response from Server"), QString());
            CloseSwitcherLink(e.switcher);
        }
    }
    SwitcherLink& slave = e.switcher.slave();
    if (e.settings.SlaveEnabled && slave.Connected && slave.NoReplyCount <= kNoReplyLimit) {
        SendRaw(e.switcher, QByteArray(1, static_cast<char>(kPing)), kSlave);
        slave.NoReplyCount = to16(slave.NoReplyCount + 1);
    }
}

}  // namespace

QString StatusDateText(const QDateTime& at) {
    const QDate d = at.date();
    return QStringLiteral("%1, %2 %3 %4 ")
        .arg(QLatin1String(kLongDays[d.dayOfWeek() - 1]), QLatin1String(kShortMonths[d.month() - 1]))
        .arg(d.day())
        .arg(d.year());
}

QString StatusTimeText(const QDateTime& at) {
    return FormatTimeOfDay(at.time().msecsSinceStartOfDay() / 1000);
}

QString StartupTimeText(const QDateTime& at) {
    const QTime t = at.time();
    int h = t.hour() % 12;
    if (h == 0) h = 12;
    return QStringLiteral("%1:%2:%3 %4")
        .arg(h, 2, 10, QLatin1Char('0'))
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.second(), 2, 10, QLatin1Char('0'))
        .arg(t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
}

MainLoop::MainLoop(Engine& e, Timing timing) : e_(e), timing_(timing) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(timing_ == Timing::Aligned);
    connect(&timer_, &QTimer::timeout, this, &MainLoop::onTimeout);
}

void MainLoop::arm() {
    if (timing_ == Timing::Aligned)
        timer_.start(e_.clock.msUntilNextHalfSecond());
    else if (!timer_.isActive())
        timer_.start(500);
}

void MainLoop::enable() {
    enabled_ = true;
    arm();
}

void MainLoop::disable() {
    enabled_ = false;
    timer_.stop();
}

void MainLoop::onTimeout() {
    if (!enabled_) return;
    arm();  // the next tick is armed first, so a tick that waits does not stop the clock
    const bool ranToEnd = TimerTick(e_);
    if (tickEnded_) tickEnded_(ranToEnd);
}

void StartUp(Engine& e, MainLoop& loop) {
    Guarded(e.logs, QStringLiteral("Error Loading Form"), [&] {
        loop.disable();
        e.view.setCaption(kCaptionServerNotConnected);
        e.view.setIcon(LinkIcon::NotConnected);
        const QDateTime now = e.clock.now();
        e.view.setStatusPanel(2, StatusDateText(now));
        e.view.setStatusPanel(3, StartupTimeText(now));
        WriteActivityLog(e.logs, QStringLiteral("Program Start"));
        const std::optional<PreviousRun> previous = e.record.open(now.toUTC());
        if (previous) takeOverBeforeLoad(e, *previous);
        e.scheduler.Events.clear();
        LoadDatabase(e);
        if (e.settings.StartMin) e.view.minimise();
        Scheduler& s = e.scheduler;
        StepClock(s);
        if (previous && (previous->horizon.isValid() || previous->lastWritten.isValid())) {
            // What fell due while no engine ran is decided now, by the usual rules. A run killed
            // before it wrote its horizon (during its start) had decided nothing after its start.
            const QDateTime horizon = previous->horizon.isValid() ? previous->horizon : previous->lastWritten;
            ResumeTimedRunner(s, horizon, previous->decided);
        } else {
            // The first start: what is due from this second on runs; what fell due before does not.
            s.horizon = s.CurrentUtc.addMSecs(-s.CurrentUtc.time().msec() - 1);
            e.record.advance(s.horizon, s.CurrentUtc);
        }
        if (previous) {
            std::vector<DelayedEvent> delayed;
            for (const RecordedDelayed& d : previous->delayed) delayed.push_back({d.event, d.due, d.deleteAfter, d.id});
            RestoreDelayedEvents(s, std::move(delayed));
        }
        ReselectNextEvent(e);
        e.switcher.master().resetMap();
        e.switcher.slave().resetMap();
        e.switcher.OptoState.assign(kOptoRelayTableSize, 0);
        e.switcher.RelayState.assign(kOptoRelayTableSize, 0);
        ConnectSwitcher(e.switcher);
        if (e.settings.SlaveEnabled) {
            LoadSlaveSocket(e.switcher);
            ConnectSlave(e.switcher);
        }
        loop.enable();
    });
}

bool TimerTick(Engine& e) {
    if (e.exiting) return false;
    const bool ranToEnd = Guarded(e.logs, QStringLiteral("Error processing timer"), false, [&] {
        Scheduler& s = e.scheduler;
        e.TimerTicks = to16(e.TimerTicks + 1);
        const QDateTime now = e.clock.now();
        e.view.setStatusPanel(2, StatusDateText(now));
        e.view.setStatusPanel(3, StatusTimeText(now));
        // The sample every step of this tick uses; a change of the clock chooses afresh.
        StepClock(s);

        reconnectLinks(e);
        if (e.TimerTicks >= kFileCheckTick) CheckDatabaseFile(e);
        TimedStep(s);
        RunDueDelayedEvents(s);
        for (int link : {kMaster, kSlave})
            if (!e.switcher.link(link).RxBuffer.isEmpty()) ConsumeOneUnit(e.switcher, link);
        if (e.TimerTicks >= kKeepAliveTick) keepAlive(e);
        if (e.TimerTicks >= kFileCheckTick) {
            // How far the timed runner has decided, kept for a restart.
            e.record.advance(s.horizon, s.CurrentUtc, false);
            e.TimerTicks = 0;
        }
        return true;
    });
    if (ranToEnd) e.vitals.lastTickEndedMs = e.clock.now().toMSecsSinceEpoch();
    return ranToEnd;
}

void ProgramExit(Engine& e, MainLoop* loop) {
    if (e.exiting) return;
    e.exiting = true;
    if (loop) loop->disable();
    e.clockWatch.stop();
    // Ended without being resumed: whatever they would still have sent or logged never is.
    e.scheduler.runs.stopAll();
    ArmDueAlarm(e.scheduler);  // stopped runs: the alarm is withdrawn
    // Ended in order: the next start reports nothing as interrupted and catches up from here.
    e.record.close(e.scheduler.horizon, e.clock.now().toUTC());
    // Nothing queued for a switcher goes out after the last line.
    e.switcher.master().closeSocket();
    e.switcher.slave().closeSocket();
    WriteActivityLog(e.logs, QStringLiteral("Program Exit"));
    CloseLogs(e.logs);
}

}  // namespace tarvo
