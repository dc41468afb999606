// tarvo-engine [--screenshot FILE.png SECONDS] [FOLDER]: the engine with its status window.
//
// --screenshot saves a picture of the main window SECONDS after start-up and then leaves in
// order, as the documentation's screenshot script uses it. SIGTERM and SIGINT also leave in
// order ("Program Exit" is written) without the exit question: nobody is there to answer it.
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>

#include <QApplication>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include "engine/engine.h"
#include "engine/main_loop.h"
#include "scheduler/clock.h"
#include "ui/main_window.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

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

int usage() {
    std::fprintf(stderr, "usage: tarvo-engine [--screenshot FILE.png SECONDS] [FOLDER]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Hiding in the tray must not end the program; it ends through the exit steps only.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList args = app.arguments();
    args.removeFirst();
    QString screenshot;
    int screenshotSeconds = 0;
    if (!args.isEmpty() && args.first() == QLatin1String("--screenshot")) {
        bool ok = false;
        if (args.size() < 3) return usage();
        screenshot = args[1];
        screenshotSeconds = args[2].toInt(&ok);
        if (!ok || screenshotSeconds < 0) return usage();
        args = args.mid(3);
    }
    if (args.size() > 1 || (args.size() == 1 && args[0].startsWith(QLatin1Char('-'))))
        return usage();
    const QString folder = args.size() == 1 ? args[0] : QCoreApplication::applicationDirPath();
    if (!QFileInfo(folder).isDir()) {
        std::fprintf(stderr, "tarvo-engine: %s is not a folder\n", qPrintable(folder));
        return 2;
    }

    tarvo::SystemClock clock;
    tarvo::MainWindow window;
    tarvo::Engine engine(clock, window, folder);
    tarvo::MainLoop loop(engine);
    window.attach(engine, &loop);
    QObject::connect(&window, &tarvo::MainWindow::programExited, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

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
        window.exitNow();
    });

    window.startUp();

    if (!screenshot.isEmpty()) {
        QTimer::singleShot(screenshotSeconds * 1000, &window, [&] {
            if (!framedPicture(window).save(screenshot, "PNG"))
                std::fprintf(stderr, "tarvo-engine: cannot write %s\n", qPrintable(screenshot));
            window.exitNow();
        });
    }

    const int rc = app.exec();
    window.exitNow();  // the closing steps run once, whichever way the loop ended
    return rc;
}
