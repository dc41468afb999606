// tarvo-engine [--screenshot FILE.png SECONDS] [FOLDER]: the engine with its status window.
//
// --screenshot saves a picture of the main window SECONDS after start-up and then leaves in
// order, as the documentation's screenshot script uses it. SIGTERM, SIGINT and SIGHUP also leave
// in order ("Program Exit" is written) without the exit question: nobody is there to answer it.
// SIGUSR1 prints the status line of the headless program. The program ends with the display it
// shows on: a lost display is a line in the error log and an orderly exit.
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include "command_line.h"
#include "engine/engine.h"
#include "engine/main_loop.h"
#include "engine/stop_signals.h"
#include "logs/logs.h"
#include "base/task.h"
#include "base/clock.h"
#include "program_folder.h"
#include "programs.h"
#include "web_setup.h"
#include "ui/main_window.h"

namespace {

// The window as the desktop shows it: a caption strip with the icon and the caption above the
// window's own picture (a virtual display has no window manager to draw one).
QPixmap framedPicture(QWidget& window) {
    const QPixmap body = window.grab();
    const int strip = window.fontMetrics().height() + 12;
    QPixmap framed(body.width(), body.height() + strip);
    framed.fill(QColor(52, 62, 80));
    QPainter p(&framed);
    const int iconSize = strip - 8;
    p.drawPixmap(6, 4, window.windowIcon().pixmap(iconSize, iconSize));
    p.setPen(Qt::white);
    p.setFont(window.font());
    p.drawText(QRect(12 + iconSize, 0, body.width() - 18 - iconSize, strip),
               Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
    p.drawPixmap(0, strip, body);
    return framed;
}

// The display connection. Qt's X11 plugin, on finding the connection broken, says so with a
// warning and calls exit(1) at once: the exit steps run from that warning, on the loop's own
// thread, while everything is still in place. An exit() that some other library calls while the
// loop runs is caught at exit time instead (the engine's objects on main's stack are still
// alive then, as exit() leaves the stack as it is).
tarvo::Engine* runningEngine = nullptr;
tarvo::MainLoop* runningLoop = nullptr;
QtMessageHandler qtHandler = nullptr;

void endWithTheDisplay(const QString& reason) {
    tarvo::Engine* e = runningEngine;
    if (!e || e->exiting) return;
    tarvo::WriteErrorLog(e->logs, reason, QStringLiteral("Display Lost"));
    tarvo::ProgramExit(*e, runningLoop);
}

void watchMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("The X11 connection broke")))
        endWithTheDisplay(QStringLiteral("Display connection lost, program ending: ") + message);
    if (qtHandler)
        qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void exitCalledWhileRunning() {
    endWithTheDisplay(QStringLiteral("Program ended by a library while running (display connection lost?)"));
}

}  // namespace

int main(int argc, char** argv) {
    // Read before the application object exists: --help and --version need no display.
    tarvo::cli::Arguments args;
    int exitCode = 0;
    if (!tarvo::cli::ParseOrLeave(tarvo::cli::EngineProgram(), argc, argv, args, exitCode)) return exitCode;
    QString screenshot;
    int screenshotSeconds = 0;
    if (args.isSet(QStringLiteral("screenshot"))) {
        bool ok = false;
        screenshot = args.value(QStringLiteral("screenshot"), 0);
        screenshotSeconds = args.value(QStringLiteral("screenshot"), 1).toInt(&ok);
        if (!ok || screenshotSeconds < 0) {
            std::fprintf(stderr, "tarvo-engine: --screenshot needs a number of SECONDS\n");
            return tarvo::cli::kExitUsage;
        }
    }

    tarvo::cli::WebConsoleOption web;
    QString webError;
    if (!web.read(args, webError)) {
        std::fprintf(stderr, "tarvo-engine: %s\n", qPrintable(webError));
        return tarvo::cli::kExitUsage;
    }

    // Before the application makes its threads: a stop or status signal while the program starts
    // waits for its handler.
    tarvo::HoldStopAndStatusSignals();
    QApplication app(argc, argv);
    // Hiding in the tray must not end the program; it ends through the exit steps only.
    QApplication::setQuitOnLastWindowClosed(false);

    QString message;
    const QString folder = tarvo::cli::ProgramFolderFor(args.operands, message);
    if (folder.isEmpty()) {
        std::fprintf(stderr, "tarvo-engine: %s\n", qPrintable(message));
        return 1;
    }
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "tarvo-engine: %s is not a folder\n", qPrintable(folder));
        return tarvo::cli::kExitUsage;
    }
    // One engine per folder: a second one says so and leaves with 2.
    if (!tarvo::cli::LockProgramFolder(folder, message)) {
        std::fprintf(stderr, "tarvo-engine: %s\n", qPrintable(message));
        return 2;
    }

    tarvo::MarkStackBase();
    tarvo::SystemClock clock;
    tarvo::MainWindow window;
    // With --listen the web console sees what the window shows, and passes it on.
    tarvo::Engine engine(clock, web.view(window), folder);
    if (!web.start(engine, webError)) {
        std::fprintf(stderr, "tarvo-engine: the web console cannot listen: %s\n", qPrintable(webError));
        return 1;
    }
    tarvo::MainLoop loop(engine);
    window.attach(engine, &loop);
    QObject::connect(&window, &tarvo::MainWindow::programExited, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    if (!tarvo::OnStopSignal(&window, [&window] { window.exitNow(); })) return 1;
    tarvo::OnStatusSignal(&window, [&engine] {
        std::printf("%s\n", qPrintable(tarvo::StatusSignalLine(engine.scheduler.runs, engine.logs)));
        std::fflush(stdout);
    });
    runningEngine = &engine;
    runningLoop = &loop;
    qtHandler = qInstallMessageHandler(watchMessages);
    std::atexit(exitCalledWhileRunning);

    window.startUp();
    engine.clockWatch.start();

    if (!screenshot.isEmpty()) {
        QTimer::singleShot(screenshotSeconds * 1000, &window, [&] {
            if (!framedPicture(window).save(screenshot, "PNG"))
                std::fprintf(stderr, "tarvo-engine: cannot write %s\n", qPrintable(screenshot));
            window.exitNow();
        });
    }

    const int rc = app.exec();
    window.exitNow();  // the closing steps run once, whichever way the loop ended
    runningEngine = nullptr;  // gone with main's stack
    runningLoop = nullptr;
    return rc;
}
