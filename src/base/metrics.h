// Counters the modules keep where their events happen, for the engine's metrics text. Each is a
// plain value bumped on the loop: nothing here blocks, logs, or allocates once a reason has been
// seen the first time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include <QString>
#include <QStringView>

namespace tarvo {

// Nanoseconds of a monotonic clock, for latencies inside the process (not the schedule's
// clock: a latency is the machine's own time, whichever clock the schedule runs on).
int64_t MonotonicNs();

// Observations of a duration in seconds, in buckets with fixed upper bounds given once.
class Histogram {
public:
    static constexpr std::size_t kMaxBounds = 16;
    // Ascending upper bounds, at most kMaxBounds; the last bucket (+Inf) is implied.
    Histogram(std::initializer_list<double> bounds);
    void observe(double seconds);

    std::size_t bounds() const { return size_; }
    double bound(std::size_t i) const { return bounds_[i]; }
    // Observations at or below bound(i).
    uint64_t cumulative(std::size_t i) const;
    uint64_t count() const { return count_; }
    double sum() const { return sum_; }

private:
    std::array<double, kMaxBounds> bounds_{};
    std::array<uint64_t, kMaxBounds> counts_{};  // per bucket; above the last bound only in count_
    std::size_t size_ = 0;
    uint64_t count_ = 0;
    double sum_ = 0;
};

// Counts by a reason: the words of one of the engine's own refusal texts, a bounded set. The
// first kMaxReasons distinct reasons get a count each; any further one is counted as "other", so
// the set of label values stays bounded whatever a row holds.
class ReasonCounts {
public:
    static constexpr std::size_t kMaxReasons = 32;
    void add(QStringView reason, uint64_t n = 1);
    std::size_t size() const { return size_; }
    const QString& reason(std::size_t i) const { return reasons_[i]; }
    uint64_t value(std::size_t i) const { return values_[i]; }
    uint64_t other() const { return other_; }
    // The count of one reason (0 when never seen).
    uint64_t of(QStringView reason) const;

private:
    std::array<QString, kMaxReasons> reasons_;
    std::array<uint64_t, kMaxReasons> values_{};
    std::size_t size_ = 0;
    uint64_t other_ = 0;
};

}  // namespace tarvo
