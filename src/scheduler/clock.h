// Time is injected: the programs use the system clock, tests a manual one that a whole week of
// schedule can be run on in seconds.
#pragma once

#include <cstdint>

#include <QDateTime>

namespace tarvo {

class Clock {
public:
    virtual ~Clock() = default;
    // Local date and time.
    virtual QDateTime now() const = 0;
    // The millisecond tick counter, as a 32-bit signed number that wraps to negative.
    virtual int32_t tickCount() const = 0;
    // Lets up to `ms` milliseconds pass while pending events are handled (when `pump`).
    virtual void sleep(int ms, bool pump) = 0;
    // Milliseconds until the next tick of the main loop should fall.
    virtual int msUntilNextHalfSecond() const;
};

class SystemClock : public Clock {
public:
    QDateTime now() const override;
    int32_t tickCount() const override;
    void sleep(int ms, bool pump) override;
};

// A clock that only moves when told to. Sleeping advances it instead of waiting.
class ManualClock : public Clock {
public:
    explicit ManualClock(const QDateTime& start, int32_t tick = 1000);
    QDateTime now() const override { return now_; }
    int32_t tickCount() const override { return tick_; }
    void sleep(int ms, bool pump) override;

    void advance(int64_t ms);
    // Sets the wall clock (a clock jump); the tick counter is not affected.
    void setNow(const QDateTime& t);
    void setTickCount(int32_t t) { tick_ = t; }

private:
    QDateTime now_;
    int32_t tick_;
};

}  // namespace tarvo
