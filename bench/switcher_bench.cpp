// What the switcher link costs: taking a stream of mixed messages off a receive buffer,
// decoding a full crosspoint map, and the time from a take report reaching the engine's socket
// to the engine's picture holding it.
#include <chrono>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "engine/engine.h"
#include "base/status_view.h"
#include "logs/failure.h"
#include "base/clock.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/inbound.h"
#include "switcher/links.h"

namespace tarvo {
namespace {

struct BenchEngine {
    BenchEngine() : engine(clock, view, dir.path()) {
        engine.switcher.OptoState.assign(2049, 0);
        engine.switcher.RelayState.assign(2049, 0);
        engine.switcher.master().Map.assign(1024, OutputMap{});
    }
    QTemporaryDir dir;
    SystemClock clock;
    QuietView view;
    Engine engine;
};

QByteArray mapFrame(int outputs, int sourcesEach, int first = 0) {
    FrameBuilder b(0xF6);
    b.byte(0).num14(outputs).num14(first);
    for (int o = 0; o < outputs; ++o) {
        b.num14(sourcesEach).byte(0);
        for (int s = 0; s < sourcesEach; ++s) b.num14((o * 7 + s) % 1000).num14(0);
    }
    return b.finish();
}

// About 1 MB of what a busy switcher sends: sign-of-life bytes, take reports, opto and relay
// changes and single-output map updates.
QByteArray mixedStream() {
    QByteArray unit;
    for (int k = 0; k < 64; ++k) {
        unit += static_cast<char>(kNoEffect);
        unit += FrameBuilder(0xFE).num14(4).num14(k).num14(k % 1024).finish();
        unit += FrameBuilder(0xF7).byte(k % 2 ? 30 : 40).num14(1).num14(k).byte(k % 2).finish();
        unit += mapFrame(1, 3, (k * 13) % 1024);
    }
    QByteArray stream;
    while (stream.size() < (1 << 20)) stream += unit;
    return stream;
}

// The codec alone through `stream`, step by step until it is empty or a frame waits.
void consumeWithTheCodec(benchmark::State& state, const QByteArray& stream) {
    for (auto _ : state) {
        QByteArray buffer = stream;
        int units = 0;
        for (;;) {
            const RxStep s = NextRxStep(buffer);
            if (s.kind == RxStep::Empty || s.kind == RxStep::Waiting) break;
            ++units;
        }
        benchmark::DoNotOptimize(units);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}

void BM_ConsumeMixedStreamCodec(benchmark::State& state) { consumeWithTheCodec(state, mixedStream()); }
BENCHMARK(BM_ConsumeMixedStreamCodec)->Unit(benchmark::kMillisecond);

// Frames cut short one after the other and no end byte anywhere: each is dropped as the next
// type byte shows, which must not cost a look at the whole rest of the stream each time.
void BM_CutFramesWithoutEndByte(benchmark::State& state) {
    QByteArray stream;
    while (stream.size() < state.range(0)) stream += QByteArray::fromHex("F60102");
    consumeWithTheCodec(state, stream);
}
BENCHMARK(BM_CutFramesWithoutEndByte)->Arg(9 * 1024)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);

void BM_ConsumeMixedStreamEngine(benchmark::State& state) {
    BenchEngine b;
    const QByteArray stream = mixedStream();
    for (auto _ : state) {
        b.engine.switcher.master().clearReceived();
        b.engine.switcher.master().RxBuffer = stream;
        while (ConsumeOneUnit(b.engine.switcher, kMaster)) {
        }
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_ConsumeMixedStreamEngine)->Unit(benchmark::kMillisecond);

void BM_DecodeFullMap(benchmark::State& state) {
    const QByteArray frame = mapFrame(1024, 4);
    for (auto _ : state) {
        MapProgress p;
        benchmark::DoNotOptimize(DecodeCrosspointMap(frame, p));
    }
    state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(BM_DecodeFullMap)->Unit(benchmark::kMicrosecond);

// A frame of 8 bytes whose count claims 16383 outputs: it fails on its first missing byte, and
// what that costs is what a peer sending such frames in a burst holds the loop for.
void BM_ShortMapClaimingEveryOutput(benchmark::State& state) {
    const QByteArray frame = FrameBuilder(0xF6).byte(0).num14(kMax14Bit).num14(0).finish();
    for (auto _ : state) {
        MapProgress p;
        try {
            benchmark::DoNotOptimize(DecodeCrosspointMap(frame, p));
        } catch (const TarvoError&) {
        }
    }
}
BENCHMARK(BM_ShortMapClaimingEveryOutput)->Unit(benchmark::kMicrosecond);

void BM_StoreFullMap(benchmark::State& state) {
    BenchEngine b;
    const QByteArray frame = mapFrame(1024, 4);
    for (auto _ : state) HandleCrosspointMap(b.engine.switcher, frame, kMaster);
    state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(BM_StoreFullMap)->Unit(benchmark::kMicrosecond);

// From the switcher's write of a take report on a loopback socket to the report being in the
// engine's map, with the engine's real event loop in between.
void BM_TakeReportLatency(benchmark::State& state) {
    BenchEngine b;
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    b.engine.switcher.master().wantedAddress = QStringLiteral("127.0.0.1");
    b.engine.switcher.master().wantedPort = server.serverPort();
    ConnectSwitcher(b.engine.switcher);
    while (!b.engine.switcher.master().Connected || !server.hasPendingConnections())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    QTcpSocket* peer = server.nextPendingConnection();
    peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    int source = 0;
    for (auto _ : state) {
        source = (source + 1) % 1000;
        const int output = source % 1024;
        const QByteArray frame = FrameBuilder(0xFE).num14(4).num14(source).num14(output).finish();
        b.engine.switcher.master().Map[static_cast<std::size_t>(output)].Sources[0] = -1;
        const auto start = std::chrono::steady_clock::now();
        peer->write(frame);
        peer->flush();
        while (b.engine.switcher.master().Map[static_cast<std::size_t>(output)].Sources[0] != source)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    CloseSwitcherLink(b.engine.switcher);
}
BENCHMARK(BM_TakeReportLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
