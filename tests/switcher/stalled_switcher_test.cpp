// A switcher that stops reading but goes on sending. The engine waits a bounded time for each
// frame it writes; what arrives meanwhile must wait for that frame, not start writes (and waits)
// of its own inside the wait, one inside the other until the stack runs out.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::Peer;
using test::waitUntil;

class StalledSwitcher : public ::testing::Test {
  protected:
    StalledSwitcher() : h(test::WeekMoment(0, 9, 0)) {
        e().OptoState.assign(2049, 0);
        e().RelayState.assign(2049, 0);
        e().settings.IPAddr = QStringLiteral("127.0.0.1");
        e().settings.IPPort = master.port();
        master.stopReading = true;
    }
    Engine& e() { return h.e(); }
    int drops() const {
        int n = 0;
        for (const QString& l : h.folder.errorLines())
            n += l.contains(QStringLiteral(" not reading - ")) ? 1 : 0;
        return n;
    }
    // Connects and writes until the engine's own backlog is full: the next frame has to wait.
    void fill() {
        ConnectSwitcher(e());
        ASSERT_TRUE(waitUntil([&] { return e().SwitcherConnected; }));
        ASSERT_TRUE(master.waitForClient());
        const QByteArray chunk(1 << 20, 0x01);
        QTcpSocket* s = e().links().socket(kMaster);
        for (int n = 0; n < 200 && s->bytesToWrite() <= kWriteBacklogLimit; ++n) {
            SendToSwitcher(e(), chunk);
            QCoreApplication::processEvents();
        }
        ASSERT_GT(s->bytesToWrite(), kWriteBacklogLimit);
        ASSERT_EQ(drops(), 0);
    }
    test::Harness h;
    Peer master;
};

TEST_F(StalledSwitcher, WhatArrivesWhileAFrameWaitsIsTakenUpAfterTheWait) {
    fill();
    const QByteArray relayFiveOn = FrameBuilder(0xF7).byte(40).num14(1).num14(4).byte(1).finish();
    QTimer::singleShot(0, [&] { master.send(relayFiveOn); });
    SendToSwitcher(e(), FrameBuilder(0xEA).byte(100).num14(3).finish());
    EXPECT_EQ(drops(), 1);
    EXPECT_EQ(e().RelayState.at(4), 0);  // still waiting in the receive buffer
    EXPECT_TRUE(waitUntil([&] { return e().RelayState.at(4) == 1; }));
}

TEST_F(StalledSwitcher, PingsArrivingDuringTheWaitDoNotNestFurtherWaits) {
    fill();
    // The switcher sends a ping on every turn of the loop while the engine waits to write a
    // frame; each ping asks for an answer, which could only wait for the switcher in turn.
    int pings = 0;
    QTimer pinger;
    QObject::connect(&pinger, &QTimer::timeout, [&] {
        if (pings++ < 100) master.send(QByteArray(1, static_cast<char>(kPing)));
    });
    pinger.start(0);
    SendToSwitcher(e(), FrameBuilder(0xEA).byte(100).num14(1).finish());
    pinger.stop();
    EXPECT_GT(pings, 10);
    // The frame was given up after its wait; no answer was written (and waited for) meanwhile.
    EXPECT_EQ(drops(), 1);
    EXPECT_TRUE(e().SwitcherConnected);
}

TEST_F(StalledSwitcher, HoldsTheEngineUpOnceNotForEveryFrameUntilItReadsAgain) {
    fill();
    SendToSwitcher(e(), FrameBuilder(0xEA).byte(100).num14(1).finish());
    ASSERT_EQ(drops(), 1);
    // Each frame would otherwise wait its own two seconds: a backlog of units that each answer
    // would keep the engine busy for hours, and deaf to its stop signal.
    const int32_t before = e().clock.tickCount();
    for (int n = 0; n < 10; ++n)
        SendRaw(e(), QByteArray(1, static_cast<char>(kPingAnswer)), kMaster);
    EXPECT_LT(e().clock.tickCount() - before, kWriteTimeoutMs);
    EXPECT_EQ(drops(), 1);  // the rest are told in one line when the stall is over

    // The switcher reads again: frames go out once more.
    master.stopReading = false;
    master.client->setReadBufferSize(0);
    ASSERT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return e().links().socket(kMaster)->bytesToWrite() == 0;
    }));
    const QByteArray salvo = FrameBuilder(0xEA).byte(100).num14(7).finish();
    SendToSwitcher(e(), salvo);
    ASSERT_EQ(drops(), 2);
    EXPECT_TRUE(h.folder.errorLines().last().endsWith(WriteTimeoutText(kMaster, 10)));
    EXPECT_TRUE(waitUntil([&] {
        master.received += master.client->readAll();
        return master.received.endsWith(salvo);
    }));
}

}  // namespace
}  // namespace tarvo
