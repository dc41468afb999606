// The real tarvo-engined measured from outside by a client in C++ on a steady clock: this
// program plays the switcher (the engine connects to it) and the peer of the engine's messages.
//
//   TriggerLatency: an opto state message written to the engine, to the take frame of the
//   opto-triggered event read back; 2000 triggers, alternately on and off.
//   TimedLateness: 200 timed takes one a second; when each take frame arrives after the start of
//   its event's second (wall clock). This is how late the engine decides a timed event, plus the
//   loopback.
//   BouncingContact: the opto chattering twenty times a second for ten seconds, each "on"
//   running an event that sends a one-second TCP message; when each message reaches the peer
//   after its trigger, how many runs at once, and how long SIGTERM takes to end the engine.
//
// The engine measured is build/bin/tarvo-engined, or the one TARVO_ENGINED names; naming an
// older build there puts old and new side by side on one machine in one sitting.
#include <algorithm>
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "support/test_support.h"
#include "switcher/codec.h"

namespace tarvo {
namespace {

using Clock = std::chrono::steady_clock;

QString engineProgram() {
    const QString named = qEnvironmentVariable("TARVO_ENGINED");
    return named.isEmpty() ? QStringLiteral(TARVO_BINARY_DIR "/bin/tarvo-engined") : named;
}

bool turnUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// The switcher's end of the link: answers pings, says the switcher is there, and cuts what the
// engine sends into frames.
struct FakeSwitcher {
    QTcpServer server;
    QTcpSocket* link = nullptr;
    QByteArray pending;
    int takes = 0;
    Clock::time_point lastTake;
    // Every take frame as it arrived: wall time, source and destination (0-based).
    struct Take {
        std::chrono::system_clock::time_point at;
        int source, dest;
    };
    std::vector<Take> log;

    FakeSwitcher() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            link = server.nextPendingConnection();
            link->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(link, &QTcpSocket::readyRead, [this] { read(); });
            link->write(QByteArray(1, char(kPingAnswer)));
        });
    }
    void read() {
        pending += link->readAll();
        for (;;) {
            if (pending.isEmpty()) return;
            const auto type = static_cast<uint8_t>(pending[0]);
            if (IsControlByte(type)) {
                pending.remove(0, 1);
                if (type == kPing) link->write(QByteArray(1, char(kPingAnswer)));
                continue;
            }
            const qsizetype end = pending.indexOf(char(kEndOfMessage));
            if (end < 0) return;
            if (type == kTakeType) {
                ++takes;
                lastTake = Clock::now();
                if (end >= 6)
                    log.push_back({std::chrono::system_clock::now(), Read14(pending, 3), Read14(pending, 5)});
            }
            pending.remove(0, end + 1);
        }
    }
    void send(const QByteArray& bytes) {
        link->write(bytes);
        link->flush();
    }
};

QByteArray optoState(int opto0, int state) {
    return FrameBuilder(kStateType).byte(30).num14(1).num14(opto0).byte(state).finish();
}

struct RunningEngine {
    QProcess proc;
    explicit RunningEngine(const QString& folder) {
        proc.setProgram(engineProgram());
        proc.setArguments({folder});
        proc.setStandardOutputFile(QProcess::nullDevice());
        proc.start();
        proc.waitForStarted(10000);
    }
    ~RunningEngine() {
        if (proc.state() == QProcess::NotRunning) return;
        proc.kill();
        proc.waitForFinished(5000);
    }
};

test::Row optoRow(int number, int type, const QString& title) {
    return test::Row{{"Number", number}, {"Type", type},      {"Opto", 5},          {"Title", title},
                     {"Active", 1},      {"Delay", 0},        {"Time", "24:00:00"}, {"Day", QDate::currentDate().dayOfWeek() - 1}};
}

void percentiles(benchmark::State& state, std::vector<double> v, const char* unit) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    state.counters[std::string("median_") + unit] = v[v.size() / 2];
    state.counters[std::string("p99_") + unit] = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    state.counters[std::string("max_") + unit] = v.back();
}

void BM_TriggerLatency(benchmark::State& state) {
    FakeSwitcher sw;
    test::Folder folder;
    test::Row on = optoRow(1, 1, "On"), off = optoRow(2, 2, "Off");
    for (test::Row* r : {&on, &off}) {
        (*r)["xcontrol"] = 1;
        (*r)["SourceChan"] = r == &on ? 5 : 6;
        (*r)["DestChan"] = 12;
    }
    folder.createDatabase({on, off});
    folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sw.server.serverPort()));
    RunningEngine engine(folder.path());
    if (!turnUntil([&] { return sw.link != nullptr; }, 10000)) {
        state.SkipWithError("the engine did not connect");
        return;
    }
    turnUntil([] { return false; }, 1000);  // start-up, the first pings and the map request behind us

    std::vector<double> micros;
    int state01 = 1;
    for (auto _ : state) {
        const int before = sw.takes;
        const auto start = Clock::now();
        sw.send(optoState(4, state01));
        state01 ^= 1;
        if (!turnUntil([&] { return sw.takes > before; }, 5000)) {
            state.SkipWithError("no take frame came back");
            return;
        }
        const double s = std::chrono::duration<double>(sw.lastTake - start).count();
        state.SetIterationTime(s);
        micros.push_back(s * 1e6);
    }
    percentiles(state, micros, "us");
}
BENCHMARK(BM_TriggerLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_TimedLateness(benchmark::State& state) {
    constexpr int kEvents = 200;
    for (auto _ : state) {
        FakeSwitcher sw;
        test::Folder folder;
        // Whole seconds from three seconds on; event i takes source i % 60 + 1 to output i / 60 + 1.
        const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        const qint64 firstSecond = nowMs / 1000 + 3;
        std::vector<test::Row> rows;
        for (int i = 0; i < kEvents; ++i) {
            const QDateTime at = QDateTime::fromSecsSinceEpoch(firstSecond + i);
            test::Row r = test::TimedRow(i + 1, at.date().dayOfWeek() - 1, at.time().toString("hh:mm:ss"),
                                         QStringLiteral("E%1").arg(i));
            r["xcontrol"] = 1;
            r["SourceChan"] = i % 60 + 1;
            r["DestChan"] = i / 60 + 1;
            rows.push_back(r);
        }
        folder.createDatabase(rows);
        folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sw.server.serverPort()));
        RunningEngine engine(folder.path());
        turnUntil([&] { return static_cast<int>(sw.log.size()) >= kEvents; }, (kEvents + 10) * 1000);
        std::vector<double> lateMs;
        for (const auto& t : sw.log) {
            const int i = t.dest * 60 + t.source;
            const auto due = std::chrono::system_clock::time_point(std::chrono::seconds(firstSecond + i));
            lateMs.push_back(std::chrono::duration<double, std::milli>(t.at - due).count());
        }
        state.counters["takes"] = static_cast<double>(sw.log.size());
        percentiles(state, lateMs, "ms");
        state.SetIterationTime(1);
    }
}
BENCHMARK(BM_TimedLateness)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_BouncingContact(benchmark::State& state) {
    for (auto _ : state) {
        FakeSwitcher sw;
        QTcpServer peer;
        peer.listen(QHostAddress::LocalHost, 0);
        std::vector<Clock::time_point> arrivals;
        QObject::connect(&peer, &QTcpServer::newConnection, [&] {
            while (QTcpSocket* c = peer.nextPendingConnection()) {
                QObject::connect(c, &QTcpSocket::readyRead, c, [&arrivals, c] {
                    if (c->property("seen").toBool()) return;
                    c->setProperty("seen", true);
                    c->readAll();
                    arrivals.push_back(Clock::now());
                });
            }
        });
        test::Folder folder;
        test::Row contact = optoRow(1, 1, "Contact");
        contact["mcontrol"] = 1;
        contact["mtype"] = 1;
        contact["Message"] = "ON";
        contact["MIPAddress"] = "127.0.0.1";
        contact["MIPPort"] = peer.serverPort();
        folder.createDatabase({contact});
        folder.sql(QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sw.server.serverPort()));
        RunningEngine engine(folder.path());
        if (!turnUntil([&] { return sw.link != nullptr; }, 10000)) {
            state.SkipWithError("the engine did not connect");
            return;
        }
        turnUntil([] { return false; }, 1000);

        std::vector<Clock::time_point> triggers;
        QTimer bouncer;
        bouncer.setTimerType(Qt::PreciseTimer);
        int changes = 0;
        QObject::connect(&bouncer, &QTimer::timeout, [&] {
            const int on = changes % 2 == 0 ? 1 : 0;
            sw.send(optoState(4, on));
            if (on) triggers.push_back(Clock::now());
            if (++changes == 200) bouncer.stop();
        });
        const auto begin = Clock::now();
        bouncer.start(50);
        turnUntil([&] { return changes == 200 && arrivals.size() >= triggers.size(); }, 150000);
        const double allIn = std::chrono::duration<double>(Clock::now() - begin).count();

        std::vector<double> lateMs;
        for (std::size_t k = 0; k < std::min(arrivals.size(), triggers.size()); ++k)
            lateMs.push_back(std::chrono::duration<double, std::milli>(arrivals[k] - triggers[k]).count());
        percentiles(state, lateMs, "ms");
        state.counters["messages"] = static_cast<double>(arrivals.size());
        state.counters["all_in_s"] = allIn;

        // Runs still waiting their second: how long the orderly exit takes.
        sw.send(optoState(4, 1));
        turnUntil([] { return false; }, 300);
        const auto stop = Clock::now();
        engine.proc.terminate();
        engine.proc.waitForFinished(120000);
        state.counters["exit_ms"] = std::chrono::duration<double, std::milli>(Clock::now() - stop).count();
        state.SetIterationTime(allIn);
    }
}
BENCHMARK(BM_BouncingContact)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
