#include "scheduler/clock.h"

#include <chrono>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace tarvo {

int Clock::msUntilNextHalfSecond() const {
    // A millisecond or two past the half-second, so that a tick falls just after each second
    // and each half-second begins, never just before.
    const int ms = now().time().msec();
    return 500 - (ms % 500) + 2;
}

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

int32_t SystemClock::tickCount() const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void SystemClock::sleep(int ms, bool pump) {
    if (ms <= 0) return;
    if (!pump || QCoreApplication::instance() == nullptr) {
        QThread::msleep(static_cast<unsigned long>(ms));
        return;
    }
    // A nested event loop that sleeps until the deadline or until events arrive.
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}

namespace {
// The manual clock keeps its wall time without a time zone: a week of ticks then costs no zone
// conversions, and tests read the same local times they set.
QDateTime zoneless(const QDateTime& t) { return QDateTime(t.date(), t.time(), Qt::UTC); }
}  // namespace

ManualClock::ManualClock(const QDateTime& start, int32_t tick) : now_(zoneless(start)), tick_(tick) {}

void ManualClock::setNow(const QDateTime& t) { now_ = zoneless(t); }

void ManualClock::advance(int64_t ms) {
    now_ = now_.addMSecs(ms);
    tick_ = static_cast<int32_t>(static_cast<uint32_t>(tick_) + static_cast<uint32_t>(ms));
}

void ManualClock::sleep(int ms, bool pump) {
    if (ms > 0) advance(ms);
    if (pump && QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

}  // namespace tarvo
