// The millisecond waits of a run. A wait is an alarm on the injected clock that resumes the run;
// the loop goes on meanwhile, and the manual clock of the tests resumes the run as it is moved on.
#pragma once

#include <coroutine>

#include "base/clock.h"
#include "base/task.h"

namespace tarvo {

class Sleep {
public:
    Sleep(Clock& clock, int64_t ms) : clock_(clock), ms_(ms) {}
    Sleep(const Sleep&) = delete;
    Sleep& operator=(const Sleep&) = delete;
    ~Sleep() {
        if (alarm_) clock_.cancelAlarm(alarm_);
    }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        alarm_ = clock_.setAlarm(ms_, [this, h] {
            alarm_ = 0;
            NoteStackDepth();
            h.resume();  // nothing of this object is touched afterwards: the run may have ended
        });
    }
    void await_resume() const noexcept {}

private:
    Clock& clock_;
    int64_t ms_;
    AlarmId alarm_ = 0;
};

// Suspends the run for `delay` milliseconds.
inline Sleep ProcessWait(Clock& clock, int delay) { return Sleep(clock, delay); }

}  // namespace tarvo
