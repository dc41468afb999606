// The other equipment of a soak, all on this machine: message peers over TCP (one that reads but
// now and then stalls, one that accepts and never reads, a port that refuses), a UDP peer, a
// serial device (a pty linked as COM3 in the program folder) and the configuration files the
// upload rows load. What each took is counted for the record.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>

class QSocketNotifier;

namespace tarvo::soak {

struct SoakTargets {
    quint16 readingPort = 0;
    quint16 deafPort = 0;
    quint16 refusingPort = 0;
    quint16 udpPort = 0;
    int serialPort = 0;  // MCommPort: 0-based, so COM(n + 1)
    QString alphasFile;
    QString inhibitsFile;
    QString bigMessageFile;
};

class SoakPeers : public QObject {
public:
    // Makes the files and the COM link in `folder` and starts listening.
    explicit SoakPeers(const QString& folder);
    ~SoakPeers() override;
    bool ok() const { return ok_; }
    const SoakTargets& targets() const { return targets_; }

    qint64 tcpBytes = 0;
    int tcpConnections = 0;
    int deafConnections = 0;
    int datagrams = 0;
    qint64 serialBytes = 0;
    // The moment anything last reached a peer (for "nothing after the exit").
    qint64 lastArrivalMs = 0;

private:
    void noteArrival();

    bool ok_ = false;
    SoakTargets targets_;
    QTcpServer reading_;
    QTcpServer deaf_;
    QUdpSocket udp_;
    QTimer stall_;
    bool stalled_ = false;
    int ptyMaster_ = -1;
    int ptySlave_ = -1;
    QSocketNotifier* serial_ = nullptr;
};

}  // namespace tarvo::soak
