// Start-up, the timer tick and the exit of the engine.
#pragma once

#include <functional>

#include <QObject>
#include <QString>
#include <QTimer>

namespace tarvo {

class Engine;

// The main-loop timer. Each tick is armed as a single-shot precise timer for just after the next
// wall-clock half-second, so a tick falls just after every second begins and an event is never
// decided up to half a second late. (The plain repeating 500 ms timer is kept for comparison.)
class MainLoop : public QObject {
    Q_OBJECT
public:
    enum class Timing { Aligned, Plain };
    explicit MainLoop(Engine& e, Timing timing = Timing::Aligned);
    void enable();
    void disable();
    bool enabled() const { return enabled_; }
    // Called after every tick with whether it ran to its end; what watches the engine from
    // outside (a service manager's watchdog) hangs here, not inside the tick.
    void onTickEnded(std::function<void(bool ranToEnd)> observer) { tickEnded_ = std::move(observer); }

private:
    void onTimeout();
    void arm();

    Engine& e_;
    Timing timing_;
    QTimer timer_;
    bool enabled_ = false;
    std::function<void(bool)> tickEnded_;
};

// The start-up sequence; enables `loop` as its last step.
void StartUp(Engine& e, MainLoop& loop);
// One tick of the main loop. It never waits: it starts runs and returns. True when it ran to its
// end: not while exiting, and not when a failure cut it short.
bool TimerTick(Engine& e);
// Reloads the database when its file changed (or the last load met a lock); at every fifth tick,
// and at once after the console's own edit.
void CheckDatabaseFile(Engine& e);
// The orderly exit: the loop stops, no run starts any more, the runs still waiting are ended
// (they send and log nothing more), the switcher links are closed, and "Program Exit" is written
// as the last line of the activity log. Runs once; `loop` may be null.
void ProgramExit(Engine& e, MainLoop* loop);

// The start's lines about the run before: one that did not end with "Program Exit" (followed
// by its last write's stamp), and each run of it that a kill cut off (after its Title).
inline const QString kPreviousRunNotEnded = QStringLiteral("Previous Run Ended Without Program Exit - Last Written ");
inline const QString kInterrupted = QStringLiteral(" interrupted - Not Repeated");

// Texts of the status bar.
QString StatusDateText(const QDateTime& at);
QString StatusTimeText(const QDateTime& at);
QString StartupTimeText(const QDateTime& at);

}  // namespace tarvo
