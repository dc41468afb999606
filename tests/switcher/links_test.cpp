#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QTcpSocket>

#include "engine/main_loop.h"
#include "support/test_support.h"
#include "switcher/codec.h"
#include "switcher/framing.h"
#include "switcher/inbound.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"

namespace tarvo {
namespace {

using test::bytes;
using test::Peer;
using test::waitUntil;

class Links : public ::testing::Test {
  protected:
    Links() : h(test::WeekMoment(0, 9, 0)) {
        e().OptoState.assign(2049, 0);
        e().RelayState.assign(2049, 0);
        e().settings.IPAddr = QStringLiteral("127.0.0.1");
        e().settings.IPPort = master.port();
    }
    Engine& e() { return h.e(); }
    void upMaster() {
        ConnectSwitcher(e());
        ASSERT_TRUE(waitUntil([&] { return e().SwitcherConnected; }));
        ASSERT_TRUE(master.waitForClient());
    }
    void upSlave() {
        e().settings.SlaveEnabled = true;
        e().settings.SlaveIPAddr = QStringLiteral("127.0.0.1");
        e().settings.SlaveIPPort = slave.port();
        LoadSlaveSocket(e());
        ConnectSlave(e());
        ASSERT_TRUE(waitUntil([&] { return e().SlaveConnected; }));
        ASSERT_TRUE(slave.waitForClient());
    }
    test::Harness h;
    Peer master;
    Peer slave;
};

TEST_F(Links, ConnectedEventAloneChangesNothingElse) {
    const std::size_t captions = h.view.captions.size();
    upMaster();
    EXPECT_FALSE(e().SwitcherOnline);
    EXPECT_EQ(h.view.captions.size(), captions);
    EXPECT_TRUE(master.received.isEmpty());
    EXPECT_FALSE(e().SlaveSocketLoaded);
    EXPECT_EQ(e().links().socket(kSlave), nullptr);
}

TEST_F(Links, PingIsAnsweredAndTheMapAskedForUntilItArrives) {
    upMaster();
    master.send(bytes({0xF5}));
    ASSERT_TRUE(master.waitForBytes(bytes({0xF4})));
    master.received.clear();
    master.send(bytes({0xF4}));
    ASSERT_TRUE(master.waitForBytes(InfoRequestFrame(kInfoMask1, kInfoMask2)));
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);

    master.received.clear();
    master.send(FrameBuilder(0xF6).byte(0).num14(1).num14(0).num14(0).byte(0).finish());
    ASSERT_TRUE(waitUntil([&] { return e().MapReceived[0]; }));
    master.send(bytes({0xF4, 0xF5}));
    ASSERT_TRUE(master.waitForBytes(bytes({0xF4})));
    EXPECT_EQ(master.received, bytes({0xF4}));  // no second info request
}

TEST_F(Links, BurstIsActedOnWithoutWaitingForTicks) {
    upMaster();
    QByteArray burst;
    for (int n = 0; n < 40; ++n)
        burst += FrameBuilder(0xF7).byte(30).num14(1).num14(n).byte(1).finish();
    burst += bytes({0xF5});
    master.send(burst);
    // No tick runs in this test: only the data-arrived handling can take all of it in.
    ASSERT_TRUE(waitUntil([&] { return e().OptoState[39] == 1; }));
    EXPECT_TRUE(master.waitForBytes(bytes({0xF4})));
    EXPECT_TRUE(e().RxBuffer[0].isEmpty());
}

TEST_F(Links, IdentityRequestIsAnsweredOnItsOwnLink) {
    upMaster();
    upSlave();
    slave.send(bytes({0x81, 0x64, 0x64, 0xFF}));
    ASSERT_TRUE(slave.waitForBytes(bytes({0x81, 0x7D, 0x00, 0x7D, 0xFF})));
    EXPECT_TRUE(master.received.isEmpty());
}

TEST_F(Links, CommandsGoToMasterThenSlaveButNeverToTheSlaveAlone) {
    upMaster();
    upSlave();
    const QByteArray frame = FrameBuilder(0xFE).num14(0x404).num14(4).num14(11).finish();
    SendToSwitcher(e(), frame);
    EXPECT_TRUE(master.waitForBytes(frame));
    EXPECT_TRUE(slave.waitForBytes(frame));

    // A frame longer than one write arrives whole.
    QByteArray big = FrameBuilder(0xFC).bytes(QByteArray(40000, 0x11)).finish();
    SendToSwitcher(e(), big);
    EXPECT_TRUE(master.waitForBytes(big));
    EXPECT_TRUE(slave.waitForBytes(big));

    master.received.clear();
    slave.received.clear();
    CloseSwitcherLink(e());
    SendToSwitcher(e(), frame);
    SendRaw(e(), bytes({0xF5}), kSlave);
    ASSERT_TRUE(slave.waitForBytes(bytes({0xF5})));
    EXPECT_EQ(slave.received, bytes({0xF5}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
    // Large data for a link that is down ends in a report.
    SendToSwitcher(e(), big);
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith(kErrorSendingToSwitcher));
}

TEST_F(Links, PeerClosingTheMasterTearsItsStateDown) {
    upMaster();
    upSlave();
    master.send(bytes({0xF4}));
    slave.send(bytes({0xF4}));
    ASSERT_TRUE(waitUntil([&] { return e().SwitcherOnline && e().SlaveSwitcherOnline; }));
    e().SwitcherMap.assign(5, OutputMap{});
    e().SlaveSwitcherMap.assign(5, OutputMap{});
    e().MapReceived = {true, true};

    slave.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !e().SlaveConnected; }));
    EXPECT_FALSE(e().SlaveSwitcherOnline);
    EXPECT_EQ(e().SlaveSwitcherMap.size(), 1u);
    EXPECT_FALSE(e().MapReceived[1]);
    EXPECT_TRUE(e().SwitcherConnected);
    EXPECT_EQ(e().SwitcherMap.size(), 5u);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);

    master.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !e().SwitcherConnected; }));
    EXPECT_FALSE(e().SwitcherOnline);
    EXPECT_FALSE(e().MapReceived[0]);
    EXPECT_EQ(e().SwitcherMap.size(), 1u);
    EXPECT_EQ(h.view.caption(), kCaptionServerNotConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::NotConnected);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Links, WhatArrivesJustBeforeACloseIsStillTaken) {
    upMaster();
    master.send(FrameBuilder(0xF7).byte(40).num14(1).num14(6).byte(1).finish());
    master.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !e().SwitcherConnected; }));
    EXPECT_EQ(e().RelayState[6], 1);
}

TEST_F(Links, NoAddressIsNeverDialledAndRefusalsAreNotLogged) {
    e().settings.IPAddr = QStringLiteral("0.0.0.0");
    ConnectSwitcher(e());
    EXPECT_EQ(e().links().socket(kMaster)->state(), QAbstractSocket::UnconnectedState);

    // A port nobody listens on: every tick tries again, quietly.
    QTcpServer gone;
    gone.listen(QHostAddress::LocalHost, 0);
    e().settings.IPAddr = QStringLiteral("127.0.0.1");
    e().settings.IPPort = gone.serverPort();
    gone.close();
    for (int n = 0; n < 4; ++n) {
        ConnectSwitcher(e());
        waitUntil([&] {
            return e().links().socket(kMaster)->state() == QAbstractSocket::UnconnectedState;
        });
        h.clock.advance(500);
    }
    EXPECT_FALSE(e().SwitcherConnected);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Links, AnAttemptUnderWayIsGivenTimeToFinish) {
    // A listener whose queue is full leaves a further connect hanging, like a slow network.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, ntohs(addr.sin_port));
    ASSERT_TRUE(filler.waitForConnected(5000));

    e().settings.IPPort = ntohs(addr.sin_port);
    ConnectSwitcher(e());
    QTcpSocket* s = e().links().socket(kMaster);
    if (s->state() != QAbstractSocket::ConnectingState) {
        ::close(fd);
        GTEST_SKIP() << "this kernel accepts beyond a full listen queue";
    }
    int restarts = 0;
    QObject::connect(s, &QAbstractSocket::stateChanged, [&](QAbstractSocket::SocketState st) {
        if (st == QAbstractSocket::ConnectingState) ++restarts;
    });
    for (int n = 0; n < 5; ++n) {  // 2.5 s of ticks: the same attempt goes on
        h.clock.advance(500);
        ConnectSwitcher(e());
    }
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(s->state(), QAbstractSocket::ConnectingState);
    h.clock.advance(600);  // past 3 s: given up and started again
    ConnectSwitcher(e());
    EXPECT_EQ(restarts, 1);
    e().links().close(kMaster);
    ::close(fd);
}

TEST_F(Links, ASwitcherThatStopsReadingCannotHoldTheEngine) {
    master.stopReading = true;
    upMaster();
    const QByteArray chunk(1 << 20, 0x01);
    const QString dropped = WriteTimeoutText(kMaster, chunk.size());
    bool seen = false;
    for (int n = 0; n < 200 && !seen; ++n) {
        SendToSwitcher(e(), chunk);
        for (const QString& l : h.folder.errorLines()) seen = seen || l.endsWith(dropped);
    }
    EXPECT_TRUE(seen);
    EXPECT_LE(e().links().socket(kMaster)->bytesToWrite(), kWriteBacklogLimit + chunk.size());
    EXPECT_TRUE(e().SwitcherConnected);
}

}  // namespace
}  // namespace tarvo
