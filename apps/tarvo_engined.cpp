// tarvo-engined [--init] [FOLDER]: the engine without a window, for a server or a service manager.
#include <cstdio>

#include <QCoreApplication>
#include <QFileInfo>

#include "base/clock.h"
#include "base/task.h"
#include "command_line.h"
#include "engine/console_view.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "engine/service_notify.h"
#include "engine/stop_signals.h"
#include "program_folder.h"
#include "programs.h"

namespace {

int initFolder(const QString& folder) {
    QString message;
    const tarvo::cli::InitResult r =
        tarvo::cli::InitProgramFolder(folder, tarvo::cli::SchemaPath(), message);
    std::fprintf(r == tarvo::cli::InitResult::Made ? stdout : stderr, "tarvo-engined: %s\n",
                 qPrintable(message));
    return r == tarvo::cli::InitResult::Made ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    tarvo::cli::Arguments args;
    int exitCode = 0;
    if (!tarvo::cli::ParseOrLeave(tarvo::cli::EnginedProgram(), argc, argv, args, exitCode))
        return exitCode;

    QCoreApplication app(argc, argv);
    if (args.isSet(QStringLiteral("init")))
        return initFolder(args.operands.value(0, tarvo::cli::DefaultProgramFolder()));
    QString message;
    const QString folder = tarvo::cli::ProgramFolderFor(args.operands, message);
    if (folder.isEmpty()) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(message));
        return 1;
    }
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "tarvo-engined: %s is not a folder\n", qPrintable(folder));
        return tarvo::cli::kExitUsage;
    }

    tarvo::MarkStackBase();
    tarvo::SystemClock clock;
    tarvo::ConsoleView view;
    tarvo::Engine engine(clock, view, folder);
    tarvo::MainLoop loop(engine);
    tarvo::ServiceNotifier notifier(engine);
    loop.onTickEnded([&](bool ranToEnd) { notifier.tickEnded(ranToEnd); });

    // SIGTERM and SIGINT end the run in order, through the event loop: the runs still waiting
    // are ended and "Program Exit" is written before the loop is left.
    if (!tarvo::OnStopSignal(&app, [&] {
            notifier.stopping();
            tarvo::ProgramExit(engine, &loop);
            QCoreApplication::quit();
        }))
        return 1;

    // SIGUSR1: one line on the runs (in progress, started and ended so far, the most at once,
    // the longest any has lasted) and how deep the stack has been.
    tarvo::OnStatusSignal(&app, [&] {
        const tarvo::RunSet& runs = engine.scheduler.runs;
        std::printf("status: runs %d, started %llu, ended %llu, most at once %d, longest %lld ms, "
                    "deepest stack %zu bytes\n",
                    runs.count(), static_cast<unsigned long long>(runs.startedCount()),
                    static_cast<unsigned long long>(runs.endedCount()), runs.mostAtOnce(),
                    static_cast<long long>(runs.longestMs()), tarvo::DeepestStack());
        std::fflush(stdout);
    });

    tarvo::StartUp(engine, loop);
    engine.clockWatch.start();
    // A start-up that failed before the loop was enabled is never reported ready: the service
    // manager's start timeout ends it rather than a watchdog that nothing would feed.
    if (loop.enabled()) notifier.startUpDone();
    const int rc = app.exec();
    tarvo::ProgramExit(engine, &loop);  // once, whichever way the loop ended
    return rc;
}
