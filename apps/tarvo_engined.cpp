// tarvo-engined [FOLDER]: the engine without a window, for a server or a service manager.
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "engine/console_view.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "engine/stop_signals.h"
#include "base/task.h"
#include "base/clock.h"

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

    tarvo::MarkStackBase();
    tarvo::SystemClock clock;
    tarvo::ConsoleView view;
    tarvo::Engine engine(clock, view, folder);
    tarvo::MainLoop loop(engine);

    // SIGTERM and SIGINT end the run in order, through the event loop: the runs still waiting
    // are ended and "Program Exit" is written before the loop is left.
    if (!tarvo::OnStopSignal(&app, [&] {
            tarvo::ProgramExit(engine, &loop);
            QCoreApplication::quit();
        }))
        return 1;

    // SIGUSR1: one line on how many runs are in progress and how deep the stack has been.
    tarvo::OnStatusSignal(&app, [&] {
        std::printf("status: runs %d, most at once %d, deepest stack %zu bytes\n",
                    engine.scheduler.runs.count(), engine.scheduler.runs.mostAtOnce(),
                    tarvo::DeepestStack());
        std::fflush(stdout);
    });

    tarvo::StartUp(engine, loop);
    const int rc = app.exec();
    tarvo::ProgramExit(engine, &loop);  // once, whichever way the loop ended
    return rc;
}
