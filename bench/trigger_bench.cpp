// Trigger latency: from the last byte of an opto state message leaving the switcher's socket to
// the triggered event's take frame arriving back at the switcher, through the engine's real event
// loop, inbound handler, runner, command builder and activity log.
#include <algorithm>
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>

#include "support/test_support.h"
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

void BM_OptoTriggerLatency(benchmark::State& state) {
    test::Folder folder;
    SystemClock clock;
    test::RecordingView view;
    Engine e(clock, view, folder.path());
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

    std::vector<double> micros;
    int state01 = 0;
    for (auto _ : state) {
        state01 = 1 - state01;
        const QByteArray message = FrameBuilder(0xF7).byte(30).num14(1).num14(4).byte(state01).finish();
        QByteArray received;
        const auto start = std::chrono::steady_clock::now();
        peer->write(message);
        peer->flush();
        while (received.size() < 9) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            received += peer->readAll();
        }
        const auto end = std::chrono::steady_clock::now();
        const double s = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(s);
        micros.push_back(s * 1e6);
        if (static_cast<uint8_t>(received[0]) != 0xFE) state.SkipWithError("no take frame");
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    CloseSwitcherLink(e.switcher);
}
BENCHMARK(BM_OptoTriggerLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
