#include "engine/stop_signals.h"

#include "logs/logs.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <QObject>
#include <QSocketNotifier>

#include "base/task.h"

namespace tarvo {

namespace {

int signalPipe[2] = {-1, -1};
std::function<void()> onStop;
std::function<void()> onStatus;

void onSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

bool install(QObject* context) {
    if (signalPipe[0] >= 0) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return false;
    ::signal(SIGPIPE, SIG_IGN);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char c = 0;
        if (::read(signalPipe[0], &c, 1) != 1) return;
        if (c == SIGUSR1) {
            if (onStatus) onStatus();
        } else if (onStop) {
            onStop();
        }
    });
    return true;
}

// The handler in place, then the signal let through (one held meanwhile is delivered now).
void handle(int sig) {
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

}  // namespace

void HoldStopAndStatusSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&held, sig);
    ::pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

QString RunStatusLine(const RunSet& runs) {
    return QStringLiteral("status: runs %1, started %2, ended %3, most at once %4, longest %5 ms, "
                          "deepest stack %6 bytes")
        .arg(runs.count())
        .arg(static_cast<unsigned long long>(runs.startedCount()))
        .arg(static_cast<unsigned long long>(runs.endedCount()))
        .arg(runs.mostAtOnce())
        .arg(static_cast<long long>(runs.longestMs()))
        .arg(static_cast<unsigned long long>(DeepestStack()));
}

QString StatusSignalLine(const RunSet& runs, const Logs& logs) {
    const QString error = LastErrorText(logs);
    return RunStatusLine(runs) + (error.isEmpty() ? QString() : QStringLiteral("; ") + error);
}

bool OnStopSignal(QObject* context, std::function<void()> stop) {
    if (!install(context)) return false;
    onStop = std::move(stop);
    handle(SIGTERM);
    handle(SIGINT);
    handle(SIGHUP);
    return true;
}

bool OnStatusSignal(QObject* context, std::function<void()> report) {
    if (!install(context)) return false;
    onStatus = std::move(report);
    handle(SIGUSR1);
    return true;
}

}  // namespace tarvo
