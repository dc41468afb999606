// The real tarvo-engined on the real clock as a child process: its standard output line by line,
// its own account of its runs on SIGUSR1 (which also says the loop is turning), its memory.
#pragma once

#include <signal.h>

#include <cstring>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include "switcher/loop_wait.h"

namespace tarvo::test {

struct EngineProcess {
    QProcess proc;
    QStringList lines;
    QByteArray pending;

    explicit EngineProcess(const QString& folder) {
        // TARVO_ENGINED names another build to judge (an older engine, say).
        const QString other = qEnvironmentVariable("TARVO_ENGINED");
        proc.setProgram(other.isEmpty() ? QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined") : other);
        proc.setArguments({folder});
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, [this] {
            pending += proc.readAllStandardOutput();
            qsizetype eol;
            while ((eol = pending.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(pending.left(eol));
                pending.remove(0, eol + 1);
            }
        });
        proc.start();
    }
    ~EngineProcess() {
        if (proc.state() == QProcess::NotRunning) return;
        proc.kill();
        proc.waitForFinished(5000);
    }
    bool has(const QString& text) const {
        for (const QString& l : lines)
            if (l.contains(text)) return true;
        return false;
    }
    // The engine's own account of its runs and its stack, on SIGUSR1; empty when it does not
    // answer within `ms`.
    QString status(int ms = 5000) {
        const auto before = lines.size();
        ::kill(static_cast<pid_t>(proc.processId()), SIGUSR1);
        // Other lines may come before and after it.
        const auto find = [&] {
            for (auto k = before; k < lines.size(); ++k)
                if (lines[k].startsWith("status: ")) return lines[k];
            return QString();
        };
        waitUntil([&] { return !find().isEmpty(); }, ms);
        return find();
    }
    // The engine's resident memory in kB (VmRSS), or its peak (VmHWM).
    long long memoryKb(const char* field = "VmRSS:") const {
        QFile f(QStringLiteral("/proc/%1/status").arg(proc.processId()));
        if (!f.open(QIODevice::ReadOnly)) return -1;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith(field)) return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
        return -1;
    }
};

// "status: runs N, started S, ended E, most at once M, longest L ms, deepest stack K bytes"
inline long statusNumber(const QString& status, const char* after) {
    const qsizetype at = status.indexOf(QLatin1String(after));
    if (at < 0) return -1;
    return status.mid(at + qsizetype(std::strlen(after))).section(QRegularExpression("[ ,]"), 0, 0).toLong();
}

}  // namespace tarvo::test
