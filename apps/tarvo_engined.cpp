// tarvo-engined [--init] [--check] [--preview [DAYS]] [--json] [--export] [--import FILE
// [--dry-run]] [--listen [ADDR:]PORT ...] [FOLDER]: the engine without a window, for a server or a
// service manager; --check, --preview and --export read its database and leave; --import makes
// its events those of a text file and leaves; --add-user NAME adds a user of the web console and
// leaves.
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
#include "schedule_report.h"
#include "text_form_commands.h"
#include "web_setup.h"

namespace {

constexpr int kDefaultPreviewDays = 7;

int initFolder(const QString& folder) {
    QString message;
    const tarvo::cli::InitResult r =
        tarvo::cli::InitProgramFolder(folder, tarvo::cli::SchemaPath(), message);
    std::fprintf(r == tarvo::cli::InitResult::Made ? stdout : stderr, "tarvo-engined: %s\n",
                 qPrintable(message));
    return r == tarvo::cli::InitResult::Made ? 0 : 1;
}

// --check and --preview: the folder is read as it is, never made, and nothing is connected.
int scheduleReport(const tarvo::cli::Arguments& args) {
    const bool check = args.isSet(QStringLiteral("check"));
    const bool preview = args.isSet(QStringLiteral("preview"));
    QString wrong;
    if (check && preview)
        wrong = QStringLiteral("--check and --preview cannot be given together");
    else if (args.isSet(QStringLiteral("init")))
        wrong = QStringLiteral("--init cannot be given with --check or --preview");
    int days = 0;
    if (preview) {
        const QString given = args.value(QStringLiteral("preview"));
        bool ok = true;
        days = given.isEmpty() ? kDefaultPreviewDays : given.toInt(&ok);
        if (!ok || days < 1 || days > tarvo::kMaxPreviewDays)
            wrong = QStringLiteral("--preview needs a number of DAYS from 1 to %1")
                        .arg(tarvo::kMaxPreviewDays);
    }
    if (!wrong.isEmpty()) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(wrong));
        return tarvo::cli::kExitUsage;
    }
    const tarvo::SystemClock clock;
    const tarvo::cli::Report r =
        tarvo::cli::ScheduleReport(args.operands.value(0, tarvo::cli::DefaultProgramFolder()), days,
                                   args.isSet(QStringLiteral("json")), clock.now(), clock.zone());
    std::fputs(r.out.toUtf8().constData(), stdout);
    if (!r.err.isEmpty()) std::fprintf(stderr, "tarvo-engined: %s", r.err.toUtf8().constData());
    return r.exitCode;
}

// Each line of `err` says where it comes from.
void print(const tarvo::cli::Report& r) {
    std::fputs(r.out.toUtf8().constData(), stdout);
    std::fputs(r.err.toUtf8().constData(), stderr);
}

// --export and --import [--dry-run]: the folder is never made, and nothing is connected.
int textForm(const tarvo::cli::Arguments& args) {
    const bool exporting = args.isSet(QStringLiteral("export"));
    QString wrong;
    for (const char* other : {"init", "check", "preview", "json", "add-user"})
        if (args.isSet(QLatin1String(other)))
            wrong = QStringLiteral("--%1 cannot be given with --export or --import").arg(QLatin1String(other));
    if (exporting && args.isSet(QStringLiteral("import")))
        wrong = QStringLiteral("--export and --import cannot be given together");
    if (exporting && args.isSet(QStringLiteral("dry-run")))
        wrong = QStringLiteral("--dry-run goes with --import");
    if (!wrong.isEmpty()) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(wrong));
        return tarvo::cli::kExitUsage;
    }
    const QString folder = args.operands.value(0, tarvo::cli::DefaultProgramFolder());
    if (exporting) {
        const tarvo::cli::Report r = tarvo::cli::ExportCommand(folder);
        print(r);
        return r.exitCode;
    }
    const QString user = qEnvironmentVariable("USER", QStringLiteral("unknown"));
    const tarvo::cli::Report r =
        tarvo::cli::ImportCommand(args.value(QStringLiteral("import")), folder,
                                  args.isSet(QStringLiteral("dry-run")), QStringLiteral("import by ") + user);
    print(r);
    return r.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    tarvo::cli::Arguments args;
    int exitCode = 0;
    if (!tarvo::cli::ParseOrLeave(tarvo::cli::EnginedProgram(), argc, argv, args, exitCode))
        return exitCode;

    QCoreApplication app(argc, argv);
    if (args.isSet(QStringLiteral("export")) || args.isSet(QStringLiteral("import")))
        return textForm(args);
    if (args.isSet(QStringLiteral("dry-run"))) {
        std::fprintf(stderr, "tarvo-engined: --dry-run goes with --import\n");
        return tarvo::cli::kExitUsage;
    }
    if (args.isSet(QStringLiteral("check")) || args.isSet(QStringLiteral("preview")))
        return scheduleReport(args);
    if (args.isSet(QStringLiteral("json"))) {
        std::fprintf(stderr, "tarvo-engined: --json goes with --check or --preview\n");
        return tarvo::cli::kExitUsage;
    }
    if (args.isSet(QStringLiteral("init")))
        return initFolder(args.operands.value(0, tarvo::cli::DefaultProgramFolder()));
    if (args.isSet(QStringLiteral("add-user")))
        return tarvo::cli::AddUserCommand(args, args.operands.value(0, tarvo::cli::DefaultProgramFolder()));
    if (args.isSet(QStringLiteral("role"))) {
        std::fprintf(stderr, "tarvo-engined: --role goes with --add-user\n");
        return tarvo::cli::kExitUsage;
    }
    // From here on the engine runs: a stop or status signal while it starts waits for its handler.
    tarvo::HoldStopAndStatusSignals();
    tarvo::cli::WebConsoleOption web;
    QString webError;
    if (!web.read(args, webError)) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(webError));
        return tarvo::cli::kExitUsage;
    }
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
    // One engine per folder: a second one says so and leaves with 2.
    if (!tarvo::cli::LockProgramFolder(folder, message)) {
        std::fprintf(stderr, "tarvo-engined: %s\n", qPrintable(message));
        return 2;
    }

    tarvo::MarkStackBase();
    tarvo::SystemClock clock;
    tarvo::ConsoleView view;
    // With --listen the web console sees what the engine shows, and passes it on.
    tarvo::Engine engine(clock, web.view(view), folder);
    if (!web.start(engine, webError)) {
        std::fprintf(stderr, "tarvo-engined: the web console cannot listen: %s\n", qPrintable(webError));
        return 1;
    }
    tarvo::MainLoop loop(engine);
    tarvo::ServiceNotifier notifier(engine);
    loop.onTickEnded([&](bool ranToEnd) { notifier.tickEnded(ranToEnd); });

    // SIGTERM, SIGINT and SIGHUP end the run in order, through the event loop: the runs still waiting
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
        std::printf("%s\n", qPrintable(tarvo::StatusSignalLine(engine.scheduler.runs, engine.logs)));
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
