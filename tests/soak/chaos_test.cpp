// The simulator's chaos: a plan that replays from its seed and stays within its bounds, and
// steps that do to the link what they say.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include <QTcpSocket>

#include "chaos.h"
#include "sim_switcher.h"
#include "switcher/codec.h"
#include "switcher/loop_wait.h"

namespace tarvo::sim {
namespace {

using test::waitUntil;

std::vector<ChaosStep> steps(const ChaosOptions& o, int n) {
    ChaosPlan plan(o);
    std::vector<ChaosStep> out;
    for (int k = 0; k < n; ++k) out.push_back(plan.next());
    return out;
}

TEST(ChaosPlan, TheSameSeedGivesTheSameStepsAndAnotherSeedOthers) {
    ChaosOptions o;
    o.seed = 42;
    const auto a = steps(o, 300);
    const auto b = steps(o, 300);
    o.seed = 43;
    const auto c = steps(o, 300);
    bool differs = false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].describe(), b[k].describe());
        EXPECT_EQ(a[k].afterMs, b[k].afterMs);
        EXPECT_EQ(a[k].bytes, b[k].bytes);
        differs = differs || a[k].describe() != c[k].describe();
    }
    EXPECT_TRUE(differs);
}

TEST(ChaosPlan, StepsStayWithinTheirBoundsAndEveryKindComesUp) {
    ChaosOptions o;
    o.seed = 7;
    o.paceMs = 1000;
    o.silenceMaxMs = 200000;
    o.slowReadMaxMs = 6000;
    o.triggerRange = 8;
    std::map<ChaosStep::Kind, int> seen;
    bool longSilence = false;
    bool flooded = false;
    for (const ChaosStep& s : steps(o, 8000)) {
        seen[s.kind] += 1;
        EXPECT_GE(s.afterMs, 500);
        EXPECT_LE(s.afterMs, 1500);
        switch (s.kind) {
            case ChaosStep::Silence:
                EXPECT_GE(s.durationMs, 1000);
                EXPECT_LE(s.durationMs, o.silenceMaxMs);
                longSilence = longSilence || s.durationMs > 168000;
                break;
            case ChaosStep::SlowRead:
                EXPECT_GE(s.durationMs, 2000);
                EXPECT_LE(s.durationMs, o.slowReadMaxMs);
                EXPECT_TRUE(s.floodUnits == 0 || s.floodUnits == o.floodUnits);
                flooded = flooded || s.floodUnits > 0;
                break;
            case ChaosStep::Garbage:
                EXPECT_FALSE(s.bytes.isEmpty());
                break;
            case ChaosStep::CutFrame:
                // A frame that never ends: a type byte first and no end byte.
                ASSERT_FALSE(s.bytes.isEmpty());
                EXPECT_NE(static_cast<uint8_t>(s.bytes[0]) & 0x80, 0);
                EXPECT_FALSE(s.bytes.contains(static_cast<char>(kEndOfMessage)));
                break;
            case ChaosStep::StateBurst:
                ASSERT_FALSE(s.states.empty());
                for (const StateChange& c : s.states) {
                    EXPECT_LT(c.number, o.triggerRange);
                    EXPECT_TRUE(c.state == 0 || c.state == 1);
                }
                break;
            case ChaosStep::StateDump: {
                // A dump updates without firing events: 32 entries or more, of one kind.
                EXPECT_GE(s.states.size(), 32u);
                std::set<int> kinds;
                for (const StateChange& c : s.states) kinds.insert(c.kind);
                EXPECT_EQ(kinds.size(), 1u);
                break;
            }
            case ChaosStep::MapBurst:
                for (const auto& [output, sources] : s.outputs) {
                    EXPECT_LT(output, o.triggerRange);
                    EXPECT_LE(sources.size(), 3u);
                }
                break;
            case ChaosStep::TakeBurst:
                for (const auto& [source, output] : s.takes) {
                    EXPECT_LT(source, o.sources);
                    EXPECT_LT(output, o.triggerRange);
                }
                break;
            case ChaosStep::OutputBurst: {
                ASSERT_GE(s.takes.size(), 2u);
                std::set<int> outputs;
                for (const auto& [source, output] : s.takes) outputs.insert(output);
                EXPECT_EQ(outputs.size(), 1u);
                EXPECT_LT(*outputs.begin(), o.triggerRange);
                break;
            }
            case ChaosStep::Bounce:
                // A chattering contact: 10 to 50 changes a second for one to four seconds.
                ASSERT_EQ(s.states.size(), 1u);
                EXPECT_LT(s.states[0].number, o.triggerRange);
                EXPECT_GE(s.hz, 10);
                EXPECT_LE(s.hz, 50);
                EXPECT_GE(s.durationMs, 1000);
                EXPECT_LE(s.durationMs, 4000);
                break;
            case ChaosStep::Disconnect:
                break;
        }
    }
    EXPECT_EQ(seen.size(), 11u);
    EXPECT_TRUE(longSilence);
    EXPECT_TRUE(flooded);
}

TEST(ChaosPlan, AFloodIsIdentityRequestsBackToBack) {
    const QByteArray flood = IdentFlood(3);
    EXPECT_EQ(flood, QByteArray::fromHex("816464FF816464FF816464FF"));
    QByteArray rest = flood;
    int frames = 0;
    for (RxStep s = NextRxStep(rest); s.kind == RxStep::Frame; s = NextRxStep(rest)) ++frames;
    EXPECT_EQ(frames, 3);
}

// The simulator in this process with one client playing the engine.
class ChaosSteps : public ::testing::Test {
  protected:
    ChaosSteps() : out(std::tmpfile()), sim(options(), out) {}
    ~ChaosSteps() override { std::fclose(out); }
    static SimSwitcher::Options options() {
        SimSwitcher::Options o;
        o.port = 0;
        return o;
    }
    void SetUp() override {
        QString error;
        ASSERT_TRUE(sim.start(&error)) << error.toStdString();
        QObject::connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        ASSERT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }));
        ASSERT_TRUE(waitUntil([&] { return received == QByteArray(1, char(kPingAnswer)); }));
        received.clear();
    }
    void ping() {
        client.write(QByteArray(1, char(kPing)));
        client.flush();
    }

    std::FILE* out;
    SimSwitcher sim;
    QTcpSocket client;
    QByteArray received;
};

TEST_F(ChaosSteps, ASilentSwitcherSendsNothingUntilItsSilenceEnds) {
    ChaosStep silence;
    silence.kind = ChaosStep::Silence;
    silence.durationMs = 1500;
    sim.runChaos(silence);
    ping();
    ChaosStep burst;
    burst.kind = ChaosStep::TakeBurst;
    burst.takes = {{3, 1}};
    sim.runChaos(burst);
    EXPECT_FALSE(waitUntil([&] { return !received.isEmpty(); }, 500));
    // The take was not even made: a silent switcher is not changed by chaos.
    EXPECT_EQ(sim.crosspoints().at(1), std::vector<int>{1});
    EXPECT_TRUE(waitUntil([&] {
        ping();
        return received.contains(char(kPingAnswer));
    }));
}

TEST_F(ChaosSteps, ASlowReaderLeavesWritesUnreadAndTakesThemUpLater) {
    ChaosStep slow;
    slow.kind = ChaosStep::SlowRead;
    slow.durationMs = 1500;
    slow.floodUnits = 2;
    sim.runChaos(slow);
    ASSERT_TRUE(waitUntil([&] { return received == IdentFlood(2); }));
    ping();
    EXPECT_FALSE(waitUntil([&] { return received.size() > IdentFlood(2).size(); }, 500));
    // Reading again, the ping sent meanwhile is answered.
    EXPECT_TRUE(waitUntil([&] { return received.endsWith(char(kPingAnswer)); }));
}

TEST_F(ChaosSteps, ADisconnectClosesTheClientsConnectionEitherWay) {
    for (bool reset : {false, true}) {
        ChaosStep cut;
        cut.kind = ChaosStep::Disconnect;
        cut.abort = reset;
        sim.runChaos(cut);
        EXPECT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
        client.connectToHost(QHostAddress::LocalHost, sim.port());
        ASSERT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }));
    }
}

TEST_F(ChaosSteps, BurstsChangeTheSwitchersPictureAndReportEachChange) {
    ChaosStep maps;
    maps.kind = ChaosStep::MapBurst;
    maps.outputs = {{2, {5, 6}}, {3, {}}};
    sim.runChaos(maps);
    EXPECT_EQ(sim.crosspoints().at(2), (std::vector<int>{5, 6}));
    EXPECT_TRUE(sim.crosspoints().at(3).empty());
    const QByteArray expected =
        MapFrame(sim.crosspoints(), 2, 1) + MapFrame(sim.crosspoints(), 3, 1);
    EXPECT_TRUE(waitUntil([&] { return received == expected; }));
}

}  // namespace
}  // namespace tarvo::sim
