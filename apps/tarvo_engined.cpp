// tarvo-engined [FOLDER]: the engine without a window, for a server or a service manager.
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "engine/console_view.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "engine/stop_signals.h"
#include "scheduler/clock.h"

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
    if (!tarvo::OnStopSignal(&app, [] { QCoreApplication::quit(); })) return 1;

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
