// The service manager's end of a notify socket: a unix datagram socket the test binds in a
// temporary folder. With `exported`, NOTIFY_SOCKET (and WATCHDOG_USEC, when given) name it in
// this process's environment for as long as it lives.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTemporaryDir>

namespace tarvo::test {

class NotifySocket {
  public:
    explicit NotifySocket(bool exported, long watchdogUsec = 0) : exported_(exported) {
        path_ = dir_.filePath(QStringLiteral("notify"));
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        path_.toStdString().copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (!exported_) return;
        ::setenv("NOTIFY_SOCKET", path_.toLocal8Bit().constData(), 1);
        if (watchdogUsec > 0) ::setenv("WATCHDOG_USEC", std::to_string(watchdogUsec).c_str(), 1);
    }
    ~NotifySocket() {
        if (exported_) {
            ::unsetenv("NOTIFY_SOCKET");
            ::unsetenv("WATCHDOG_USEC");
        }
        ::close(fd_);
    }
    QString path() const { return path_; }

    // Every datagram that has arrived (sd_notify has sent its datagram when it returns).
    QStringList take() {
        QStringList out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            out << QString::fromUtf8(buffer, static_cast<qsizetype>(n));
        return out;
    }
    // Receives into `received` until a datagram holds `text`, or `ms` have passed.
    bool receiveUntil(const QString& text, int ms) {
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0) continue;
            for (const QString& d : take()) {
                received << d;
                if (d.contains(text)) return true;
            }
        }
        return false;
    }
    QStringList received;

  private:
    bool exported_;
    QTemporaryDir dir_;
    QString path_;
    int fd_ = -1;
};

}  // namespace tarvo::test
