// What the headless engine tells a service manager that started it with Type=notify (systemd):
// READY once start-up is done, a watchdog keep-alive from every tick that ran to its end, a
// one-line STATUS (link state, a lock on the database, next event) when it changes, and STOPPING
// at exit. Without NOTIFY_SOCKET in the environment it does nothing at all.
//
// It watches the engine from outside: the program hangs it on the main loop's tick observer, so
// a loop that stops turning (or ticks that fail every time) stops the keep-alives, and the
// service manager restarts the engine.
#pragma once

#include <cstdint>

#include <QString>

namespace tarvo {

class Engine;

// How long the last error line stays in the status.
constexpr qint64 kRecentErrorMs = 60000;

class ServiceNotifier {
  public:
    // Reads the environment once: NOTIFY_SOCKET, and WATCHDOG_USEC for the keep-alive period.
    explicit ServiceNotifier(Engine& e);

    bool enabled() const { return enabled_; }
    // Keep-alives go out no more often than this: a quarter of the watchdog's period, so that
    // two may be lost before the service manager gives up. 0 when no watchdog is asked for.
    int64_t keepAliveEveryMs() const { return keepAliveMs_; }

    // Start-up is done: READY and the first STATUS, once.
    void startUpDone();
    void tickEnded(bool ranToEnd);
    void stopping();

    // "Switcher online, slave not connected; next Monday 09:00:00 Morning news", with
    // "; database locked" after the links while another writer's lock holds the engine off.
    static QString StatusText(const Engine& e);

  private:
    void send(const QString& state);
    void sendStatusIfChanged();

    Engine& e_;
    bool enabled_ = false;
    bool ready_ = false;
    int64_t keepAliveMs_ = 0;
    bool keptAlive_ = false;
    int32_t lastKeepAlive_ = 0;
    QString status_;
};

}  // namespace tarvo
