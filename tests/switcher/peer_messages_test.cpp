// Messages against real peers on the loopback interface and a real pty, on the real clock.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>
#include <functional>
#include <limits>
#include <memory>

#include <gtest/gtest.h>
#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include "scheduler/actions.h"
#include "store/automation_event.h"
#include "support/test_support.h"
#include "switcher/links.h"
#include "switcher/loop_wait.h"
#include "switcher/peer_content.h"
#include "switcher/peer_messages.h"

// The kernel's termios with the speeds as numbers, which is where a speed outside the classic
// list lives. (Its header clashes with <termios.h>, so its layout is given here.)
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
// The speed code that says "the rate is in c_ospeed".
constexpr speed_t kOtherSpeed = 0010000;

namespace tarvo {
namespace {

using test::Folder;
using test::RecordingView;
using test::StartOnLoop;
using test::waitUntil;

// A TCP peer that accepts one connection and keeps what it receives.
class TcpPeer {
  public:
    TcpPeer() {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead,
                                 [this, s] { received += s->readAll(); });
                QObject::connect(s, &QTcpSocket::disconnected, [this] { closed = true; });
            }
        });
    }
    int32_t port() const { return server_.serverPort(); }

    QByteArray received;
    int connections = 0;
    bool closed = false;

  private:
    QTcpServer server_;
};

class UdpPeer {
  public:
    UdpPeer() {
        EXPECT_TRUE(sock_.bind(QHostAddress::LocalHost, 0));
        QObject::connect(&sock_, &QUdpSocket::readyRead, [this] {
            while (sock_.hasPendingDatagrams()) datagrams << sock_.receiveDatagram().data();
        });
    }
    int32_t port() const { return sock_.localPort(); }
    QList<QByteArray> datagrams;

  private:
    QUdpSocket sock_;
};

// A raw loopback socket, closed when the test ends.
class RawSocket {
  public:
    RawSocket() : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~RawSocket() { ::close(fd); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    int32_t port() const {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        return ntohs(a.sin_port);
    }
    int fd;
};

// A listener whose accept queue is already full: its SYNs are dropped, so a connect to it never
// completes (the client keeps retrying for longer than any message waits).
class NeverAccepts {
  public:
    NeverAccepts() {
        EXPECT_EQ(::listen(listener_.fd, 0), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(listener_.port()));
        filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~NeverAccepts() { ::close(filler_); }
    int32_t port() const { return listener_.port(); }

  private:
    RawSocket listener_;
    int filler_ = -1;
};

// A pty pair whose slave side is the program folder's COM<n>. The master keeps what the port
// sends.
class PtyPort {
  public:
    PtyPort(const Folder& folder, int n) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(::grantpt(master_), 0);
        EXPECT_EQ(::unlockpt(master_), 0);
        slavePath_ = QString::fromLocal8Bit(::ptsname(master_));
        // Held open so the pair lives on between the messages' opens and closes.
        slave_ = ::open(slavePath_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave_, 0);
        EXPECT_TRUE(QFile::link(slavePath_, folder.file(QStringLiteral("COM%1").arg(n))));
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            // The port is still open while its data arrives: its settings are read now, before
            // closing puts the pty's own settings back.
            if (!seen) {
                ::tcgetattr(master_, &settingsSeen);
                ::ioctl(master_, TCGETS2, &rateSeen);
                seen = true;
            }
            char buf[4096];
            ssize_t n;
            while ((n = ::read(master_, buf, sizeof buf)) > 0) received.append(buf, n);
        });
    }
    ~PtyPort() {
        notifier_.reset();
        ::close(slave_);
        ::close(master_);
    }
    speed_t speedSeen() const { return ::cfgetospeed(&settingsSeen); }

    QByteArray received;
    bool seen = false;
    termios settingsSeen{};
    termios2 rateSeen{};

  private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

AutomationEvent message(int kind, int transport, const QString& text, int32_t port) {
    AutomationEvent ev;
    ev.Title = QStringLiteral("News jingle");
    ev.Message = text;
    ev.mcontrol = static_cast<int16_t>(kind);
    ev.mtype = static_cast<int16_t>(transport);
    ev.MIPAddress = QStringLiteral("127.0.0.1");
    ev.MIPPort = port;
    return ev;
}

class PeerMessages : public ::testing::Test {
  protected:
    Folder folder;
    SystemClock clock;
    RecordingView view;
    Engine e{clock, view, folder.path()};

    // Runs a message to its end on the real clock and tells whether it was sent.
    bool sent(Task<bool> message) {
        const std::optional<bool> r = test::RunOnLoop(e.scheduler.runs, std::move(message));
        EXPECT_TRUE(r.has_value()) << "the message did not end";
        return r.value_or(false);
    }
    void run(Task<> task) { EXPECT_TRUE(test::RunOnLoop(e.scheduler.runs, std::move(task))); }

    QStringList activity() const { return folder.activityLines(); }
    QStringList errors() const { return folder.errorLines(); }
    // The location column of each error line.
    QStringList errorLocations() const {
        QStringList out;
        for (const QString& l : errors()) out << l.left(36).trimmed();
        return out;
    }

};

TEST_F(PeerMessages, TcpPeerReceivesTheByteFormAndTheSocketIsClosed) {
    TcpPeer peer;
    ASSERT_TRUE(sent(SendEventMessage(e.peers, message(1, 1, QStringLiteral("A^MB^1^"), peer.port()))));
    EXPECT_TRUE(waitUntil([&] { return peer.closed; }));
    EXPECT_EQ(peer.received, QByteArray("A\rB^1"));
    EXPECT_EQ(peer.connections, 1);
    EXPECT_EQ(activity(),
              QStringList{QStringLiteral("Message Sent to 127.0.0.1 Title:News jingle")});
    EXPECT_TRUE(errors().isEmpty());
}

TEST_F(PeerMessages, LargeTcpMessageArrivesWholeInPieces) {
    TcpPeer peer;
    QByteArray data;
    for (int i = 0; i < 3 * 16384 + 7; ++i) data.append(static_cast<char>(i % 251));
    ASSERT_TRUE(sent(SendIPMessage(e.peers, data, QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("Big"))));
    EXPECT_TRUE(waitUntil([&] { return peer.closed; }));
    EXPECT_EQ(peer.received, data);
}

TEST_F(PeerMessages, PeerThatNeverAcceptsGivesElevenChecksAndFails) {
    NeverAccepts peer;
    EXPECT_FALSE(sent(SendIPMessage(e.peers, "x", QStringLiteral("127.0.0.1"), peer.port(), QStringLiteral("T"))));
    QStringList expected(11, QStringLiteral("Connection Check"));
    expected << QStringLiteral("Unable to open socket to 127.0.0.1");
    EXPECT_EQ(activity(), expected);
}

TEST_F(PeerMessages, LargeMessageToAPeerThatNeverAcceptsEndsInTheFailurePath) {
    // Data that fits one write fails quietly; more than that ends as a failure that says so.
    const struct {
        int size;
        bool failure;
    } cases[] = {{16384, false}, {16385, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        QFile::remove(folder.file(QStringLiteral("Tally.dat")));
        QFile::remove(folder.file(QStringLiteral("Errorlog.txt")));
        NeverAccepts peer;
        EXPECT_FALSE(
            sent(SendIPMessage(e.peers, QByteArray(c.size, 'm'), QStringLiteral("127.0.0.1"),
                               peer.port(), QStringLiteral("T"))));
        QStringList expected(11, QStringLiteral("Connection Check"));
        expected << QStringLiteral("Unable to open socket to 127.0.0.1");
        if (c.failure) expected << QStringLiteral("not executed - Unable to connect to IP");
        EXPECT_EQ(activity(), expected);
        EXPECT_EQ(errorLocations(), c.failure
                                        ? QStringList{QStringLiteral("Error Sending Message to IP")}
                                        : QStringList());
    }
}

TEST_F(PeerMessages, RefusingPeerFailsAtOnceWithALine) {
    RawSocket bound;  // bound but not listening: the connect is refused
    AutomationEvent ev = message(1, 1, QStringLiteral("x"), bound.port());
    EXPECT_FALSE(sent(RunActionSequence(e.scheduler, ev, RunnerKind::Timed)));
    EXPECT_EQ(activity(),
              (QStringList{QStringLiteral("Unable to open socket to 127.0.0.1"),
                           QStringLiteral("News jingle not executed - Unable to Send")}));
}

TEST_F(PeerMessages, PeerThatStopsReadingFailsTheMessage) {
    // Listening but never accepting: the kernel completes the connection and buffers a few MB,
    // then nothing more is taken.
    RawSocket listener;
    ASSERT_EQ(::listen(listener.fd, 4), 0);
    const QByteArray data(24 * 1024 * 1024, 'z');
    EXPECT_FALSE(sent(SendIPMessage(e.peers, data, QStringLiteral("127.0.0.1"), listener.port(), QStringLiteral("T"))));
    EXPECT_EQ(activity(), QStringList{QStringLiteral("not executed - Unable to connect to IP")});
    EXPECT_EQ(errorLocations(), QStringList{QStringLiteral("Error Sending Message to IP")});
}

TEST_F(PeerMessages, UdpPeerReceivesExactlyTheTextForm) {
    UdpPeer peer;
    ASSERT_TRUE(sent(SendEventMessage(e.peers, message(1, 4, QStringLiteral("A^MB"), peer.port()))));
    ASSERT_TRUE(waitUntil([&] { return !peer.datagrams.isEmpty(); }));
    EXPECT_EQ(peer.datagrams, QList<QByteArray>{QByteArray("A\rB")});
    EXPECT_EQ(activity(),
              QStringList{QStringLiteral("Message Sent to 127.0.0.1 Title:News jingle")});
}

TEST_F(PeerMessages, FileKindsOverTcpAndUdp) {
    QFile f(folder.file(QStringLiteral("cue.txt")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("GO^M\x00\xE9", 6));
    f.close();

    TcpPeer tcp;  // kind 3: the file as it is, by a path relative to the program folder
    ASSERT_TRUE(sent(SendEventMessage(e.peers, message(3, 1, QStringLiteral("cue.txt"), tcp.port()))));
    EXPECT_TRUE(waitUntil([&] { return tcp.closed; }));
    EXPECT_EQ(tcp.received, QByteArray("GO^M\x00\xE9", 6));

    UdpPeer udp;  // kind 4: escapes decoded, the same bytes as the datagram
    ASSERT_TRUE(sent(SendEventMessage(e.peers, message(4, 4, folder.file(QStringLiteral("cue.txt")), udp.port()))));
    ASSERT_TRUE(waitUntil([&] { return !udp.datagrams.isEmpty(); }));
    EXPECT_EQ(udp.datagrams[0], QByteArray("GO\r\x00\xE9", 5));
}

TEST_F(PeerMessages, MessagesThatCannotBeBuiltSendNothing) {
    TcpPeer peer;
    EXPECT_FALSE(sent(SendEventMessage(e.peers, message(3, 1, QStringLiteral("missing.txt"), peer.port()))));
    EXPECT_FALSE(sent(SendEventMessage(e.peers, message(2, 1, QStringLiteral("hello"), peer.port()))));
    EXPECT_FALSE(sent(SendEventMessage(e.peers, message(1, 3, QStringLiteral("hello"), peer.port()))));
    EXPECT_FALSE(sent(SendEventMessage(e.peers, message(1, 0, QStringLiteral("hello"), peer.port()))));
    EXPECT_FALSE(sent(SendEventMessage(e.peers, message(1, 1, QStringLiteral("hello"), 0))));
    AutomationEvent unset = message(1, 4, QStringLiteral("hello"), peer.port());
    unset.MIPAddress = QStringLiteral("0.0.0.0");
    EXPECT_FALSE(sent(SendEventMessage(e.peers, unset)));
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(peer.connections, 0);

    EXPECT_EQ(errorLocations(), (QStringList{QStringLiteral("Error Sending Message"),
                                             QStringLiteral("Error Sending Message"),
                                             QStringLiteral("Error Sending Message to Switcher"),
                                             QStringLiteral("Error Sending Message"),
                                             QStringLiteral("Error Sending Message to IP"),
                                             QStringLiteral("Error Sending Message to UDP")}));
    EXPECT_TRUE(errors()[0].endsWith(QStringLiteral("Error #  53 - File not found: ") +
                                     folder.file(QStringLiteral("missing.txt"))));
    EXPECT_EQ(activity(), (QStringList{QStringLiteral("not executed - Unable to connect to IP"),
                                       QStringLiteral("not executed - Unable to connect to UDP")}));
}

TEST_F(PeerMessages, AMessageStartedWhileAnotherWaitsLeavesTheFirstAlone) {
    TcpPeer outer, inner;
    const auto first = StartOnLoop(e.scheduler.runs, SendIPMessage(e.peers, "outer", QStringLiteral("127.0.0.1"),
                                                                   outer.port(), QStringLiteral("Out")));
    ASSERT_FALSE(first->done);
    // Starts while the first waits (for its connection, or its second after sending), as a
    // triggered event's message would.
    std::shared_ptr<test::LoopOutcome<bool>> second;
    bool firstWasWaiting = false;
    QTimer later;
    later.setSingleShot(true);
    QObject::connect(&later, &QTimer::timeout, [&] {
        firstWasWaiting = !first->done;
        second = StartOnLoop(e.scheduler.runs, SendIPMessage(e.peers, "inner", QStringLiteral("127.0.0.1"),
                                                             inner.port(), QStringLiteral("In")));
    });
    later.start(150);
    ASSERT_TRUE(waitUntil([&] { return first->done && second && second->done; }));
    EXPECT_TRUE(firstWasWaiting);
    EXPECT_EQ(e.scheduler.runs.mostAtOnce(), 2);
    EXPECT_TRUE(*first->value);
    EXPECT_TRUE(*second->value);
    EXPECT_TRUE(waitUntil([&] { return outer.closed && inner.closed; }));
    EXPECT_EQ(outer.received, QByteArray("outer"));
    EXPECT_EQ(inner.received, QByteArray("inner"));
    EXPECT_EQ(outer.connections, 1);
    EXPECT_EQ(inner.connections, 1);
    EXPECT_TRUE(activity().contains(QStringLiteral("Message Sent to 127.0.0.1 Title:Out")));
    EXPECT_TRUE(activity().contains(QStringLiteral("Message Sent to 127.0.0.1 Title:In")));
}

TEST_F(PeerMessages, SerialMessageGoesOutOfThePty) {
    PtyPort pty(folder, 3);
    AutomationEvent ev = message(1, 2, QStringLiteral("CUE^M^J"), 0);
    ev.MCommPort = 2;  // port 3
    ASSERT_TRUE(sent(SendEventMessage(e.peers, ev)));
    EXPECT_TRUE(waitUntil([&] { return pty.received.size() >= 5; }));
    EXPECT_EQ(pty.received, QByteArray("CUE\r\n"));
    EXPECT_EQ(activity(), QStringList{QStringLiteral("Message Sent to comm:3 Message: CUE^M^J")});
}

TEST_F(PeerMessages, SerialPortRunsAtTheChosenSpeed) {
    PtyPort pty(folder, 3);
    // A file larger than the pty holds, so the port is still open (and set up) when the reader
    // gets its first bytes.
    QByteArray data;
    for (int i = 0; i < 256 * 1024; ++i) data.append(static_cast<char>(i % 256));
    QFile f(folder.file(QStringLiteral("big.bin")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    AutomationEvent ev = message(3, 2, QStringLiteral("big.bin"), 0);
    ev.MCommPort = 2;

    const struct {
        int selector;
        speed_t classic;  // the classic speed code, or kOtherSpeed for a speed outside that list
        speed_t rate;
    } cases[] = {{1, B9600, 9600}, {6, B115200, 115200}, {2, kOtherSpeed, 14400}};
    for (const auto& c : cases) {
        pty.seen = false;
        pty.received.clear();
        ev.MBaudRate = c.selector;
        ASSERT_TRUE(sent(SendEventMessage(e.peers, ev))) << c.selector;
        EXPECT_TRUE(waitUntil([&] { return pty.received.size() >= data.size(); }));
        EXPECT_EQ(pty.received, data);
        ASSERT_TRUE(pty.seen);
        EXPECT_EQ(pty.speedSeen(), c.classic) << c.selector;
        EXPECT_EQ(pty.rateSeen.c_ospeed, c.rate) << c.selector;
        const tcflag_t flags = pty.settingsSeen.c_cflag;
        EXPECT_EQ(flags & CSIZE, tcflag_t{CS8});
        EXPECT_EQ(flags & (PARENB | CSTOPB | CRTSCTS), tcflag_t{0});
    }
}

TEST_F(PeerMessages, SerialPortThatDoesNotExistFails) {
    // Port 150 is /dev/ttyS149, which no test machine has.
    ASSERT_FALSE(QFile::exists(QStringLiteral("/dev/ttyS149")));
    EXPECT_FALSE(sent(SendSerialMessage(e.peers, "x", 150, QStringLiteral("9600"))));
    // A link to an unplugged device is this port still, not some /dev/ttyS.
    ASSERT_TRUE(
        QFile::link(QStringLiteral("/nonexistent/ttyUSB7"), folder.file(QStringLiteral("COM1"))));
    EXPECT_FALSE(sent(SendSerialMessage(e.peers, "x", 1, QStringLiteral("9600"))));
    // Beyond the ports the system names, even with a link of that name: no device is opened.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), folder.file(QStringLiteral("COM193"))));
    EXPECT_FALSE(sent(SendSerialMessage(e.peers, "x", 193, QStringLiteral("9600"))));

    EXPECT_EQ(activity(),
              QStringList(3, QStringLiteral(" not executed - Unable to open Serial Port")));
    EXPECT_EQ(errorLocations(), QStringList(3, QStringLiteral("Error Sending Serail Message")));
    const QStringList err = errors();
    ASSERT_EQ(err.size(), 3);
    EXPECT_TRUE(err[0].contains(QStringLiteral("/dev/ttyS149")));
    EXPECT_TRUE(err[1].contains(folder.file(QStringLiteral("COM1"))));
    EXPECT_TRUE(err[2].contains(QStringLiteral("Invalid serial port 193")));
}

TEST_F(PeerMessages, SerialPortHeldByAMessageInProgressIsNotShared) {
    PtyPort pty(folder, 4);
    // More than the pty holds: the first message waits, suspended, for the reader.
    QByteArray outer;
    for (int i = 0; i < 256 * 1024; ++i) outer.append(static_cast<char>('a' + i % 26));
    const auto first = StartOnLoop(e.scheduler.runs, SendSerialMessage(e.peers, outer, 4, QStringLiteral("9600")));
    ASSERT_FALSE(first->done);
    EXPECT_FALSE(sent(SendSerialMessage(e.peers, "inner", 4, QStringLiteral("9600"))));
    ASSERT_TRUE(waitUntil([&] { return first->done; }));
    ASSERT_TRUE(*first->value) << errors().join("\n").toStdString();
    EXPECT_TRUE(waitUntil([&] { return pty.received.size() >= outer.size(); }));
    EXPECT_EQ(pty.received, outer);
    EXPECT_EQ(activity(),
              QStringList{QStringLiteral(" not executed - Unable to open Serial Port")});
    EXPECT_TRUE(errors().value(0).contains(QStringLiteral("in use")));
    // Once the first message is done the port is free again.
    ASSERT_TRUE(sent(SendSerialMessage(e.peers, "again", 4, QStringLiteral("9600"))));
}

TEST_F(PeerMessages, SourceSelectLogsDeviceAndSource) {
    test::Peer peer;
    e.switcher.master().wantedAddress = QStringLiteral("127.0.0.1");
    e.switcher.master().wantedPort = peer.port();
    ConnectSwitcher(e.switcher);
    ASSERT_TRUE(test::waitUntil([&] { return e.switcher.master().Connected; }));
    AutomationEvent ev;
    ev.ssDeviceID = 3;
    ev.ssSource = 10;
    EXPECT_EQ(test::RunOnLoop(e.scheduler.runs, SendSourceSelect(e.switcher, ev)),
              SendResult::Sent);
    EXPECT_TRUE(peer.waitForBytes(SourceSelectFrame(3, 10)));
    EXPECT_EQ(activity(),
              QStringList{QStringLiteral("Sent Source Select: Device ID - 3, Source - 10")});

    // A source the wire cannot carry sends nothing and logs no success.
    ev.ssSource = -4;
    EXPECT_EQ(test::RunOnLoop(e.scheduler.runs, SendSourceSelect(e.switcher, ev)),
              SendResult::Failed);
    EXPECT_EQ(activity().size(), 1);
    EXPECT_EQ(errorLocations(), QStringList{QStringLiteral("Error Sending Source Select")});
}

// A TCP peer that reads at the manual clock's pace: every `everyMs` at most `bytes`, until it has
// `stopAfter`. Its receive buffer is `bytes` too (the kernel doubles it): what it has not read is
// mostly still the engine's, and each read opens the window again at once.
struct PacedPeer {
    PacedPeer(ManualClock& c, int everyMs, int bytes, qint64 stopAfter) : clock(c) {
        ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        ::fcntl(listener.fd, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(::listen(listener.fd, 4), 0);
        turn = [=, this] {
            if (conn < 0) conn = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK);
            QByteArray buf(std::min<qint64>(bytes, stopAfter - received.size()), 0);
            const ssize_t n = conn < 0 || buf.isEmpty() ? 0 : ::read(conn, buf.data(), buf.size());
            if (n > 0) received.append(buf.constData(), n);
            alarm = clock.setAlarm(everyMs, turn);
        };
        turn();
    }
    ~PacedPeer() {
        clock.cancelAlarm(alarm);
        ::close(conn);
    }
    ManualClock& clock;
    RawSocket listener;
    int conn = -1;
    AlarmId alarm = 0;
    std::function<void()> turn;
    QByteArray received;
};

TEST(PeerMessagesOnTheManualClock, APeerThatKeepsReadingKeepsTheMessageWithinItsBound) {
    constexpr qint64 kAll = std::numeric_limits<qint64>::max();
    const struct {
        const char* what;
        int size, everyMs, bytes;
        qint64 stopAfter;
        QString failure;  // empty: the message is sent whole
    } cases[] = {
        {"8 KB every 100 ms", 1 << 20, 100, 8192, kAll, {}},
        {"8 KB a second: a 16 KB piece takes two", 256 << 10, 250, 2048, kAll, {}},
        {"stops after 64 KB", 1 << 20, 100, 8192, 64 << 10, QStringLiteral("The peer did not take the message")},
        {"8 KB a second: too slow for 2 MB within its bound", 2 << 20, 250, 2048, kAll,
         QStringLiteral("The peer did not take the whole message within 158.0 s (")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::Harness h(test::WeekMoment(0, 9, 0));
        PacedPeer peer(h.clock, c.everyMs, c.bytes, c.stopAfter);
        QByteArray data(c.size, 0);
        for (int i = 0; i < c.size; ++i) data[i] = static_cast<char>(i % 251);
        const int32_t start = h.clock.tickCount();
        const bool sent = test::RunToEnd(h, SendIPMessage(h.e().peers, data, QStringLiteral("127.0.0.1"),
                                                          peer.listener.port(), QStringLiteral("T")));
        const int64_t took = TicksBetween(start, h.clock.tickCount());
        ASSERT_EQ(sent, c.failure.isEmpty());
        // Sent means handed to the system: up to the send buffer (64 KB, which the kernel doubles)
        // and the peer's own may still be on their way, 16 s at 8 KB a second. Half a minute.
        for (int i = 0; sent && i < 300 && peer.received.size() < c.size; ++i) h.advance(100);
        EXPECT_EQ(h.folder.activityLines(), QStringList{sent ? QStringLiteral("Message Sent to 127.0.0.1 Title:T")
                                                             : QStringLiteral("not executed - Unable to connect to IP")});
        if (sent) {
            EXPECT_TRUE(peer.received == data) << peer.received.size();
        } else if (c.stopAfter != kAll) {
            EXPECT_LT(took, kWriteStallLimitMs + 2000);  // the stall limit once the kernel's buffers are full
        } else {
            EXPECT_GE(took, MessageTimeBoundMs(c.size));
            EXPECT_LT(took, MessageTimeBoundMs(c.size) + 100);
        }
        EXPECT_EQ(h.folder.errorLines().size(), sent ? 0 : 1);
        if (!sent) {
            EXPECT_TRUE(h.folder.errorLines().value(0).contains(c.failure));
        }
    }
}

TEST(PeerMessagesOnTheManualClock, SendsOfOneFileShareItsBytesAndWhatTheyHoldIsCapped) {
    test::Harness h(test::WeekMoment(0, 9, 0));
    TcpPeer peer;
    const QString folder = h.folder.path();
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(h.folder.file(QLatin1String(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    write("a", QByteArray(100000, 'a') + "^M");  // 100001 bytes decoded
    write("b", QByteArray(60000, 'b'));
    write("c", QByteArray(44997, 'c'));
    PeerPorts ports(h.clock, h.e().logs, folder, 250000);
    const struct {
        int kind;
        const char* text;
        bool started;
        qint64 held;
        int files;
    } sends[] = {
        {3, "a", true, 100002, 1},  {3, "a", true, 100002, 1},  // one copy for both
        {4, "a", true, 200003, 2},                              // decoded: content of its own
        {3, "b", false, 200003, 2},                             // 260003 would pass the cap
        {3, "A", true, 205003, 3},                              // "a" rewritten: read again
        {3, "c", true, 250000, 4},                              // exactly at the cap
        {1, "x", false, 250000, 4},                             // a text's two bytes pass it
    };
    for (const auto& m : sends) {
        SCOPED_TRACE(m.text);
        if (*m.text == 'A') write("a", QByteArray(5000, 'A'));
        auto done = std::make_shared<bool>(false);
        h.s().runs.start([](PeerPorts& p, AutomationEvent e, std::shared_ptr<bool> d) -> Task<> {
            co_await SendEventMessage(p, e);
            *d = true;
        }(ports, message(m.kind, kTransportTcp, QString::fromLatin1(m.text).toLower(), peer.port()), done));
        EXPECT_EQ(!*done, m.started);  // still in progress, or refused at once
        EXPECT_EQ(ports.contents.heldBytes(), m.held);
        EXPECT_EQ(ports.contents.filesHeld(), m.files);
    }
    EXPECT_EQ(h.folder.errorLines().value(1).mid(36),
              QStringLiteral("Error #  7 - Message of 2 bytes refused: messages in progress hold 250000 bytes, "
                             "and at most 250000 may be held"));
    {
        const HeldContent x = ports.contents.hold(folder, message(3, kTransportTcp, QStringLiteral("c"), 0));
        const HeldContent y = ports.contents.hold(folder, message(3, kTransportTcp, QStringLiteral("c"), 0));
        EXPECT_EQ(x.content().bytes.constData(), y.content().bytes.constData());
        EXPECT_EQ(x.content().datagram.constData(), y.content().bytes.constData());
    }
    h.settle();
    EXPECT_EQ(ports.contents.heldBytes(), 0);
    EXPECT_EQ(ports.contents.filesHeld(), 0);

    // Through the runner: a file no send could hold, refused with the runner's line; the check
    // says so too. Neither reads it.
    QFile huge(h.folder.file(QStringLiteral("huge.bin")));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(kHeldContentCap + 1));
    const AutomationEvent ev = message(3, kTransportTcp, QStringLiteral("huge.bin"), peer.port());
    EXPECT_FALSE(test::RunToEnd(h, RunActionSequence(h.s(), ev, RunnerKind::Timed)));
    EXPECT_EQ(h.folder.activityLines().mid(5), QStringList{QStringLiteral("News jingle not executed - Unable to Send")});
    EXPECT_EQ(h.folder.errorLines().size(), 3);
    EXPECT_EQ(MessageFailure(folder, ev).value_or(TarvoError(0, {})).number(), kErrOutOfMemory);
    EXPECT_EQ(peer.connections, 5);  // the five started, none of the refused
}

// Only four dotted decimal parts are an address, dialled and logged as such; broadcast and
// multicast only for a row whose Method says "Broadcast". The sender and the check say the same.
// Forms that would leave this machine are only checked, never dialled.
TEST_F(PeerMessages, OnlyFourDecimalPartsAreDialledAndBroadcastOnlyWhenTheRowSaysSo) {
    UdpPeer peer;
    const struct {
        const char* address;
        const char* method;
        bool dial;
        const char* refusal;  // empty: sent to `dialled`
        const char* dialled;
    } cases[] = {
        {"127.0.0.1", "None", true, "", "127.0.0.1"},
        {" 127.000.000.001 ", "None", true, "", "127.0.0.1"},
        {"127.1", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        {"2130706433", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        {"0x7f000001", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        {"0x7f.0.0.1", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        {"127.0.0.256", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        {"127.0.0.1.", "None", true, "four dotted decimal parts 0 to 255 wanted", ""},
        // The loopback network's broadcast, known from the kernel's routes.
        {"127.255.255.255", "None", true, "a broadcast address, refused unless the row's Method is \"Broadcast\"", ""},
        {"127.255.255.255", "broadcast", true, "", "127.255.255.255"},
        {"10.0.9", "None", false, "four dotted decimal parts 0 to 255 wanted", ""},
        {"255.255.255.255", "None", false, "a broadcast address, refused unless the row's Method is \"Broadcast\"", ""},
        {"255.255.255.255", "Broadcast", false, "", ""},
        {"224.0.0.1", "None", false, "a multicast address, refused unless the row's Method is \"Broadcast\"", ""},
        {"239.255.255.250", " BROADCAST ", false, "", ""},
        {"0.0.0.0", "Broadcast", false, "not set", ""},
    };
    QStringList sentLines;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const QString refusal = QLatin1String(c.refusal);
        AutomationEvent ev = message(1, kTransportUdp, QStringLiteral("ping"), peer.port());
        ev.MIPAddress = QString::fromLatin1(c.address);
        ev.Method = QString::fromLatin1(c.method);
        for (const int transport : {kTransportUdp, kTransportTcp}) {
            ev.mtype = static_cast<int16_t>(transport);
            const std::optional<TarvoError> failure = MessageFailure(folder.path(), ev);
            EXPECT_EQ(failure ? failure->description() : QString(),
                      refusal.isEmpty() ? QString() : QStringLiteral("Invalid peer address '%1': %2").arg(c.address, refusal));
        }
        if (!c.dial) continue;
        ev.mtype = kTransportUdp;
        EXPECT_EQ(sent(SendEventMessage(e.peers, ev)), refusal.isEmpty());
        if (refusal.isEmpty()) sentLines << QStringLiteral("Message Sent to %1 Title:News jingle").arg(c.dialled);
    }
    waitUntil([&] { return peer.datagrams.size() > 2; }, 300);
    EXPECT_EQ(peer.datagrams.size(), 2);  // the broadcast on the loopback network reaches no bound peer
    QStringList lines = activity();
    lines.removeAll(QStringLiteral("not executed - Unable to connect to UDP"));
    EXPECT_EQ(lines, sentLines);
}

// A message file larger than a message may be, or one that is no plain file (a FIFO, a file of
// /proc that says it is empty), is refused before a byte of it is read: nothing is sent and
// nothing is held. A file that is empty is sent as it is.
TEST_F(PeerMessages, MessageFilesTooLargeOrOfTheSystemAreRefusedUnread) {
    TcpPeer peer;
    const auto sized = [&](const char* name, qint64 size) {
        QFile f(folder.file(QLatin1String(name)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(size));  // sparse: no disk, no memory
        return f.fileName();
    };
    ASSERT_EQ(::mkfifo(folder.file(QStringLiteral("pipe")).toLocal8Bit().constData(), 0600), 0);
    const QString tooLarge = QStringLiteral("Message file of %1 bytes refused: larger than the 4194304 bytes a message file may have");
    const struct {
        QString path;
        QString refusal;  // empty: sent
    } cases[] = {
        {sized("huge.bin", 3LL << 30), tooLarge.arg(3LL << 30)},
        {sized("big.bin", kMaxMessageFileSize + 1), tooLarge.arg(kMaxMessageFileSize + 1)},
        {QStringLiteral("/proc/self/status"), QStringLiteral("Not a file: /proc/self/status")},
        {folder.file(QStringLiteral("pipe")), QStringLiteral("Not a file: ") + folder.file(QStringLiteral("pipe"))},
        {sized("empty.txt", 0), QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        for (const int kind : {kMessageFile, kMessageDecodedFile}) {
            const AutomationEvent ev = message(kind, kTransportTcp, c.path, peer.port());
            const std::optional<TarvoError> failure = MessageFailure(folder.path(), ev);
            EXPECT_EQ(failure ? failure->description() : QString(), c.refusal);
            const int before = peer.connections;
            EXPECT_EQ(sent(SendEventMessage(e.peers, ev)), c.refusal.isEmpty());
            EXPECT_EQ(peer.connections - before, c.refusal.isEmpty() ? 1 : 0);
            EXPECT_EQ(e.peers.contents.heldBytes(), 0);
        }
    }
    EXPECT_EQ(activity().filter(QStringLiteral("Message Sent")).size(), 2);  // the empty file, twice
}

// A peer that writes back as fast as it can while its message runs: what it sends is read and
// dropped, so the engine's memory stays where it was (unread, it grew by a gigabyte a second).
TEST_F(PeerMessages, APeerThatTalksBackIsReadAndDropped) {
    RawSocket listener;
    ASSERT_EQ(::listen(listener.fd, 1), 0);
    std::atomic<long long> written{0};
    std::thread talker([&] {
        const int c = ::accept(listener.fd, nullptr, nullptr);
        if (c < 0) return;
        const std::vector<char> chunk(1 << 20, 'x');
        for (;;) {
            const ssize_t n = ::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            written += n;
        }
        ::close(c);
    });
    const auto rssKb = [] {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly)) return 0LL;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        return 0LL;
    };
    const long long before = rssKb();
    long long most = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { most = std::max(most, rssKb()); });
    sampler.start(20);
    EXPECT_TRUE(sent(SendIPMessage(e.peers, "hello", QStringLiteral("127.0.0.1"), listener.port(), QStringLiteral("Back"))));
    sampler.stop();
    talker.join();
    EXPECT_GT(written.load(), 64LL << 20) << "the peer was not read";
    if (test::kResidentMemoryMeasurable) {
        EXPECT_LT(most - before, 64 * 1024) << "kB more while the peer talked back";
    }
}

}  // namespace
}  // namespace tarvo
