#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include <QTcpSocket>
#include <QUdpSocket>

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
        sw().OptoState.assign(2049, 0);
        sw().RelayState.assign(2049, 0);
        h.master().wantedAddress = QStringLiteral("127.0.0.1");
        h.master().wantedPort = master.port();
    }
    Switcher& sw() { return h.e().switcher; }
    // Up, the connection's first ping taken off what the switcher received.
    void upMaster() {
        ConnectSwitcher(sw());
        ASSERT_TRUE(waitUntil([&] { return h.master().Connected; }));
        ASSERT_TRUE(master.waitForClient());
        if (master.stopReading) return;
        ASSERT_TRUE(master.waitForBytes(bytes({0xF5})));
        master.received.remove(0, 1);
    }
    void upSlave() {
        sw().SlaveEnabled = true;
        h.slave().wantedAddress = QStringLiteral("127.0.0.1");
        h.slave().wantedPort = slave.port();
        LoadSlaveSocket(sw());
        ConnectSlave(sw());
        ASSERT_TRUE(waitUntil([&] { return h.slave().Connected; }));
        ASSERT_TRUE(slave.waitForClient());
        ASSERT_TRUE(slave.waitForBytes(bytes({0xF5})));
        slave.received.remove(0, 1);
    }
    SendResult send(const QByteArray& frame) {
        return test::RunToEnd(h, SendToSwitcher(sw(), frame));
    }
    test::Harness h;
    Peer master;
    Peer slave;
};

TEST_F(Links, ConnectedEventSendsAPingAndChangesNothingElse) {
    const std::size_t captions = h.view.captions.size();
    // Pings left unanswered on an earlier connection do not count on this one.
    h.master().NoReplyCount = 250;
    upMaster();
    EXPECT_EQ(h.master().NoReplyCount, 1);
    EXPECT_FALSE(h.master().Online);
    EXPECT_EQ(h.view.captions.size(), captions);
    EXPECT_TRUE(master.received.isEmpty());
    EXPECT_FALSE(sw().SlaveSocketLoaded);
    EXPECT_EQ(h.slave().socket(), nullptr);
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
    ASSERT_TRUE(waitUntil([&] { return h.master().MapReceived; }));
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
    ASSERT_TRUE(waitUntil([&] { return sw().OptoState[39] == 1; }));
    EXPECT_TRUE(master.waitForBytes(bytes({0xF4})));
    EXPECT_TRUE(h.master().RxBuffer.isEmpty());
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
    EXPECT_EQ(send(frame), SendResult::Sent);
    EXPECT_TRUE(master.waitForBytes(frame));
    EXPECT_TRUE(slave.waitForBytes(frame));

    // A frame longer than one write arrives whole.
    QByteArray big = FrameBuilder(0xFC).bytes(QByteArray(40000, 0x11)).finish();
    EXPECT_EQ(send(big), SendResult::Sent);
    EXPECT_TRUE(master.waitForBytes(big));
    EXPECT_TRUE(slave.waitForBytes(big));

    master.received.clear();
    slave.received.clear();
    CloseSwitcherLink(sw());
    // Not sent: the caller must not log its command as sent.
    EXPECT_EQ(send(frame), SendResult::NotConnected);
    SendRaw(sw(), bytes({0xF5}), kSlave);
    ASSERT_TRUE(slave.waitForBytes(bytes({0xF5})));
    EXPECT_EQ(slave.received, bytes({0xF5}));
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
    // Large data for a link that is down ends in a report.
    EXPECT_EQ(send(big), SendResult::NotConnected);
    ASSERT_EQ(h.folder.errorLines().size(), 1);
    EXPECT_TRUE(h.folder.errorLines()[0].startsWith(kErrorSendingToSwitcher));
    EXPECT_EQ(h.s().runs.count(), 0);
}

TEST_F(Links, PeerClosingTheMasterTearsItsStateDown) {
    upMaster();
    upSlave();
    master.send(bytes({0xF4}));
    slave.send(bytes({0xF4}));
    ASSERT_TRUE(waitUntil([&] { return h.master().Online && h.slave().Online; }));
    h.master().Map.assign(5, OutputMap{});
    h.slave().Map.assign(5, OutputMap{});
    h.master().MapReceived = true;
    h.slave().MapReceived = true;
    const uint64_t slaveGeneration = h.slave().generation;

    slave.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !h.slave().Connected; }));
    EXPECT_FALSE(h.slave().Online);
    EXPECT_EQ(h.slave().Map.size(), 1u);
    EXPECT_FALSE(h.slave().MapReceived);
    // Whatever was begun against the slave's picture can tell it is gone.
    EXPECT_NE(h.slave().generation, slaveGeneration);
    EXPECT_TRUE(h.master().Connected);
    EXPECT_EQ(h.master().Map.size(), 5u);
    EXPECT_EQ(h.view.caption(), kCaptionSwitcherConnected);

    master.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !h.master().Connected; }));
    EXPECT_FALSE(h.master().Online);
    EXPECT_FALSE(h.master().MapReceived);
    EXPECT_EQ(h.master().Map.size(), 1u);
    EXPECT_EQ(h.view.caption(), kCaptionServerNotConnected);
    EXPECT_EQ(h.view.icons.back(), LinkIcon::NotConnected);
    EXPECT_TRUE(h.folder.errorLines().isEmpty());
}

TEST_F(Links, WhatArrivesJustBeforeACloseIsStillTaken) {
    upMaster();
    master.send(FrameBuilder(0xF7).byte(40).num14(1).num14(6).byte(1).finish());
    master.client->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return !h.master().Connected; }));
    EXPECT_EQ(sw().RelayState[6], 1);
}

// After F1 or the loss of the link the picture is gone, and only a whole map brings it back:
// neither a map update that set off a run still waiting, nor one that arrives on the empty
// picture, may pass for it. Otherwise the map is never asked for again and every take report
// for an output past the first fails.
TEST_F(Links, AfterAResetTheWholeMapIsAskedForAgain) {
    enum Reset { SwitcherGone, EngineCloses, PeerCloses };
    const struct {
        const char* name;
        Reset reset;
        bool runWaiting;  // the update's triggered run is still waiting when the reset comes
    } cases[] = {
        {"F1 during the run", SwitcherGone, true},
        {"engine closes during the run", EngineCloses, true},
        {"peer closes during the run", PeerCloses, true},
        {"F1, then an update", SwitcherGone, false},
        {"engine closes, then an update", EngineCloses, false},
    };
    QUdpSocket cuePeer;
    ASSERT_TRUE(cuePeer.bind(QHostAddress::LocalHost, 0));
    AutomationEvent cue;
    cue.id = 1;
    cue.Number = 1;
    cue.Type = kCrosspointTrigger;
    cue.Title = QStringLiteral("cue");
    cue.Active = kActive;
    cue.TriggerDest = 1;
    cue.tControl = 3;  // the destination gets a source
    cue.mcontrol = 1;
    cue.mtype = 4;  // a UDP message: the run waits for its socket
    cue.Message = QStringLiteral("cue");
    cue.MIPAddress = QStringLiteral("127.0.0.1");
    cue.MIPPort = cuePeer.localPort();
    h.s().CrosspointEvents = {cue};
    h.s().CrosspointTriggerDests = {1};
    h.s().CurrentDay = cue.Day;

    const QByteArray wholeMap = FrameBuilder(0xF6)
                                    .byte(0)
                                    .num14(3)
                                    .num14(0)
                                    .num14(0)
                                    .byte(0)
                                    .num14(0)
                                    .byte(0)
                                    .num14(0)
                                    .byte(0)
                                    .finish();
    const QByteArray updateOfOutput1 =
        FrameBuilder(0xF6).byte(0).num14(1).num14(0).num14(1).byte(0).num14(4).num14(0).finish();
    const QByteArray takeOnOutput2 = FrameBuilder(0xFE).num14(4).num14(6).num14(1).finish();
    const QByteArray infoRequest = InfoRequestFrame(kInfoMask1, kInfoMask2);
    int connections = 0;
    auto connect = [&] {
        ConnectSwitcher(sw());
        ++connections;
        ASSERT_TRUE(
            waitUntil([&] { return h.master().Connected && master.connections == connections; }));
    };
    auto answerPing = [&] {
        master.received.clear();
        master.send(bytes({0xF4}));
        return waitUntil([&] { return h.master().Online; });
    };

    connect();
    ASSERT_TRUE(answerPing());
    ASSERT_TRUE(master.waitForBytes(infoRequest));
    master.send(wholeMap);
    ASSERT_TRUE(waitUntil([&] { return h.master().MapReceived; }));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(h.master().Map.size(), 3u);
        if (c.runWaiting) {
            master.send(updateOfOutput1);
            ASSERT_TRUE(waitUntil([&] { return h.s().runs.count() == 1; }));
        }
        switch (c.reset) {
            case SwitcherGone:
                master.send(bytes({0xF1}));
                ASSERT_TRUE(waitUntil([&] { return !h.master().MapReceived; }));
                break;
            case EngineCloses:
                CloseSwitcherLink(sw());
                connect();
                break;
            case PeerCloses:
                master.client->disconnectFromHost();
                ASSERT_TRUE(waitUntil([&] { return !h.master().Connected; }));
                connect();
                break;
        }
        if (!c.runWaiting) {
            // The switcher reports a change before the engine has asked for its map.
            master.send(updateOfOutput1);
            ASSERT_TRUE(waitUntil([&] { return h.master().Map[0].SourceCount == 1; }));
        }
        h.settle();
        EXPECT_EQ(h.s().runs.count(), 0);

        ASSERT_TRUE(answerPing());
        EXPECT_TRUE(master.waitForBytes(infoRequest));
        master.send(wholeMap);
        ASSERT_TRUE(waitUntil([&] { return h.master().Map.size() == 3u; }));
        master.send(takeOnOutput2);
        ASSERT_TRUE(waitUntil([&] { return h.master().Map[1].SourceCount == 1; }));
        EXPECT_EQ(h.master().Map[1].Sources[0], 6);
        EXPECT_TRUE(h.folder.errorLines().isEmpty());
        // Once the whole map is in, a ping answer asks for nothing more.
        ASSERT_TRUE(answerPing());
        master.send(bytes({0xF5}));
        ASSERT_TRUE(master.waitForBytes(bytes({0xF4})));
        EXPECT_FALSE(master.received.contains(infoRequest));
        h.view.history.clear();
    }
}

TEST_F(Links, NoAddressIsNeverDialledAndRefusalsAreNotLogged) {
    h.master().wantedAddress = QStringLiteral("0.0.0.0");
    ConnectSwitcher(sw());
    EXPECT_EQ(h.master().socket()->state(), QAbstractSocket::UnconnectedState);

    // A port nobody listens on: every tick tries again, quietly.
    QTcpServer gone;
    gone.listen(QHostAddress::LocalHost, 0);
    h.master().wantedAddress = QStringLiteral("127.0.0.1");
    h.master().wantedPort = gone.serverPort();
    gone.close();
    for (int n = 0; n < 4; ++n) {
        ConnectSwitcher(sw());
        waitUntil([&] { return h.master().socket()->state() == QAbstractSocket::UnconnectedState; });
        h.clock.advance(500);
    }
    EXPECT_FALSE(h.master().Connected);
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

    h.master().wantedPort = ntohs(addr.sin_port);
    ConnectSwitcher(sw());
    QTcpSocket* s = h.master().socket();
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
        ConnectSwitcher(sw());
    }
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(s->state(), QAbstractSocket::ConnectingState);
    h.clock.advance(600);  // past 3 s: given up and started again
    ConnectSwitcher(sw());
    EXPECT_EQ(restarts, 1);
    h.master().closeSocket();
    ::close(fd);
}

TEST_F(Links, ASwitcherThatStopsReadingCannotHoldTheEngine) {
    master.stopReading = true;
    upMaster();
    const QByteArray chunk(1 << 20, 0x01);
    const QString dropped = WriteTimeoutText(kMaster, chunk.size());
    bool seen = false;
    int32_t longest = 0;
    for (int n = 0; n < 200 && !seen; ++n) {
        const int32_t before = h.clock.tickCount();
        send(chunk);
        longest = std::max(longest, h.clock.tickCount() - before);
        for (const QString& l : h.folder.errorLines()) seen = seen || l.endsWith(dropped);
    }
    EXPECT_TRUE(seen);
    // The one send that waited was given up once the switcher had taken nothing for the whole
    // time, not held on to while the backlog grew.
    EXPECT_GT(longest, kWriteTimeoutMs);
    EXPECT_LT(longest, 2 * kWriteTimeoutMs);
    EXPECT_LE(h.master().socket()->bytesToWrite(), kWriteBacklogLimit + chunk.size());
    EXPECT_TRUE(h.master().Connected);
    EXPECT_EQ(h.master().waitingWriters(), 0u);
}

}  // namespace
}  // namespace tarvo
