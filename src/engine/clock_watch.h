// Whether the system clock is synchronised. Every event falls at a time of day on this clock, so
// a clock that has lost its time source is the usual reason an event "ran at the wrong time":
// the engine asks the kernel once a minute and says so in the error log when it changes.
#pragma once

#include <memory>

#include <QString>

#include "base/clock.h"

namespace tarvo {

struct Logs;

enum class ClockSync { Unknown, Synchronised, Unsynchronised };

// Where the answer comes from: the kernel in the programs, a script in the tests.
class ClockSyncSource {
  public:
    virtual ~ClockSyncSource() = default;
    virtual ClockSync read() = 0;
};

// The kernel's NTP state (ntp_adjtime, read only): unsynchronised when it reports TIME_ERROR or
// STA_UNSYNC; unknown when it cannot be asked.
class KernelClockSync : public ClockSyncSource {
  public:
    ClockSync read() override;
};

inline const QString kClockUnsynchronisedText =
    QStringLiteral("System Clock Not Synchronised - Event Times May Be Wrong");
inline const QString kClockSynchronisedText = QStringLiteral("System Clock Synchronised Again");

// One error-log line when the clock becomes unsynchronised (also at the first look) and one when
// it is synchronised again; never one per look. An answer of Unknown changes nothing.
class ClockWatch {
  public:
    static constexpr int kIntervalMs = 60000;

    ClockWatch(Logs& logs, Clock& clock);
    ~ClockWatch();
    ClockWatch(const ClockWatch&) = delete;
    ClockWatch& operator=(const ClockWatch&) = delete;

    void setSource(std::unique_ptr<ClockSyncSource> source) { source_ = std::move(source); }
    // Looks now, then once every kIntervalMs of the engine's clock, until stop().
    void start();
    void stop();
    void check();
    ClockSync state() const { return state_; }

  private:
    void arm();

    Logs& logs_;
    Clock& clock_;
    std::unique_ptr<ClockSyncSource> source_;
    ClockSync state_ = ClockSync::Unknown;
    AlarmId alarm_ = 0;
};

}  // namespace tarvo
