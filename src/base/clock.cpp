#include "base/clock.h"

#include <chrono>
#include <utility>

#include <QTimer>

namespace tarvo {

int Clock::msUntilNextHalfSecond() const {
    // A millisecond or two past the half-second, so that a tick falls just after each second
    // and each half-second begins, never just before.
    const int ms = now().time().msec();
    return 500 - (ms % 500) + 2;
}

SystemClock::SystemClock() = default;

SystemClock::~SystemClock() {
    for (auto& [id, timer] : alarms_) delete timer;
}

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

int32_t SystemClock::tickCount() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

AlarmId SystemClock::setAlarm(int64_t ms, std::function<void()> fire) {
    const AlarmId id = next_++;
    auto* timer = new QTimer;
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, fire = std::move(fire)] {
        const auto it = alarms_.find(id);
        if (it == alarms_.end()) return;
        it->second->deleteLater();
        alarms_.erase(it);
        // The callback may set or cancel alarms, or destroy what set this one: nothing of this
        // alarm is touched after it.
        const std::function<void()> f = fire;
        f();
    });
    alarms_.emplace(id, timer);
    timer->start(static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX)));
    return id;
}

void SystemClock::cancelAlarm(AlarmId id) {
    const auto it = alarms_.find(id);
    if (it == alarms_.end()) return;
    it->second->stop();
    it->second->deleteLater();
    alarms_.erase(it);
}

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
