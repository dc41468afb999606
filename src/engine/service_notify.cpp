#include "engine/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "engine/engine.h"

namespace tarvo {

namespace {

QString linkText(const SwitcherLink& link) {
    if (!link.Connected) return QStringLiteral("not connected");
    return link.Online ? QStringLiteral("online") : QStringLiteral("connected, not answering");
}

}  // namespace

ServiceNotifier::ServiceNotifier(Engine& e) : e_(e) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    if (enabled_ && sd_watchdog_enabled(0, &usec) > 0)
        keepAliveMs_ = static_cast<int64_t>(usec / 4000);
}

QString ServiceNotifier::StatusText(const Engine& e) {
    QString s = QStringLiteral("Switcher ") + linkText(e.switcher.master());
    if (e.settings.SlaveEnabled) s += QStringLiteral(", slave ") + linkText(e.switcher.slave());
    const Scheduler& sch = e.scheduler;
    if (sch.TotalEvents() == 0 || sch.NextEventIndex < 0 || sch.NextEventIndex >= sch.TotalEvents())
        return s + QStringLiteral("; no events");
    const AutomationEvent& ev = sch.Events[static_cast<std::size_t>(sch.NextEventIndex)];
    return s + QStringLiteral("; next ") + ev.DayName + QLatin1Char(' ') + ev.Time +
           QLatin1Char(' ') + ev.Title;
}

void ServiceNotifier::send(const QString& state) {
    // A service manager that cannot be told is no reason to stop: the answer is not looked at.
    sd_notify(0, state.toUtf8().constData());
}

void ServiceNotifier::sendStatusIfChanged() {
    const QString status = StatusText(e_);
    if (status == status_) return;
    status_ = status;
    // A status is one line; a title with a line break in it would end it early.
    send(QStringLiteral("STATUS=") + QString(status).replace(QLatin1Char('\n'), QLatin1Char(' ')));
}

void ServiceNotifier::startUpDone() {
    if (!enabled_ || ready_) return;
    ready_ = true;
    status_ = StatusText(e_);
    send(QStringLiteral("READY=1\nSTATUS=") +
         QString(status_).replace(QLatin1Char('\n'), QLatin1Char(' ')));
}

void ServiceNotifier::tickEnded(bool ranToEnd) {
    if (!enabled_ || !ready_ || !ranToEnd) return;
    if (keepAliveMs_ > 0) {
        const int32_t now = e_.clock.tickCount();
        // The tick counter wraps; the difference taken unsigned is the elapsed time all the same.
        const auto elapsed = static_cast<int32_t>(static_cast<uint32_t>(now) -
                                                  static_cast<uint32_t>(lastKeepAlive_));
        if (!keptAlive_ || elapsed >= keepAliveMs_) {
            keptAlive_ = true;
            lastKeepAlive_ = now;
            send(QStringLiteral("WATCHDOG=1"));
        }
    }
    sendStatusIfChanged();
}

void ServiceNotifier::stopping() {
    if (!enabled_) return;
    send(QStringLiteral("STOPPING=1"));
}

}  // namespace tarvo
