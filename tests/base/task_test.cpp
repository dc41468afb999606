// The machinery runs are made of: tasks that hand values and failures to their awaiter, waits
// that end in the order of their deadlines on the manual clock, queues that serve in order, and
// the set of runs whose stop ends suspended runs without resuming them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include <QStringList>

#include "base/clock.h"
#include "base/task.h"
#include "base/wait.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << s.toStdString(); }

namespace tarvo {
namespace {

// Counts how many of its kind are alive: a destroyed frame destroys its locals.
struct Alive {
    explicit Alive(int& n) : n_(n) { ++n_; }
    ~Alive() { --n_; }
    int& n_;
};

Task<int> answerAfter(Clock& clock, int ms, int value) {
    co_await ProcessWait(clock, ms);
    co_return value;
}

Task<int> failAfter(Clock& clock, int ms) {
    co_await ProcessWait(clock, ms);
    throw std::runtime_error("broken");
}

Task<> record(Clock& clock, int ms, QStringList& log, QString name, int& alive) {
    Alive a(alive);
    log << name + QStringLiteral(" starts");
    const int v = co_await answerAfter(clock, ms, ms);
    log << name + QStringLiteral(" after ") + QString::number(v);
}

TEST(Runs, WaitsEndInDeadlineOrderNeverLastInFirstOut) {
    ManualClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 0)));
    RunSet runs(&clock);
    QStringList log;
    int alive = 0;
    for (int ms : {300, 250, 200, 150, 100})
        ASSERT_TRUE(runs.start(record(clock, ms, log, QStringLiteral("run%1").arg(ms), alive)));
    EXPECT_EQ(runs.count(), 5);
    EXPECT_EQ(alive, 5);
    clock.advance(120);
    EXPECT_EQ(runs.longestMs(), 120);  // the runs in progress count too
    clock.advance(880);
    EXPECT_EQ(runs.count(), 0);
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(log.mid(5), (QStringList{"run100 after 100", "run150 after 150", "run200 after 200",
                                       "run250 after 250", "run300 after 300"}));
    EXPECT_EQ(runs.mostAtOnce(), 5);
    EXPECT_EQ(runs.startedCount(), 5u);
    EXPECT_EQ(runs.endedCount(), 5u);
    EXPECT_EQ(runs.longestMs(), 300);  // each ended when its wait did
}

TEST(Runs, AFailureReachesTheAwaiterAndARunEndsAtOnceWithoutWaiting) {
    ManualClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 0)));
    RunSet runs;
    std::string caught;
    bool done = false;
    ASSERT_TRUE(runs.start([](Clock& c, std::string& out) -> Task<> {
        try {
            co_await failAfter(c, 10);
        } catch (const std::runtime_error& x) {
            out = x.what();
        }
    }(clock, caught)));
    ASSERT_TRUE(runs.start([](bool& d) -> Task<> {
        d = true;
        co_return;
    }(done)));
    EXPECT_TRUE(done);  // ran to its end inside start()
    EXPECT_EQ(runs.count(), 1);
    clock.advance(10);
    EXPECT_EQ(caught, "broken");
    EXPECT_EQ(runs.count(), 0);
}

TEST(Runs, StopEndsSuspendedRunsWithoutResumingThemAndRefusesNewOnes) {
    ManualClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 0)));
    RunSet runs;
    QStringList log;
    int alive = 0;
    for (int ms : {100, 200}) ASSERT_TRUE(runs.start(record(clock, ms, log, QStringLiteral("r%1").arg(ms), alive)));
    ASSERT_EQ(alive, 2);
    ASSERT_EQ(clock.pendingAlarms(), 2u);
    runs.stopAll();
    EXPECT_EQ(alive, 0);                   // both frames and their nested tasks are gone
    EXPECT_EQ(clock.pendingAlarms(), 0u);  // and their waits withdrawn
    clock.advance(1000);
    EXPECT_EQ(log.size(), 2);  // nothing after their starts
    EXPECT_FALSE(runs.start(record(clock, 1, log, "late", alive)));
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(runs.startedCount(), 2u);  // a refused run never started
    EXPECT_EQ(runs.endedCount(), 2u);    // an ended run counts as ended
}

TEST(Runs, NoMoreThanTheLimitAtOnce) {
    ManualClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 0)));
    RunSet runs;
    QStringList log;
    int alive = 0;
    for (int k = 0; k < RunSet::kMaxRuns; ++k) ASSERT_TRUE(runs.start(record(clock, 50, log, "r", alive)));
    EXPECT_FALSE(runs.start(record(clock, 50, log, "one too many", alive)));
    EXPECT_EQ(alive, RunSet::kMaxRuns);
    clock.advance(50);
    EXPECT_EQ(runs.count(), 0);
    EXPECT_TRUE(runs.start(record(clock, 50, log, "room again", alive)));
}

Task<> queueUser(WaitQueue& q, QStringList& log, QString name) {
    const int why = co_await q.wait();
    log << name + QStringLiteral(":%1").arg(why);
}

TEST(Runs, AQueueServesInOrderAndForgetsAWaiterThatWasEnded) {
    RunSet runs;
    WaitQueue q;
    QStringList log;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(runs.start(queueUser(q, log, n)));
    EXPECT_EQ(q.size(), 3u);
    EXPECT_TRUE(q.wakeOne(1));
    EXPECT_EQ(log, QStringList{"a:1"});
    runs.stopAll();  // b and c are ended while queued: the queue lets go of them
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.wakeOne(2));
}

TEST(Runs, ManualClockFiresAlarmsAtTheirOwnMomentAndACancelledOneNever) {
    ManualClock clock(QDateTime(QDate(2026, 12, 7), QTime(9, 0)), 2147483000);
    std::vector<std::pair<int, int32_t>> fired;  // (which, tick count when fired)
    clock.setAlarm(700, [&] { fired.emplace_back(2, clock.tickCount()); });
    clock.setAlarm(300, [&] {
        fired.emplace_back(1, clock.tickCount());
        clock.setAlarm(100, [&] { fired.emplace_back(3, clock.tickCount()); });  // set from an alarm
    });
    const AlarmId cancelled = clock.setAlarm(500, [&] { fired.emplace_back(9, 0); });
    clock.cancelAlarm(cancelled);
    clock.setNow(QDateTime(QDate(2026, 12, 7), QTime(3, 0)));  // a wall-clock jump moves no alarm
    clock.advance(1000);
    const int32_t base = 2147483000;
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], std::make_pair(1, static_cast<int32_t>(base + 300)));
    // Past the counter's wrap: the alarm still fires after its 100 ms of elapsed time.
    EXPECT_EQ(fired[1].first, 3);
    EXPECT_EQ(static_cast<uint32_t>(fired[1].second) - static_cast<uint32_t>(base), 400u);
    EXPECT_EQ(fired[2].first, 2);
    EXPECT_EQ(clock.now().time(), QTime(3, 0, 1));
}

}  // namespace
}  // namespace tarvo
