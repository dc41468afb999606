// Time is injected: the programs use the system clock, tests a manual one on which a whole week of
// schedule runs in seconds. Besides telling the time, a clock sets alarms: every wait of a run is
// an alarm that resumes the run, so the manual clock can resume waits as it is moved on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>

#include <QDateTime>
#include <QTimeZone>

class QTimer;

namespace tarvo {

using AlarmId = uint64_t;

class Clock {
public:
    virtual ~Clock() = default;
    // Local date and time.
    virtual QDateTime now() const = 0;
    // The zone local times are in: what a date and time of day of the schedule mean as a moment.
    virtual QTimeZone zone() const = 0;
    // The millisecond tick counter, as a 32-bit signed number that wraps to negative.
    virtual int32_t tickCount() const = 0;
    // Milliseconds until the next tick of the main loop should fall.
    virtual int msUntilNextHalfSecond() const;
    // Runs `fire` once, `ms` milliseconds of elapsed time from now (a change of the wall clock
    // does not move it). Never calls `fire` from inside this call.
    virtual AlarmId setAlarm(int64_t ms, std::function<void()> fire) = 0;
    // Runs `fire` once when the wall clock reaches the moment `at` (at once when it has passed),
    // as close to it as the clock can: a timed event is decided at its second, not a part of a
    // millisecond after it. Never calls `fire` from inside this call. By default an alarm after
    // the elapsed time the wall clock shows until `at`.
    virtual AlarmId setAlarmAt(const QDateTime& at, std::function<void()> fire);
    // Harmless for an alarm that has fired or was cancelled already.
    virtual void cancelAlarm(AlarmId id) = 0;
};

class SystemClock : public Clock {
public:
    SystemClock();
    ~SystemClock() override;
    QDateTime now() const override;
    QTimeZone zone() const override { return QTimeZone::systemTimeZone(); }
    int32_t tickCount() const override;
    AlarmId setAlarm(int64_t ms, std::function<void()> fire) override;
    // On a kernel timer of the real-time clock set for the moment itself (nanoseconds), not on
    // a Qt timer, whose whole milliseconds, rounded up, make it up to two milliseconds late.
    AlarmId setAlarmAt(const QDateTime& at, std::function<void()> fire) override;
    void cancelAlarm(AlarmId id) override;

private:
    struct Pending {
        QObject* source;  // the QTimer, or the notifier of the kernel timer `fd`
        int fd = -1;
    };
    void startTimer(AlarmId id, int64_t ms, std::function<void()> fire);
    // Takes the alarm out; false when it was not pending.
    bool remove(AlarmId id);

    AlarmId next_ = 1;
    std::unordered_map<AlarmId, Pending> alarms_;
};

// A clock that only moves when told to. Alarms fire as `advance` passes them, each at its own
// moment and in the order they fall due.
class ManualClock : public Clock {
public:
    // `start` is read as a local time: in `zone` when one is set, else as it stands (a zoneless
    // clock costs no time-zone conversions, which a week of ticks would notice).
    explicit ManualClock(const QDateTime& start, int32_t tick = 1000);
    ManualClock(const QDateTime& start, const QTimeZone& zone, int32_t tick = 1000);
    QDateTime now() const override;
    QTimeZone zone() const override { return zoned_ ? zone_ : QTimeZone::utc(); }
    int32_t tickCount() const override { return tick_; }
    AlarmId setAlarm(int64_t ms, std::function<void()> fire) override;
    void cancelAlarm(AlarmId id) override;

    void advance(int64_t ms);
    // Moves to the next alarm, if one falls due within `ms`, and fires it; false when none does
    // (the clock has then not moved).
    bool fireNextWithin(int64_t ms);
    // Sets the wall clock (a clock jump); elapsed time, the tick counter and alarms are not
    // affected.
    void setNow(const QDateTime& t);
    void setTickCount(int32_t t) { tick_ = t; }
    std::size_t pendingAlarms() const { return alarms_.size(); }
    // Called before each alarm fires; tests let real sockets deliver their data here.
    std::function<void()> beforeAlarm;

private:
    void move(int64_t ms);

    bool zoned_ = false;
    QTimeZone zone_;
    QDateTime wall_;  // UTC instant when zoned, else the zoneless local time
    int32_t tick_;
    int64_t elapsed_ = 0;
    AlarmId next_ = 1;
    struct Alarm {
        AlarmId id;
        std::function<void()> fire;
    };
    std::multimap<int64_t, Alarm> alarms_;  // by elapsed time
    std::unordered_map<AlarmId, std::multimap<int64_t, Alarm>::iterator> byId_;
};

// True when more than `delay` ms have passed since the tick-count reading `start`. Handles the
// counter's wrap past 2147483647 by rewriting `start` once.
bool CheckDelayOn(const Clock& clock, int64_t& start, int64_t delay);

// Milliseconds from the tick-count reading `from` to the later reading `to`, across a wrap.
inline int64_t TicksBetween(int32_t from, int32_t to) {
    return static_cast<int64_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

}  // namespace tarvo
