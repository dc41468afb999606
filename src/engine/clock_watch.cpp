#include "engine/clock_watch.h"

#include <sys/timex.h>

#include "logs/logs.h"

namespace tarvo {

ClockSync KernelClockSync::read() {
    // modes = 0: a question, never an adjustment.
    struct timex tx = {};
    const int state = ::ntp_adjtime(&tx);
    if (state == -1) return ClockSync::Unknown;
    if (state == TIME_ERROR || (tx.status & STA_UNSYNC) != 0) return ClockSync::Unsynchronised;
    return ClockSync::Synchronised;
}

ClockWatch::ClockWatch(Logs& logs, Clock& clock)
    : logs_(logs), clock_(clock), source_(std::make_unique<KernelClockSync>()) {}

ClockWatch::~ClockWatch() {
    stop();
}

void ClockWatch::start() {
    stop();
    check();
    arm();
}

void ClockWatch::stop() {
    if (alarm_ != 0) clock_.cancelAlarm(alarm_);
    alarm_ = 0;
}

void ClockWatch::arm() {
    alarm_ = clock_.setAlarm(kIntervalMs, [this] {
        alarm_ = 0;
        check();
        arm();
    });
}

void ClockWatch::check() {
    if (logs_.closed || !source_) return;
    const ClockSync now = source_->read();
    if (now == ClockSync::Unknown || now == state_) return;
    // The first answer is worth a line only when it is bad news: a clock found synchronised at
    // start-up is the normal case.
    const bool first = state_ == ClockSync::Unknown;
    state_ = now;
    if (now == ClockSync::Unsynchronised)
        WriteErrorLog(logs_, kClockUnsynchronisedText, QString());
    else if (!first)
        WriteErrorLog(logs_, kClockSynchronisedText, QString());
}

}  // namespace tarvo
