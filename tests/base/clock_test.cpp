// Alarms of the system clock set for a moment of the wall clock: never early, once, never from
// inside the call that sets them, and gone when cancelled or when the clock goes.
#include <gtest/gtest.h>

#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include "base/clock.h"

namespace tarvo {
namespace {

void turnUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
}

TEST(SystemClockAlarms, AMomentOfTheWallClockFiresOnceNeverBeforeItAndNotWhenCancelled) {
    SystemClock clock;
    const QDateTime start = clock.now();
    struct Fired {
        explicit Fired(const QDateTime& w) : want(w) {}
        QDateTime want, at;
        int times = 0;
    };
    // Ahead, ahead again (two alarms of one moment), passed long ago, at the epoch, cancelled.
    std::vector<Fired> fired{Fired(start.addMSecs(40)), Fired(start.addMSecs(40)), Fired(start.addSecs(-3600)),
                             Fired(QDateTime::fromMSecsSinceEpoch(0)), Fired(start.addMSecs(20))};
    std::vector<AlarmId> ids;
    for (Fired& f : fired)
        ids.push_back(clock.setAlarmAt(f.want, [&clock, &f] {
            ++f.times;
            f.at = clock.now();
        }));
    for (const Fired& f : fired) EXPECT_EQ(f.times, 0) << "fired inside the call that set it";
    clock.cancelAlarm(ids[4]);
    clock.cancelAlarm(ids[4]);  // twice is harmless
    turnUntil([&] { return fired[0].times && fired[1].times && fired[2].times && fired[3].times; }, 5000);
    turnUntil([] { return false; }, 60);  // room for a second firing or the cancelled one
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(fired[i].times, 1) << i;
        EXPECT_GE(fired[i].at, fired[i].want) << i;
    }
    EXPECT_EQ(fired[4].times, 0);
    clock.cancelAlarm(ids[0]);  // after it fired: harmless
}

TEST(SystemClockAlarms, AnAlarmMaySetAndCancelOthersAndTheClockTakesWhatIsLeftWithIt) {
    auto clock = std::make_unique<SystemClock>();
    int chained = 0, never = 0;
    AlarmId later = clock->setAlarmAt(clock->now().addSecs(3600), [&] { ++never; });
    clock->setAlarmAt(clock->now(), [&] {
        clock->cancelAlarm(later);
        clock->setAlarmAt(clock->now().addMSecs(5), [&] { ++chained; });
        clock->setAlarm(3600 * 1000, [&] { ++never; });  // left pending for the destructor
    });
    turnUntil([&] { return chained > 0; }, 5000);
    EXPECT_EQ(chained, 1);
    clock.reset();  // closes what is pending (the sanitizer build sees a leak or a double close)
    turnUntil([] { return false; }, 20);
    EXPECT_EQ(never, 0);
}

}  // namespace
}  // namespace tarvo
