// The desktop program on a virtual X display (Xvfb, driven with xdotool as an operator's keys):
// every way it is ended from outside leaves "Program Exit" as the last line logged.
#include <gtest/gtest.h>

#include <csignal>

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include "support/test_support.h"

namespace tarvo::test {
namespace {

const QString kEngine = QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engine");

// An X server of the test's own, on the display number it picks itself.
struct VirtualDisplay {
    VirtualDisplay() {
        server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                              QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp")});
        while (server.waitForReadyRead(10000) && !server.canReadLine()) {
        }
        const QByteArray number = server.readLine().trimmed();
        if (!number.isEmpty()) name = QStringLiteral(":") + QString::fromLatin1(number);
    }
    ~VirtualDisplay() {
        server.kill();
        server.waitForFinished();
    }
    // xdotool with these arguments, on this display; false when it failed or hung.
    bool xdotool(const QStringList& args, int ms = 15000) const {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), name);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("xdotool"), args);
        const bool ended = p.waitForFinished(ms);
        if (!ended) p.kill();
        return ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    // Waits for a window whose title matches to be shown and gives it the keyboard. Only a
    // mapped window can take the focus: Qt names a window before it maps it, and a focus asked
    // for in between fails.
    bool focus(const QString& title, int ms = 15000) const {
        return xdotool({"search", "--sync", "--onlyvisible", "--name", title, "windowfocus", "--sync"}, ms);
    }
    bool keys(const QString& keys) const {
        return xdotool(QStringList{"key", "--delay", "100"} + keys.split(QLatin1Char(' ')));
    }
    // Presses the keys until the window they open is there (a slow build may not have been
    // ready for the first press), and gives it the keyboard.
    bool open(const QString& keys, const QString& title) const {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!this->keys(keys)) return false;
            if (focus(title, 6000)) return true;
        }
        return false;
    }

    QProcess server;
    QString name;
};

enum class End { Signals, DisplayKilled };

TEST(DesktopProgram, EndsInOrderOnEachSignalWithTheChooserOpenAndWhenTheDisplayGoes) {
    for (const QString tool : {"Xvfb", "xdotool"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool.toStdString() << " missing";
    struct Case {
        const char* name;
        bool chooserOpen;  // File / Setup / Browse open when it is ended
        End end;
        std::vector<int> sent;
        int exitCode;
        QString printed;   // on standard output
        QString errorLine;  // in the error log
    };
    const std::vector<Case> cases = {
        {"SIGTERM, chooser open", true, End::Signals, {SIGTERM}, 0, {}, {}},
        {"SIGINT", false, End::Signals, {SIGINT}, 0, {}, {}},
        {"SIGHUP, chooser open", true, End::Signals, {SIGHUP}, 0, {}, {}},
        {"SIGUSR1 then SIGTERM", false, End::Signals, {SIGUSR1, SIGTERM}, 0,
         "status: runs 0, started 0, ended 0, most at once 0, longest 0 ms, deepest stack ", {}},
        {"display killed", true, End::DisplayKilled, {}, 1, {}, "Display connection lost, program ending"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDisplay display;
        ASSERT_FALSE(display.name.isEmpty());
        Folder folder;
        folder.createDatabase({TimedRow(1, 0, "10:00:00", "Morning News")});
        QTcpServer nobody;  // a port on this machine that nothing listens on once it is closed
        ASSERT_TRUE(nobody.listen(QHostAddress::LocalHost));
        folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(nobody.serverPort()));
        nobody.close();
        QTemporaryDir runtime;
        QProcess engine;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display.name);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        engine.setProcessEnvironment(env);
        engine.start(kEngine, {folder.path()});
        ASSERT_TRUE(display.focus(QStringLiteral("^Tarvo Automation")));
        if (c.chooserOpen) {
            ASSERT_TRUE(display.open(QStringLiteral("alt+f s"), QStringLiteral("^Setup$")));
            ASSERT_TRUE(display.open(QStringLiteral("alt+b"), QStringLiteral("^Select")));
        }
        QString out;
        for (int sig : c.sent) {
            ::kill(static_cast<pid_t>(engine.processId()), sig);
            if (sig != SIGUSR1) continue;
            while (!out.contains(QLatin1Char('\n')) && engine.waitForReadyRead(10000))
                out += QString::fromUtf8(engine.readAllStandardOutput());
        }
        if (c.end == End::DisplayKilled) display.server.kill();
        ASSERT_TRUE(engine.waitForFinished(20000));
        out += QString::fromUtf8(engine.readAllStandardOutput());
        const QString err = QString::fromUtf8(engine.readAllStandardError());
        EXPECT_EQ(engine.exitStatus(), QProcess::NormalExit) << err.toStdString();
        EXPECT_EQ(engine.exitCode(), c.exitCode) << err.toStdString();
        EXPECT_FALSE(err.contains(QStringLiteral("free()"))) << err.toStdString();
        EXPECT_TRUE(out.startsWith(c.printed)) << out.toStdString();
        const QStringList activity = folder.activityLines();
        ASSERT_FALSE(activity.isEmpty());
        EXPECT_EQ(activity.last(), QStringLiteral("Program Exit"));
        const QString errors = folder.errorLines().join('|');
        EXPECT_EQ(errors.contains(QStringLiteral("Display")), !c.errorLine.isEmpty()) << errors.toStdString();
        if (!c.errorLine.isEmpty()) {
            EXPECT_TRUE(errors.contains(c.errorLine)) << errors.toStdString();
        }
    }
}

}  // namespace
}  // namespace tarvo::test
