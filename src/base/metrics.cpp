#include "base/metrics.h"

#include <chrono>

namespace tarvo {

int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Histogram::Histogram(std::initializer_list<double> bounds) {
    for (double b : bounds) {
        if (size_ == kMaxBounds) break;
        bounds_[size_++] = b;
    }
}

void Histogram::observe(double seconds) {
    ++count_;
    sum_ += seconds;
    for (std::size_t i = 0; i < size_; ++i) {
        if (seconds <= bounds_[i]) {
            ++counts_[i];
            return;
        }
    }
}

uint64_t Histogram::cumulative(std::size_t i) const {
    uint64_t n = 0;
    for (std::size_t k = 0; k <= i && k < size_; ++k) n += counts_[k];
    return n;
}

void ReasonCounts::add(QStringView reason, uint64_t n) {
    for (std::size_t i = 0; i < size_; ++i) {
        if (reasons_[i] == reason) {
            values_[i] += n;
            return;
        }
    }
    if (size_ == kMaxReasons) {
        other_ += n;
        return;
    }
    reasons_[size_] = reason.toString();
    values_[size_++] = n;
}

uint64_t ReasonCounts::of(QStringView reason) const {
    for (std::size_t i = 0; i < size_; ++i)
        if (reasons_[i] == reason) return values_[i];
    return 0;
}

}  // namespace tarvo
