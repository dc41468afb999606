// Waiting in tests for something that real sockets bring about: the event loop runs until the
// condition holds or a generous deadline passes. The deadline only ends a test that would
// otherwise hang; no test measures time with it.
#pragma once

#include <functional>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>

#include "switcher/fuzz_seeds.h"
#include <QTimer>

namespace tarvo::test {

constexpr int kPatienceMs = 15000;

inline bool waitUntil(const std::function<bool()>& condition, int ms = kPatienceMs) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

inline QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}

// A switcher end of the link inside the test: accepts one engine and keeps what it sends.
class Peer : public QObject {
  public:
    Peer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* c = server.nextPendingConnection()) {
                client = c;
                ++connections;
                if (stopReading) c->setReadBufferSize(16);
                QObject::connect(c, &QTcpSocket::readyRead, this, [this, c] {
                    if (!stopReading) received += c->readAll();
                });
            }
        });
    }
    quint16 port() const { return server.serverPort(); }
    bool waitForClient() {
        return waitUntil([this] { return client != nullptr; });
    }
    void send(const QByteArray& b) {
        client->write(LeaveStreamSeed(b));
        client->flush();
    }
    bool waitForBytes(const QByteArray& b) {
        return waitUntil([&] { return received.contains(b); });
    }

    QTcpServer server;
    QTcpSocket* client = nullptr;
    QByteArray received;
    int connections = 0;
    bool stopReading = false;
};

}  // namespace tarvo::test
