#include "engine/main_loop.h"

#include "engine/engine.h"
#include "engine/status_view.h"
#include "logs/logs.h"
#include "scheduler/clock.h"
#include "scheduler/conditions.h"
#include "scheduler/next_event.h"
#include "scheduler/time_arith.h"
#include "scheduler/timed_runner.h"
#include "scheduler/upkeep.h"
#include "store/load_database.h"
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
constexpr int kNoReplyLimit = 200;

void sampleClock(Engine& e) {
    const QDateTime now = e.clock.now();
    e.CurrentDate = now.date();
    e.CurrentTime = now.time().msecsSinceStartOfDay() / 1000;
    e.CurrentDay = DayIndexOf(now.date());
}

void reselectNextEvent(Engine& e) {
    e.NextEventIndex = DetermineNextEvent(e);
    DisplayNextEvent(e);
}

// Step 7 of the tick: reload when the file changed, show no events when it is gone.
void checkDatabaseFile(Engine& e) {
    if (!e.pendingUpkeep.empty()) RetryPendingUpkeep(e);
    if (const std::optional<QString> fileTime = FileTimeIfExists(e.DatabasePath)) {
        if (*fileTime != e.DatabaseFileTime) {
            LoadDatabase(e);
            reselectNextEvent(e);
        }
    } else if (e.TotalEvents != 0) {
        // Only the count is cleared: the tables keep their content until the file returns.
        e.TotalEvents = 0;
        DisplayNextEvent(e);
        e.view.setStatusPanel(1, TotalEventsText(0));
        e.DatabaseFileTime.clear();
    }
}

// Step 8: the event at the pointer, when it is due now or within its catch-up window.
void runDueTimedEvent(Engine& e, int16_t currentMinute) {
    if (e.holdActive) {
        int64_t start = e.holdStart;
        if (!CheckDelay(e, start, e.holdLength)) return;
        e.holdActive = false;
    }
    if (e.TotalEvents == 0) return;
    const AutomationEvent& ev = at(e.Events, e.NextEventIndex);
    const std::optional<int> seconds = EventSeconds(ev.Time);
    if (!seconds || ev.Day != e.CurrentDay) return;
    if (*seconds == e.CurrentTime) {
        ExecuteEvent(e);
    } else if (*seconds < e.CurrentTime && e.NextEventIndex != 0 &&
               currentMinute < ConvertToMinutes(e, *seconds, e.CurrentDay) + 3) {
        ExecuteEvent(e);  // a late tick: still within the same minute or the two after it
    }
}

void keepAlive(Engine& e) {
    if (e.SwitcherConnected) {
        if (e.NoReplyCount[kMaster] <= kNoReplyLimit) {
            SendRaw(e, QByteArray(1, static_cast<char>(kPing)), kMaster);
            e.NoReplyCount[kMaster] = to16(e.NoReplyCount[kMaster] + 1);
        } else {
            WriteErrorLog(e, QStringLiteral("Disconnecting - No Response from Server"), QString());
            CloseSwitcherLink(e);
        }
    }
    if (e.settings.SlaveEnabled && e.SlaveConnected && e.NoReplyCount[kSlave] <= kNoReplyLimit) {
        SendRaw(e, QByteArray(1, static_cast<char>(kPing)), kSlave);
        e.NoReplyCount[kSlave] = to16(e.NoReplyCount[kSlave] + 1);
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
    TimerTick(e_);
}

void StartUp(Engine& e, MainLoop& loop) {
    Guarded(e, QStringLiteral("Error Loading Form"), [&] {
        loop.disable();
        e.view.setCaption(kCaptionServerNotConnected);
        e.view.setIcon(LinkIcon::NotConnected);
        const QDateTime now = e.clock.now();
        e.view.setStatusPanel(2, StatusDateText(now));
        e.view.setStatusPanel(3, StartupTimeText(now));
        WriteActivityLog(e, QStringLiteral("Program Start"));
        e.Events.assign(1, AutomationEvent{});
        LoadDatabase(e);
        if (e.settings.StartMin) e.view.minimise();
        sampleClock(e);
        reselectNextEvent(e);
        e.SwitcherMap.assign(1, OutputMap{});
        e.SlaveSwitcherMap.assign(1, OutputMap{});
        e.OptoState.assign(kOptoRelayTableSize, 0);
        e.RelayState.assign(kOptoRelayTableSize, 0);
        ConnectSwitcher(e);
        if (e.settings.SlaveEnabled) {
            LoadSlaveSocket(e);
            ConnectSlave(e);
        }
        loop.enable();
    });
}

void TimerTick(Engine& e) {
    if (e.inTick) return;
    e.inTick = true;
    Guarded(e, QStringLiteral("Error processing timer"), [&] {
        e.TimerTicks = to16(e.TimerTicks + 1);
        const int16_t previousMinute = ConvertToMinutes(e, e.CurrentTime, e.CurrentDay);
        const QDateTime now = e.clock.now();
        e.view.setStatusPanel(2, StatusDateText(now));
        e.view.setStatusPanel(3, StatusTimeText(now));
        sampleClock(e);

        // Clock jumps: five minutes or more forward, or any step back other than the turn of
        // the week, choose the next event afresh.
        const int16_t currentMinute = ConvertToMinutes(e, e.CurrentTime, e.CurrentDay);
        if (currentMinute != previousMinute) {
            if (currentMinute >= previousMinute + 5)
                reselectNextEvent(e);
            else if (currentMinute < previousMinute && !(previousMinute >= 10074 && currentMinute <= 5))
                reselectNextEvent(e);
        }

        if (!e.SwitcherConnected) ConnectSwitcher(e);
        if (e.settings.SlaveEnabled && !e.SlaveConnected) ConnectSlave(e);

        if (e.TimerTicks > 4) checkDatabaseFile(e);

        runDueTimedEvent(e, currentMinute);
        RunDueDelayedEvents(e);

        for (int link : {kMaster, kSlave})
            if (!e.RxBuffer[static_cast<std::size_t>(link)].isEmpty()) ProcessReceiveBuffer(e, link);

        if (e.TimerTicks > 2) keepAlive(e);
        if (e.TimerTicks > 4) e.TimerTicks = 0;
    });
    e.inTick = false;
}

void ProgramExit(Engine& e) { WriteActivityLog(e, QStringLiteral("Program Exit")); }

}  // namespace tarvo
