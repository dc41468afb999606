#include "engine/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "engine/engine.h"

namespace tarvo {

namespace {

// The service manager's notification protocol: one datagram of "KEY=value" lines to the socket
// NOTIFY_SOCKET names (a path, or an abstract name written with a leading '@').
void notifyServiceManager(const QByteArray& state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if (length >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::sendto(fd, state.constData(), static_cast<std::size_t>(state.size()), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    ::close(fd);
}

// The keep-alive interval the service manager asked for, in microseconds (0: none): WATCHDOG_USEC,
// unless WATCHDOG_PID names another process.
uint64_t watchdogUsec() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !*usec) return 0;
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid) {
        char* end = nullptr;
        const long long p = std::strtoll(pid, &end, 10);
        if (*end != '\0' || p != static_cast<long long>(::getpid())) return 0;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(usec, &end, 10);
    return *end == '\0' ? v : 0;
}

QString linkText(const SwitcherLink& link) {
    if (!link.Connected) return QStringLiteral("not connected");
    return link.Online ? QStringLiteral("online") : QStringLiteral("connected, not answering");
}

}  // namespace

ServiceNotifier::ServiceNotifier(Engine& e) : e_(e) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    if (enabled_) keepAliveMs_ = static_cast<int64_t>(watchdogUsec() / 4000);
}

QString ServiceNotifier::StatusText(const Engine& e) {
    QString s = QStringLiteral("Switcher ") + linkText(e.switcher.master());
    if (e.settings.SlaveEnabled) s += QStringLiteral(", slave ") + linkText(e.switcher.slave());
    // The editing tool holds the database: loads and the engine's own writes wait for it.
    if (e.store.lock.locked()) s += QStringLiteral("; database locked");
    // A log whose name something other than a regular file has taken: nothing goes into it.
    if (const QString refused = RefusedLogs(e.logs); !refused.isEmpty())
        s += QStringLiteral("; log refused: ") + refused;
    // What went wrong lately, while it is news.
    if (const QString error = LastErrorText(e.logs, kRecentErrorMs); !error.isEmpty()) s += QStringLiteral("; ") + error;
    const Scheduler& sch = e.scheduler;
    if (sch.TotalEvents() == 0 || sch.NextEventIndex < 0 || sch.NextEventIndex >= sch.TotalEvents())
        return s + QStringLiteral("; no events");
    const AutomationEvent& ev = sch.Events[static_cast<std::size_t>(sch.NextEventIndex)];
    return s + QStringLiteral("; next ") + ev.DayName + QLatin1Char(' ') + ev.Time +
           QLatin1Char(' ') + ev.Title;
}

void ServiceNotifier::send(const QString& state) {
    // A service manager that cannot be told is no reason to stop: the answer is not looked at.
    notifyServiceManager(state.toUtf8());
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
