// The switcher simulator as a child process, driven through its standard input and read
// through its standard output, as an operator would use it.
#pragma once

#include <QProcess>
#include <QStringList>

#include "switcher/loop_wait.h"

namespace tarvo::test {

class SimProcess {
  public:
    explicit SimProcess(const QStringList& args = {}) {
        proc_.setProgram(QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-switcher-sim"));
        proc_.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
        QObject::connect(&proc_, &QProcess::readyReadStandardOutput, [this] {
            pending_ += proc_.readAllStandardOutput();
            qsizetype eol;
            while ((eol = pending_.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(pending_.left(eol));
                pending_.remove(0, eol + 1);
            }
        });
        proc_.start();
        if (waitForLine(QStringLiteral(" LISTEN ")))
            port = lines.first().section(QLatin1Char(' '), -1).toUShort();
    }
    ~SimProcess() {
        if (proc_.state() == QProcess::NotRunning) return;
        command(QStringLiteral("quit"));
        if (!waitUntil([this] { return proc_.state() == QProcess::NotRunning; }, 5000)) {
            proc_.kill();
            proc_.waitForFinished(5000);
        }
    }
    void command(const QString& line) { proc_.write((line + QLatin1Char('\n')).toUtf8()); }
    int count(const QString& text) const {
        int n = 0;
        for (const QString& l : lines) n += l.contains(text) ? 1 : 0;
        return n;
    }
    bool waitForLine(const QString& text, int times = 1) {
        return waitUntil([&] { return count(text) >= times; });
    }

    quint16 port = 0;
    QStringList lines;

  private:
    QProcess proc_;
    QByteArray pending_;
};

}  // namespace tarvo::test
