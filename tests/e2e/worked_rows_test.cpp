// The worked rows of docs/database.md, loaded from the file the document points to and run
// against the switcher simulator: each does what the document says it does.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>

#include <QFile>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include "e2e_fixture.h"
#include "support/source_docs.h"
#include "uploads/file_bytes.h"

namespace tarvo {
namespace {

// The far end of a serial port: a pty whose other side is the program folder's COM<n>.
class SerialPeer {
  public:
    SerialPeer(const test::Folder& folder, int n) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(::grantpt(master_), 0);
        EXPECT_EQ(::unlockpt(master_), 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master_));
        // Held open so the pair lives on between the message's open and close.
        slave_ = ::open(slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        EXPECT_TRUE(QFile::link(slave, folder.file(QStringLiteral("COM%1").arg(n))));
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char buf[256];
            ssize_t n;
            while ((n = ::read(master_, buf, sizeof buf)) > 0) received.append(buf, n);
        });
    }
    ~SerialPeer() {
        notifier_.reset();
        ::close(slave_);
        ::close(master_);
    }
    QByteArray received;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

TEST_F(EndToEnd, TheWorkedRowsOfTheDatabaseContractDoWhatItSays) {
    h.clock.setNow(test::WeekMoment(0, 8, 59, 55));
    SimProcess sim;
    ASSERT_NE(sim.port, 0);
    QTcpServer tcpPeer;
    ASSERT_TRUE(tcpPeer.listen(QHostAddress::LocalHost, 0));
    QByteArray tcpReceived;
    QObject::connect(&tcpPeer, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* c = tcpPeer.nextPendingConnection())
            QObject::connect(c, &QTcpSocket::readyRead, c,
                             [&tcpReceived, c] { tcpReceived += c->readAll(); });
    });
    QUdpSocket udpPeer;
    ASSERT_TRUE(udpPeer.bind(QHostAddress::LocalHost, 0));
    SerialPeer com3(h.folder, 3);
    // The input names of row 9, in the layout the editing tool writes.
    test::FileBytes names;
    names.words({200, 4, 0, 3}).text("Mic2", 4).text("mic1", 4).text("Tape", 4);
    names.fill(3).byte(0).byte(0).byte(1).fill(3 * 256);
    test::WriteFile(h.folder.file(QStringLiteral("inputs.alp")), names.data);

    const QString rows = test::SourceText(QStringLiteral("docs/examples/worked-rows.sql"));
    ASSERT_FALSE(rows.isEmpty());
    h.folder.createDatabase();
    h.folder.sql(rows);
    // The document's peers stand on this machine, at ports the test was given.
    h.folder.sql(
        QStringLiteral(
            "UPDATE Automation SET MIPAddress = '127.0.0.1', MIPPort = %1 WHERE Number = 6")
            .arg(tcpPeer.serverPort()));
    h.folder.sql(
        QStringLiteral(
            "UPDATE Automation SET MIPAddress = '127.0.0.1', MIPPort = %1 WHERE Number = 7")
            .arg(udpPeer.localPort()));
    h.folder.sql(
        QStringLiteral("UPDATE Server SET IPAddr = '127.0.0.1', IPPort = %1").arg(sim.port));
    h.startUp();
    ASSERT_TRUE(masterReady());

    // The timed rows, one a minute from 09:00. The manual clock runs far ahead of the real one:
    // the simulator's answers to the pings are let in before the engine would give it up.
    while (h.clock.now() < test::WeekMoment(0, 9, 9, 5)) {
        liveTicks(1);
        if (e().switcher.master().NoReplyCount > 20) {
            ASSERT_TRUE(waitUntil([&] { return e().switcher.master().NoReplyCount < 3; }));
        }
    }
    // The triggered rows, each trigger once the engine has seen the one before.
    const struct {
        const char* command;
        std::function<bool()> seen;
    } triggers[] = {
        {"opto 5 on", [&] { return e().switcher.OptoState.at(4) == 1; }},
        {"relay 9 on", [&] { return e().switcher.RelayState.at(8) == 1; }},
        {"take 3 12",
         [&] { return h.folder.activityLines().contains("Send Execute Salvo Number 1"); }},
        {"opto 5 off", [&] { return e().scheduler.DelayedEvents.size() == 1; }},
    };
    for (const auto& t : triggers) {
        sim.command(QString::fromLatin1(t.command));
        EXPECT_TRUE(waitUntil(t.seen)) << t.command;
        liveTicks(1);
    }
    // The delayed row's five seconds.
    const QDateTime queued = h.clock.now();
    while (!h.folder.activityLines().contains("Latch Relay #0002") &&
           h.clock.now() < queued.addSecs(8))
        liveTicks(1);
    waitUntil([&] { return sim.count(QStringLiteral("RX D3")) > 0; });

    const QStringList log = h.folder.activityLines();
    const struct {
        int number;
        QString logLine;  // what its run writes in the activity log; empty: nothing of its own
        QString frame;    // a frame the simulator receives from it, if any
    } rowsRun[] = {
        {1, "Send Take - In:0005-->Out:0012", "RX FE 04 08 04 00 0B 00 1B FF"},
        {2, "Send Execute Salvo Number 3", "RX EA 64 02 00 66 FF"},
        {3, "Send Take - In:0007-->Out:0003", {}},
        {5, "Send Take - In:0002-->Out:0012", {}},
        {6, "Message Sent to 127.0.0.1 Title:Tell playout: news", {}},
        {7, "Message Sent to 127.0.0.1 Title:Tell the clock: on air", {}},
        {8, "Message Sent to comm:3 Message: TALLY 1^M", {}},
        {9, "Input Alphas Changed", {}},
        {10, "Sent Source Select: Device ID - 3, Source - 10",
         "RX D3 01 01 00 05 03 00 09 00 00 13 FF"},
        {11, "Send Take - In:0009-->Out:0001", {}},
        {12, "Opto On #0003", {}},
        {13, "Send Execute Salvo Number 1", "RX EA 64 00 00 64 FF"},
        {14, "Latch Relay #0002", {}},
    };
    for (const auto& r : rowsRun) {
        SCOPED_TRACE(r.number);
        EXPECT_TRUE(log.contains(r.logLine)) << log.join('\n').toStdString();
        if (!r.frame.isEmpty()) {
            EXPECT_GE(sim.count(r.frame), 1) << sim.lines.join('\n').toStdString();
        }
    }
    EXPECT_EQ(tcpReceived, QByteArray("NEWS START\r"));
    ASSERT_TRUE(udpPeer.hasPendingDatagrams());
    QByteArray datagram(static_cast<int>(udpPeer.pendingDatagramSize()), '\0');
    udpPeer.readDatagram(datagram.data(), datagram.size());
    EXPECT_EQ(datagram, QByteArray("ON AIR\r"));
    EXPECT_EQ(com3.received, QByteArray("TALLY 1\r"));

    // The one-time row ran once and is gone; the skip row did not run and is active again.
    EXPECT_EQ(
        h.folder.query(QStringLiteral("SELECT COUNT(*) FROM Automation WHERE Number = 3")).toInt(),
        0);
    EXPECT_EQ(
        h.folder.query(QStringLiteral("SELECT Active FROM Automation WHERE Number = 4")).toInt(),
        1);
    EXPECT_FALSE(log.contains(QStringLiteral("Send Take - In:0008-->Out:0004")));
    // (The test's clock runs ahead of the simulator, which answers on the real one: a take report
    // may come after the engine's second for it. Those lines are the clocks', not the rows'.)
    QStringList errors = h.folder.errorLines();
    errors.removeIf([](const QString& l) { return l.contains(QStringLiteral("Take not confirmed")); });
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

}  // namespace
}  // namespace tarvo
