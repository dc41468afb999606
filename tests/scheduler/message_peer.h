// The far end of event messages in the scheduler's tests, on loopback. A message's run waits on
// it: 100 ms for a UDP socket; for TCP a connect wait, the send and a second after it, so that
// the run is still waiting when the next ticks come.
#pragma once

#include <gtest/gtest.h>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include "support/test_support.h"

namespace tarvo::test {

// Accepts every connection and keeps what arrives.
struct TcpMessagePeer {
    TcpMessagePeer() {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* c = server.nextPendingConnection()) {
                ++connections;
                QObject::connect(c, &QTcpSocket::readyRead,
                                 [this, c] { received += c->readAll(); });
            }
        });
    }
    quint16 port() const { return server.serverPort(); }
    QTcpServer server;
    int connections = 0;
    QByteArray received;
};

struct UdpMessagePeer {
    UdpMessagePeer() { EXPECT_TRUE(socket.bind(QHostAddress::LocalHost, 0)); }
    quint16 port() const { return socket.localPort(); }
    // Datagrams arrived since the last call.
    int datagrams() {
        int n = 0;
        for (; socket.hasPendingDatagrams(); ++n) socket.receiveDatagram();
        return n;
    }
    QUdpSocket socket;
};

constexpr int kTcpMessage = 1;
constexpr int kUdpMessage = 4;

// The row with an event message "hello" to a peer on loopback.
inline Row WithMessage(Row r, int transport, quint16 port) {
    r["mcontrol"] = 1;
    r["mtype"] = transport;
    r["Message"] = "hello";
    r["MIPAddress"] = "127.0.0.1";
    r["MIPPort"] = port;
    return r;
}

}  // namespace tarvo::test
