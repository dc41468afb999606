// Waiting in tests for something that real sockets bring about: the event loop runs until the
// condition holds or a generous deadline passes. The deadline only ends a test that would
// otherwise hang; no test measures time with it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "base/task.h"
#include "switcher/fuzz_seeds.h"

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

// What became of a task run on the real event loop. Shared with the run, so that a run a test
// gave up waiting for still has somewhere to write when its set ends it later.
template <typename T>
struct LoopOutcome {
    bool done = false;
    std::optional<T> value;
};

namespace detail {
template <typename T>
Task<> intoOutcome(Task<T> task, std::shared_ptr<LoopOutcome<T>> out) {
    out->value = co_await std::move(task);
    out->done = true;
}
inline Task<> intoOutcome(Task<> task, std::shared_ptr<LoopOutcome<bool>> out) {
    co_await std::move(task);
    out->value = true;
    out->done = true;
}
}  // namespace detail

// Starts `task` as a run of `runs` (on whatever clock its waits use); the outcome fills in when
// it ends. Not done at all when the set refused to start it.
template <typename T>
std::shared_ptr<LoopOutcome<T>> StartOnLoop(RunSet& runs, Task<T> task) {
    auto out = std::make_shared<LoopOutcome<T>>();
    runs.start(detail::intoOutcome(std::move(task), out));
    return out;
}
inline std::shared_ptr<LoopOutcome<bool>> StartOnLoop(RunSet& runs, Task<> task) {
    auto out = std::make_shared<LoopOutcome<bool>>();
    runs.start(detail::intoOutcome(std::move(task), out));
    return out;
}

// Runs `task` on the real event loop to its end; empty when it had not ended by the deadline.
template <typename T>
std::optional<T> RunOnLoop(RunSet& runs, Task<T> task, int ms = kPatienceMs) {
    const auto out = StartOnLoop(runs, std::move(task));
    waitUntil([&] { return out->done; }, ms);
    return out->done ? out->value : std::nullopt;
}
inline bool RunOnLoop(RunSet& runs, Task<> task, int ms = kPatienceMs) {
    const auto out = StartOnLoop(runs, std::move(task));
    return waitUntil([&] { return out->done; }, ms);
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
    // A peer that stopped reading takes up to `limit` bytes per call to readSome() from now on:
    // a switcher that reads, but slowly.
    void readSlowly(qint64 limit) {
        stopReading = true;
        client->setReadBufferSize(limit);
    }
    // Takes what the socket holds (at most one read-buffer's worth for a slow peer).
    qint64 readSome() {
        const QByteArray got = client->readAll();
        received += got;
        return got.size();
    }
    // A peer that stopped reading reads everything again.
    void resumeReading() {
        stopReading = false;
        client->setReadBufferSize(0);
        received += client->readAll();
    }

    QTcpServer server;
    QTcpSocket* client = nullptr;
    QByteArray received;
    int connections = 0;
    bool stopReading = false;
};

}  // namespace tarvo::test
