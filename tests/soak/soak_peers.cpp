#include "soak_peers.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTcpSocket>

#include "uploads/file_bytes.h"

namespace tarvo::soak {

namespace {

// A small input-alphas file: four names.
QByteArray alphasFile() {
    test::FileBytes f;
    f.words({200, 4, 0, 1}).text("Mic", 4).fill(258);
    return f.data;
}

// Inhibits of two outputs: loaded one row at a time, with the wait a single row takes.
QByteArray inhibitsFile() {
    test::FileBytes f;
    f.words({400, 3, 1, 2}).text("011", 3).text("100", 3);
    return f.data;
}

}  // namespace

SoakPeers::SoakPeers(const QString& folder) {
    ok_ = reading_.listen(QHostAddress::LocalHost, 0) && deaf_.listen(QHostAddress::LocalHost, 0) &&
          udp_.bind(QHostAddress::LocalHost, 0);
    targets_.readingPort = reading_.serverPort();
    targets_.deafPort = deaf_.serverPort();
    targets_.udpPort = udp_.localPort();
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        targets_.refusingPort = closed.serverPort();
    }

    // The peer that reads, stalling for three seconds in every ten.
    connect(&reading_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* c = reading_.nextPendingConnection()) {
            ++tcpConnections;
            if (stalled_) c->setReadBufferSize(1);
            connect(c, &QTcpSocket::readyRead, c, [this, c] {
                if (stalled_) return;
                tcpBytes += c->readAll().size();
                noteArrival();
            });
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        }
    });
    stall_.setInterval(5000);
    connect(&stall_, &QTimer::timeout, this, [this] {
        stalled_ = !stalled_;
        for (QTcpSocket* c : reading_.findChildren<QTcpSocket*>()) {
            c->setReadBufferSize(stalled_ ? 1 : 0);
            if (!stalled_) tcpBytes += c->readAll().size();
        }
        stall_.setInterval(stalled_ ? 3000 : 7000);
    });
    stall_.start();

    // The peer that accepts and never reads: its buffers fill and big messages stall.
    connect(&deaf_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* c = deaf_.nextPendingConnection()) {
            ++deafConnections;
            c->setReadBufferSize(1);
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
        }
    });
    connect(&udp_, &QUdpSocket::readyRead, this, [this] {
        while (udp_.hasPendingDatagrams()) {
            udp_.receiveDatagram();
            ++datagrams;
            noteArrival();
        }
    });

    // The serial device: a pty whose other end is linked as COM3 in the program folder.
    char name[256] = {};
    if (::openpty(&ptyMaster_, &ptySlave_, name, nullptr, nullptr) == 0) {
        struct termios raw {};
        ::tcgetattr(ptySlave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(ptySlave_, TCSANOW, &raw);
        // The engine opens it by name. The test keeps it open too: with no end open, the master
        // reports a hang-up at every turn of the loop, which would spin the test.
        ::fcntl(ptyMaster_, F_SETFL, ::fcntl(ptyMaster_, F_GETFL) | O_NONBLOCK);
        targets_.serialPort = 2;
        QFile::link(QString::fromLocal8Bit(name), folder + QStringLiteral("COM3"));
        serial_ = new QSocketNotifier(ptyMaster_, QSocketNotifier::Read, this);
        connect(serial_, &QSocketNotifier::activated, this, [this] {
            char buf[4096];
            const ssize_t n = ::read(ptyMaster_, buf, sizeof buf);
            if (n > 0) {
                serialBytes += n;
                noteArrival();
            }
        });
    } else {
        ok_ = false;
    }

    targets_.alphasFile = QStringLiteral("soak-alphas.dat");
    targets_.inhibitsFile = QStringLiteral("soak-inhibits.dat");
    targets_.bigMessageFile = QStringLiteral("soak-big.txt");
    test::WriteFile(folder + targets_.alphasFile, alphasFile());
    test::WriteFile(folder + targets_.inhibitsFile, inhibitsFile());
    // More than a peer's buffers that never drain can hold: such a message stalls and fails.
    test::WriteFile(folder + targets_.bigMessageFile, QByteArray(12 << 20, 'x'));
}

SoakPeers::~SoakPeers() {
    delete serial_;
    if (ptyMaster_ >= 0) ::close(ptyMaster_);
    if (ptySlave_ >= 0) ::close(ptySlave_);
}

void SoakPeers::noteArrival() { lastArrivalMs = QDateTime::currentMSecsSinceEpoch(); }

}  // namespace tarvo::soak
