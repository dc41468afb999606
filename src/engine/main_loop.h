// Start-up, the timer tick and the exit of the engine.
#pragma once

#include <QObject>
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

private:
    void onTimeout();
    void arm();

    Engine& e_;
    Timing timing_;
    QTimer timer_;
    bool enabled_ = false;
};

// The start-up sequence; enables `loop` as its last step.
void StartUp(Engine& e, MainLoop& loop);
// One tick of the main loop. Never runs inside itself: a tick reached from inside a wait of a
// running tick returns at once.
void TimerTick(Engine& e);
// Writes "Program Exit": the last line of an orderly exit.
void ProgramExit(Engine& e);

// Texts of the status bar.
QString StatusDateText(const QDateTime& at);
QString StatusTimeText(const QDateTime& at);
QString StartupTimeText(const QDateTime& at);

inline const QString kCaptionServerNotConnected = QStringLiteral("Tarvo Automation - Server Not Connected");

}  // namespace tarvo
