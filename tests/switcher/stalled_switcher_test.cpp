// A switcher that stops reading but goes on sending. The engine waits a bounded time for each
// frame it writes; what arrives meanwhile must wait for that frame, not start writes (and waits)
// of its own inside the wait, one inside the other until the stack runs out.
#include <gtest/gtest.h>

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
    // Connects and writes until the engine's own backlog is full and a frame has been dropped.
    void stall() {
        ConnectSwitcher(e());
        ASSERT_TRUE(waitUntil([&] { return e().SwitcherConnected; }));
        ASSERT_TRUE(master.waitForClient());
        const QByteArray chunk(1 << 20, 0x01);
        for (int n = 0; n < 200 && drops() == 0; ++n) SendToSwitcher(e(), chunk);
        ASSERT_EQ(drops(), 1);
    }
    test::Harness h;
    Peer master;
};

TEST_F(StalledSwitcher, WhatArrivesWhileAFrameWaitsIsTakenUpAfterTheWait) {
    stall();
    const QByteArray relayFiveOn = FrameBuilder(0xF7).byte(40).num14(1).num14(4).byte(1).finish();
    QTimer::singleShot(0, [&] { master.send(relayFiveOn); });
    SendToSwitcher(e(), FrameBuilder(0xEA).byte(100).num14(3).finish());
    EXPECT_EQ(drops(), 2);
    EXPECT_EQ(e().RelayState.at(4), 0);  // still waiting in the receive buffer
    EXPECT_TRUE(waitUntil([&] { return e().RelayState.at(4) == 1; }));
}

TEST_F(StalledSwitcher, PingsArrivingDuringTheWaitsDoNotNestFurtherWaits) {
    stall();
    // The switcher sends a ping on every turn of the loop while the engine writes five frames;
    // each ping asks for an answer, which could only wait for the switcher in turn.
    int pings = 0;
    QTimer pinger;
    QObject::connect(&pinger, &QTimer::timeout, [&] {
        if (pings++ < 100) master.send(QByteArray(1, static_cast<char>(kPing)));
    });
    pinger.start(0);
    for (int n = 0; n < 5; ++n) SendToSwitcher(e(), FrameBuilder(0xEA).byte(100).num14(n).finish());
    pinger.stop();
    EXPECT_GT(pings, 10);
    // The five frames, each given up after its wait; no answer was written behind their backs.
    EXPECT_EQ(drops(), 1 + 5);
    EXPECT_TRUE(e().SwitcherConnected);
}

}  // namespace
}  // namespace tarvo
