#include "base/clock.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <QSocketNotifier>
#include <QTimer>

#include <sys/timerfd.h>
#include <unistd.h>

namespace tarvo {

int Clock::msUntilNextHalfSecond() const {
    // A millisecond or two past the half-second, so that a tick falls just after each second
    // and each half-second begins, never just before.
    const int ms = now().time().msec();
    return 500 - (ms % 500) + 2;
}

AlarmId Clock::setAlarmAt(const QDateTime& at, std::function<void()> fire) {
    return setAlarm(std::max<int64_t>(now().msecsTo(at), 0), std::move(fire));
}

SystemClock::SystemClock() = default;

SystemClock::~SystemClock() {
    for (auto& [id, pending] : alarms_) {
        delete pending.source;
        if (pending.fd >= 0) ::close(pending.fd);
    }
}

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

int32_t SystemClock::tickCount() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

bool SystemClock::remove(AlarmId id) {
    const auto it = alarms_.find(id);
    if (it == alarms_.end()) return false;
    if (auto* timer = qobject_cast<QTimer*>(it->second.source)) timer->stop();
    if (auto* notifier = qobject_cast<QSocketNotifier*>(it->second.source)) notifier->setEnabled(false);
    it->second.source->deleteLater();
    if (it->second.fd >= 0) ::close(it->second.fd);  // after the notifier no longer watches it
    alarms_.erase(it);
    return true;
}

AlarmId SystemClock::setAlarm(int64_t ms, std::function<void()> fire) {
    const AlarmId id = next_++;
    startTimer(id, ms, std::move(fire));
    return id;
}

void SystemClock::startTimer(AlarmId id, int64_t ms, std::function<void()> fire) {
    auto* timer = new QTimer;
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    alarms_.emplace(id, Pending{timer, -1});
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, fire = std::move(fire)] {
        if (!remove(id)) return;
        // The callback may set or cancel alarms, or destroy what set this one: nothing of this
        // alarm is touched after it.
        const std::function<void()> f = fire;
        f();
    });
    timer->start(static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX)));
}

AlarmId SystemClock::setAlarmAt(const QDateTime& at, std::function<void()> fire) {
    const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return Clock::setAlarmAt(at, std::move(fire));
    const int64_t ms = std::max<int64_t>(at.toMSecsSinceEpoch(), 0);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;  // zero disarms
    if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
        ::close(fd);
        return Clock::setAlarmAt(at, std::move(fire));
    }
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    const AlarmId id = next_++;
    alarms_.emplace(id, Pending{notifier, fd});
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this, id, at, fire = std::move(fire)] {
        if (!remove(id)) return;
        // The kernel's clock and the one read by now() are one, unless something stands between
        // them (a faked clock in a test): then the rest is waited out in elapsed time, so that an
        // alarm is never early, nor one that keeps coming early spins the loop.
        const int64_t early = now().msecsTo(at);
        if (early > 0) {
            startTimer(id, early, fire);
            return;
        }
        const std::function<void()> f = fire;
        f();
    });
    return id;
}

void SystemClock::cancelAlarm(AlarmId id) { remove(id); }

namespace {
QDateTime zoneless(const QDateTime& t) { return QDateTime(t.date(), t.time(), Qt::UTC); }
}  // namespace

ManualClock::ManualClock(const QDateTime& start, int32_t tick) : wall_(zoneless(start)), tick_(tick) {}

ManualClock::ManualClock(const QDateTime& start, const QTimeZone& zone, int32_t tick)
    : zoned_(true), zone_(zone), wall_(QDateTime(start.date(), start.time(), zone).toUTC()), tick_(tick) {}

QDateTime ManualClock::now() const { return zoned_ ? wall_.toTimeZone(zone_) : wall_; }

void ManualClock::setNow(const QDateTime& t) {
    wall_ = zoned_ ? QDateTime(t.date(), t.time(), zone_).toUTC() : zoneless(t);
}

AlarmId ManualClock::setAlarm(int64_t ms, std::function<void()> fire) {
    const AlarmId id = next_++;
    const auto it = alarms_.emplace(elapsed_ + std::max<int64_t>(ms, 0), Alarm{id, std::move(fire)});
    byId_.emplace(id, it);
    return id;
}

void ManualClock::cancelAlarm(AlarmId id) {
    const auto it = byId_.find(id);
    if (it == byId_.end()) return;
    alarms_.erase(it->second);
    byId_.erase(it);
}

void ManualClock::move(int64_t ms) {
    if (ms <= 0) return;
    elapsed_ += ms;
    wall_ = wall_.addMSecs(ms);
    tick_ = static_cast<int32_t>(static_cast<uint32_t>(tick_) + static_cast<uint32_t>(ms));
}

bool ManualClock::fireNextWithin(int64_t ms) {
    if (alarms_.empty() || alarms_.begin()->first > elapsed_ + ms) return false;
    move(alarms_.begin()->first - elapsed_);
    // What runs here may cancel the alarm that was due (its run ended meanwhile): the front is
    // looked at again afterwards.
    if (beforeAlarm) beforeAlarm();
    if (alarms_.empty() || alarms_.begin()->first > elapsed_) return true;
    const auto it = alarms_.begin();
    const std::function<void()> fire = std::move(it->second.fire);
    byId_.erase(it->second.id);
    alarms_.erase(it);
    fire();
    return true;
}

void ManualClock::advance(int64_t ms) {
    const int64_t end = elapsed_ + ms;
    while (fireNextWithin(end - elapsed_)) {
    }
    move(end - elapsed_);
}

bool CheckDelayOn(const Clock& clock, int64_t& start, int64_t delay) {
    constexpr int64_t kMax = 2147483647;
    const int64_t now = clock.tickCount();
    if (start + delay > kMax) {
        // The wait crosses the counter's wrap: not yet while the counter is still positive;
        // once it has turned negative, move `start` to the same side of the wrap.
        if (now >= 0) return false;
        start = -(kMax - start) - kMax;
    }
    return start + delay < now;
}

}  // namespace tarvo
