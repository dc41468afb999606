// Trigger latency: from the last byte of an opto state message leaving the switcher's socket to
// the triggered event's take frame arriving back at the switcher, through the engine's real event
// loop, inbound handler, runner, command builder and activity log.
#include <algorithm>
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>

#include "engine/metrics.h"
#include "support/test_support.h"
#include "web/console.h"
#include "web/users.h"
#include "switcher/codec.h"
#include "switcher/links.h"

namespace tarvo {
namespace {

AutomationEvent optoTake(int type) {
    AutomationEvent ev;
    ev.Number = static_cast<int16_t>(type);
    ev.Type = static_cast<int16_t>(type);  // 1 on, 2 off
    ev.Opto = 5;
    ev.Day = 0;
    ev.DayName = DayNameOf(0);
    ev.Time = kNotOnTheClock;
    ev.Title = type == 1 ? QStringLiteral("Opto on") : QStringLiteral("Opto off");
    ev.Active = kActive;
    ev.xcontrol = 1;
    ev.SourceChan = static_cast<int16_t>(type == 1 ? 5 : 6);
    ev.DestChan = 12;
    return ev;
}

// With the argument 1 the web console is open on the engine's loop, with 5 live streams and 20
// clients asking /api/status and /metrics every second from another process (bench/web_load.py).
void BM_OptoTriggerLatency(benchmark::State& state) {
    test::Folder folder;
    SystemClock clock;
    test::RecordingView recording;
    web::WebConsole console(recording);
    const bool withConsole = state.range(0) == 1;
    Engine e(clock, withConsole ? static_cast<StatusView&>(console) : recording, folder.path());
    QProcess load;
    if (withConsole) {
        QString error;
        web::AddUser(folder.path() + web::kUsersFileName, QStringLiteral("bench"), web::Role::Viewer,
                     "bench password", error);
        console.attach(e, {[&e] { return MetricsText(e, e.clock.now().toMSecsSinceEpoch()); }, [] { return QString(); }});
        if (!console.listen(web::ConsoleSettings(), error)) state.SkipWithError(qPrintable(error));
        load.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(TARVO_SOURCE_DIR "/bench/web_load.py"), QString::number(console.port()),
                    QStringLiteral("bench"), QStringLiteral("bench password"), QStringLiteral("5"),
                    QStringLiteral("20"), QStringLiteral("600")});
        // Until every client is there: the sign-in's hash, then the streams and the first polls.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    e.switcher.OptoState.assign(2049, 0);
    e.switcher.RelayState.assign(2049, 0);
    e.scheduler.OptoEvents = {optoTake(1), optoTake(2)};
    e.scheduler.OptoEvents[0].id = 1;
    e.scheduler.OptoEvents[1].id = 2;
    e.scheduler.CurrentDay = 0;

    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    e.switcher.master().wantedAddress = QStringLiteral("127.0.0.1");
    e.switcher.master().wantedPort = server.serverPort();
    ConnectSwitcher(e.switcher);
    while (!e.switcher.master().Connected || !server.hasPendingConnections())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    e.switcher.master().Online = true;
    QTcpSocket* peer = server.nextPendingConnection();
    peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    // What a link sends when it connects (a keep-alive ping, the map request) is not measured.
    QElapsedTimer greeting;
    greeting.start();
    while (greeting.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    peer->readAll();

    std::vector<double> micros;
    int state01 = 0;
    for (auto _ : state) {
        state01 = 1 - state01;
        const QByteArray message = FrameBuilder(0xF7).byte(30).num14(1).num14(4).byte(state01).finish();
        QByteArray received;
        const auto start = std::chrono::steady_clock::now();
        peer->write(message);
        peer->flush();
        // The take frame (FE ...), past any keep-alive ping that comes first.
        while (received.indexOf('\xFE') < 0 || received.size() - received.indexOf('\xFE') < 9) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            received += peer->readAll();
        }
        const auto end = std::chrono::steady_clock::now();
        const double s = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(s);
        micros.push_back(s * 1e6);

    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    CloseSwitcherLink(e.switcher);
    if (withConsole) {
        load.kill();
        load.waitForFinished(5000);
    }
}
BENCHMARK(BM_OptoTriggerLatency)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
