// tarvo-engined [FOLDER]: the engine without a window, for a server or a service manager.
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include "engine/console_view.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "scheduler/clock.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 2 || (args.size() == 2 && args[1].startsWith(QLatin1Char('-')))) {
        std::fprintf(stderr, "usage: tarvo-engined [FOLDER]\n");
        return 2;
    }
    const QString folder = args.size() == 2 ? args[1] : QCoreApplication::applicationDirPath();
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "tarvo-engined: %s is not a folder\n", qPrintable(folder));
        return 2;
    }

    // SIGTERM and SIGINT end the run in order, through the event loop.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return 1;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &c, 1);
        QCoreApplication::quit();
    });

    tarvo::SystemClock clock;
    tarvo::ConsoleView view;
    tarvo::Engine engine(clock, view, folder);
    tarvo::MainLoop loop(engine);
    tarvo::StartUp(engine, loop);

    const int rc = app.exec();
    loop.disable();
    tarvo::ProgramExit(engine);
    return rc;
}
