// What messages to other equipment hold while they wait: 256 runs at once (the most the run set
// allows), each sending the same 1 MB file over TCP to a peer that never reads (a listener
// that never accepts: the kernel completes the connections and buffers what it can). The
// engine's resident memory is sampled every 5 ms until every run has ended.
//
//   rss_before_MiB  VmRSS with the engine built and the file written, before the first run
//   rss_peak_MiB    the highest VmRSS sampled while the runs were in progress
//   hwm_MiB         VmHWM (the kernel's own peak) at the end
//   sent, failed    how the 256 messages ended
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include "base/clock.h"
#include "base/status_view.h"
#include "engine/engine.h"
#include "store/automation_event.h"
#include "switcher/peer_messages.h"

namespace tarvo {
namespace {

constexpr int kRuns = 256;
constexpr int kFileBytes = 1024 * 1024;

// Resident memory from /proc/self/status, in KiB.
long statusKib(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field)) return line.mid(qstrlen(field)).trimmed().split(' ')[0].toLong();
    return -1;
}

// Listening, never accepting: every connection completes and nothing is ever read.
struct SilentListener {
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, kRuns + 16);
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

Task<> sendOne(PeerPorts& p, AutomationEvent ev, int& sent, int& failed) {
    const bool ok = co_await SendEventMessage(p, ev);
    ++(ok ? sent : failed);
}

void BM_SameFileToAPeerThatNeverReads(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        SystemClock clock;
        QuietView view;
        auto engine = std::make_unique<Engine>(clock, view, dir.path() + QLatin1Char('/'));
        QFile f(dir.filePath(QStringLiteral("cue.bin")));
        f.open(QIODevice::WriteOnly);
        QByteArray content(kFileBytes, 'c');
        for (int i = 0; i < kFileBytes; i += 97) content[i] = static_cast<char>(i % 251);
        f.write(content);
        f.close();
        content.clear();
        SilentListener peer;

        AutomationEvent ev;
        ev.Title = QStringLiteral("Cue");
        ev.Message = QStringLiteral("cue.bin");
        ev.mcontrol = 3;
        ev.mtype = 1;
        ev.MIPAddress = QStringLiteral("127.0.0.1");
        ev.MIPPort = peer.port;

        const long before = statusKib("VmRSS:");
        int sent = 0;
        int failed = 0;
        for (int i = 0; i < kRuns; ++i)
            engine->scheduler.runs.start(sendOne(engine->peers, ev, sent, failed));
        long peak = before;
        const auto start = std::chrono::steady_clock::now();
        while (engine->scheduler.runs.count() > 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(120)) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            peak = std::max(peak, statusKib("VmRSS:"));
        }
        state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024;
        state.counters["rss_peak_MiB"] = static_cast<double>(peak) / 1024;
        state.counters["hwm_MiB"] = static_cast<double>(statusKib("VmHWM:")) / 1024;
        state.counters["sent"] = sent;
        state.counters["failed"] = failed;
    }
}
BENCHMARK(BM_SameFileToAPeerThatNeverReads)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
